"""Test helpers: a small random .kx model, synthetic voices, audio files via libsndfile."""

import ctypes
import ctypes.util
import struct

import numpy as np

RATE = 16000


def write_model(path, window_frames=4, lookahead_frames=2, thresholds=(-1.0, 0.0, 1.0), hidden=8, bands=40,
                embedding_size=16, layers=1, projection=True, seed=1, version=b"3.0.0", magic=b"orvel"):
    """A small model with random weights that the library loads and runs.

    The default thresholds map a dot product s to the score (s + 1) / 2.
    """
    rng = np.random.default_rng(seed)
    out = bytearray()
    out += magic + version
    out += struct.pack("<ii3f", window_frames, lookahead_frames, *thresholds)
    out += struct.pack("<iiif", 512, 256, bands, 1e-6)
    out += struct.pack(f"<{bands}f", *([-4.0] * bands))
    out += struct.pack(f"<{bands}f", *([2.0] * bands))
    out += struct.pack("<if", layers, 1e-3)
    for _direction in range(2):
        inputs = bands
        for _ in range(layers):
            out += struct.pack("<ii", hidden, inputs)
            out += rng.integers(-48, 48, size=3 * hidden * (hidden + inputs), dtype=np.int8).tobytes()
            out += rng.integers(-16, 16, size=3 * hidden, dtype=np.int8).tobytes()
            inputs = hidden
    pooled = hidden if layers else bands
    if projection:
        out += struct.pack("<iii", embedding_size, pooled, 1)
        out += rng.normal(0, 0.5, size=embedding_size * pooled).astype("<f4").tobytes()
    else:
        out += struct.pack("<iii", pooled, pooled, 0)
    with open(path, "wb") as f:
        f.write(bytes(out))
    return path


def voice(seed, seconds, rate=RATE, level=0.3):
    """A voiced, speech-like signal: a harmonic source with its own pitch and formants,
    syllable-rate loudness changes and short pauses. Distinct seeds sound distinct."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    t = np.arange(n) / rate
    f0 = rng.uniform(90, 260) * (1 + 0.06 * np.sin(2 * np.pi * rng.uniform(3, 6) * t))
    phase = 2 * np.pi * np.cumsum(f0) / rate
    formants = sorted(rng.uniform([300, 900, 2000], [900, 2000, 3200]))
    x = np.zeros(n)
    for k in range(1, 30):
        fk = k * f0
        gain = sum(np.exp(-((fk - fm) / 150.0) ** 2) for fm in formants) + 0.02
        x += np.where(fk < rate / 2 - 200, gain / k**0.5, 0) * np.sin(k * phase)
    syllables = 0.5 + 0.5 * np.sin(2 * np.pi * rng.uniform(3, 5) * t)
    x *= syllables ** 2
    x += 0.01 * rng.normal(size=n)
    return (level * x / np.max(np.abs(x))).astype(np.float32)


def silence(seconds, rate=RATE):
    return np.zeros(int(seconds * rate), dtype=np.float32)


def to_int16(x):
    return np.clip(np.rint(np.asarray(x) * 32768.0), -32768, 32767).astype(np.int16)


# --------------------------------------------------------------- libsndfile

class _SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


_sndfile = None
_FORMATS = {
    "wav": 0x010000 | 0x0002,   # WAV, PCM 16
    "flac": 0x170000 | 0x0002,  # FLAC, PCM 16
    "ogg": 0x200000 | 0x0060,   # OGG, Vorbis
    "mp3": 0x230000 | 0x0082,   # MPEG, layer III
    "wav24": 0x010000 | 0x0003,
}


def _lib():
    global _sndfile
    if _sndfile is None:
        _sndfile = ctypes.CDLL(ctypes.util.find_library("sndfile") or "libsndfile.so.1")
        _sndfile.sf_open.restype = ctypes.c_void_p
        _sndfile.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_SfInfo)]
        _sndfile.sf_writef_float.restype = ctypes.c_int64
        _sndfile.sf_writef_float.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
        _sndfile.sf_close.argtypes = [ctypes.c_void_p]
        _sndfile.sf_strerror.restype = ctypes.c_char_p
        _sndfile.sf_strerror.argtypes = [ctypes.c_void_p]
    return _sndfile


def write_audio(path, samples, rate=RATE, kind="wav"):
    """Writes float samples in [-1, 1], shape (n,) or (n, channels)."""
    data = np.ascontiguousarray(samples, dtype=np.float32)
    if data.ndim == 1:
        data = data[:, None]
    info = _SfInfo(0, rate, data.shape[1], _FORMATS[kind], 0, 0)
    lib = _lib()
    handle = lib.sf_open(str(path).encode(), 0x20, ctypes.byref(info))
    if not handle:
        raise OSError(f"{path}: {lib.sf_strerror(None).decode()}")
    written = lib.sf_writef_float(handle, data.ctypes.data, data.shape[0])
    lib.sf_close(handle)
    if written != data.shape[0]:
        raise OSError(f"{path}: short write")
    return path
