"""Audio files in any format libsndfile reads, as 16 kHz mono int16 (ctypes; the same
decoding, channel mix and libsoxr resampling as the kx-orvel tool, sample for sample)."""

import ctypes
import ctypes.util
import os

import numpy as np

RATE = 16000
_BLOCK = 4096
_SOXR_FLOAT32_I = 0
_SOXR_HQ = 4


class AudioError(OSError):
    """A file that cannot be read or decoded as audio."""


class _SoxrIoSpec(ctypes.Structure):
    _fields_ = [("itype", ctypes.c_int), ("otype", ctypes.c_int), ("scale", ctypes.c_double),
                ("e", ctypes.c_void_p), ("flags", ctypes.c_ulong)]


class _SoxrQualitySpec(ctypes.Structure):
    _fields_ = [("precision", ctypes.c_double), ("phase_response", ctypes.c_double),
                ("passband_end", ctypes.c_double), ("stopband_begin", ctypes.c_double),
                ("e", ctypes.c_void_p), ("flags", ctypes.c_ulong)]


class _SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


_libs = {}


def _load(name, soname):
    if name not in _libs:
        try:
            _libs[name] = ctypes.CDLL(ctypes.util.find_library(name) or soname)
        except OSError as e:
            raise AudioError(f"reading audio files needs {soname} (Debian: lib{name} packages): {e}") from e
        lib = _libs[name]
        if name == "sndfile":
            lib.sf_open.restype = ctypes.c_void_p
            lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_SfInfo)]
            lib.sf_readf_float.restype = ctypes.c_int64
            lib.sf_readf_float.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
            lib.sf_error.argtypes = [ctypes.c_void_p]
            lib.sf_close.argtypes = [ctypes.c_void_p]
            lib.sf_strerror.restype = ctypes.c_char_p
            lib.sf_strerror.argtypes = [ctypes.c_void_p]
        else:
            lib.soxr_oneshot.restype = ctypes.c_char_p
            lib.soxr_oneshot.argtypes = [ctypes.c_double, ctypes.c_double, ctypes.c_uint, ctypes.c_void_p,
                                         ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                         ctypes.POINTER(ctypes.c_size_t), ctypes.c_void_p, ctypes.c_void_p,
                                         ctypes.c_void_p]
            lib.soxr_io_spec.restype = _SoxrIoSpec
            lib.soxr_io_spec.argtypes = [ctypes.c_int, ctypes.c_int]
            lib.soxr_quality_spec.restype = _SoxrQualitySpec
            lib.soxr_quality_spec.argtypes = [ctypes.c_ulong, ctypes.c_ulong]
    return _libs[name]


def _mono(path):
    sf = _load("sndfile", "libsndfile.so.1")
    info = _SfInfo()
    if not os.path.exists(path):
        raise AudioError(f"{path}: cannot read: no such file")
    if os.path.isdir(path):
        raise AudioError(f"{path}: is a folder, not an audio file")
    handle = sf.sf_open(os.fsencode(path), 0x10, ctypes.byref(info))
    if not handle:
        # libsndfile says "does not exist" for any file it cannot make sense of.
        raise AudioError(f"{path}: cannot decode: not an audio format that libsndfile reads "
                         "(WAV, FLAC, OGG, MP3, ...), or damaged")
    try:
        if info.channels < 1 or info.samplerate < 1:
            raise AudioError(f"{path}: audio has no channels")
        blocks = []
        block = np.empty((_BLOCK, info.channels), dtype=np.float32)
        while True:
            got = sf.sf_readf_float(handle, block.ctypes.data, _BLOCK)
            if got <= 0:
                break
            # Channels added in order, then divided, as the tool does in float.
            mono = block[:got, 0].copy()
            for c in range(1, info.channels):
                mono += block[:got, c]
            blocks.append(mono / np.float32(info.channels))
        if sf.sf_error(handle) != 0:
            raise AudioError(f"{path}: cannot decode audio: {sf.sf_strerror(handle).decode(errors='replace')}")
    finally:
        sf.sf_close(handle)
    if not blocks:
        raise AudioError(f"{path}: audio file holds no samples")
    return np.concatenate(blocks), info.samplerate


def read_audio(path):
    """The file's audio as 16 kHz mono int16: channels averaged, resampled with libsoxr."""
    path = os.fspath(path)
    mono, rate = _mono(path)
    if rate != RATE:
        soxr = _load("soxr", "libsoxr.so.0")
        out = np.empty(int(np.ceil(len(mono) * RATE / rate)) + 16, dtype=np.float32)
        done = ctypes.c_size_t(0)
        io = soxr.soxr_io_spec(_SOXR_FLOAT32_I, _SOXR_FLOAT32_I)
        quality = soxr.soxr_quality_spec(_SOXR_HQ, 0)
        err = soxr.soxr_oneshot(rate, RATE, 1, mono.ctypes.data, len(mono), None, out.ctypes.data, len(out),
                                ctypes.byref(done), ctypes.byref(io), ctypes.byref(quality), None)
        if err:
            raise AudioError(f"{path}: cannot resample audio: {err.decode(errors='replace')}")
        mono = out[:done.value]
    return np.clip(np.rint(mono * np.float32(32768.0)), -32768, 32767).astype(np.int16)
