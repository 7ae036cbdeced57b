"""Python binding of libkx_orvel (ctypes; numpy arrays in and out).

    import kx_orvel
    with kx_orvel.Profiler(min_enrollment_chunks=8) as profiler:
        profiler.enroll(pcm)            # 16 kHz mono int16, any length
        profiler.flush()
        profile = profiler.export()     # float32 array
    with kx_orvel.Recognizer() as recognizer:
        scores = recognizer.process(other_pcm, [profile])   # None when no speech

Each object serialises its own calls with a lock, so it may be shared between
threads; separate objects run in parallel.
"""

import ctypes
import enum
import logging
import math
import os
import threading

import numpy as np

from . import _native
from .model import ModelInfo, read_model_info
from .audio import AudioError, read_audio
from .segments import Segment, timeline

__all__ = [
    "KxError", "Status", "Profiler", "Recognizer", "ModelInfo", "list_devices", "version", "sample_rate",
    "frame_length", "default_model_path", "read_model_info", "load_profile", "save_profile",
    "log_enable", "log_disable", "timeline", "Segment", "read_audio", "AudioError", "Windows",
]

_lib = _native.lib
_lib.kx_set_sdk(b"python")


@_native.LogCallback
def _log_line(level, message, _user_data):
    logging.getLogger("kx_orvel").log(logging.ERROR if level == _native.LOG_ERROR else logging.INFO,
                                      message.decode("utf-8", "replace"))


# The library's diagnostic lines go to the logging module (logger "kx_orvel") rather
# than to standard output; log_enable()/log_disable() still switch them on and off.
_lib.kx_set_log_callback(_log_line, None)
_HERE = os.path.dirname(os.path.abspath(__file__))
# Windows with less than half speech embed as well as denser ones, and a stricter
# default leaves many short or paused utterances without any window (no score at
# all); digital silence and faint hiss stay below about 0.15.
DEFAULT_VOICE_THRESHOLD = 0.3


class Status(enum.IntEnum):
    SUCCESS = 0
    OUT_OF_MEMORY = 1
    IO_ERROR = 2
    INVALID_ARGUMENT = 3
    STOP_ITERATION = 4
    KEY_ERROR = 5
    INVALID_STATE = 6
    RUNTIME_ERROR = 7


_SENTENCES = {
    101: "a value is out of the range the library accepts ({text})",
    105: "the model file is not a kx_orvel model (or was made for another platform): pass a .kx model file",
    106: "the model file belongs to another version of the library: use the model shipped with this one",
    107: "the model file holds an unusable value and is probably damaged: {text}",
    200: "out of memory: free memory or score shorter audio",
    201: "cannot open the model file {quoted}: check model_path or KX_ORVEL_MODEL",
    202: "the model file ends too early; it is cut short or damaged: copy it again",
    500: "enrollment is not complete yet, so there is no profile to export: give more speech",
    802: "{device!r} is not a device: pass best, cpu, cpu:THREADS, gpu or gpu:INDEX (kx_orvel.list_devices())",
    837: "no GPU plug-in at {quoted}: build with -DKX_BUILD_VULKAN=ON or install libkx_orvel_vulkan.so beside libkx_orvel, "
         "or use device=\"cpu\"",
    838: "the GPU plug-in cannot run here (no Vulkan loader or driver?): install one "
         "(Debian: libvulkan1 and mesa-vulkan-drivers) or use device=\"cpu\"",
    839: "that GPU cannot be used ({text}): kx_orvel.list_devices() lists the GPUs there are; or use "
         "device=\"cpu\"",
    840: "the compute device failed while running the network: try device=\"cpu\"",
    300: "the compute device could not be created: check the device against kx_orvel.list_devices()",
    800: "the hardware devices could not be listed",
}
for _same, _as in ((803, 200), (804, 200), (841, 840), (801, 840), (110, 300)):
    _SENTENCES[_same] = _SENTENCES[_as]


def _plain_sentence(call, name, stack):
    """What went wrong and what to do, from the innermost record that is not a trace."""
    for line in stack:
        parts = line.split(" ", 2)
        if len(parts) < 3 or len(parts[1]) != 9 or not parts[1].endswith(":"):
            continue
        try:
            code = int(parts[1][:-1], 16)
        except ValueError:
            continue
        text = parts[2]
        if code in _SENTENCES:
            quoted = text.split("`")[1] if text.count("`") >= 2 else ""
            device = text.split(" is not a valid device string")[0]
            return _SENTENCES[code].format(text=text, quoted=quoted, device=device)
    return f"the library could not do {call} ({name}); the library's messages follow"


class KxError(Exception):
    """A library call failed. `status` is a Status, `stack` the library's messages, innermost
    first, and `sentence` says in plain words what went wrong and what to do; str() gives the
    sentence, then the call and the stack."""

    def __init__(self, call, status, stack):
        self.call = call
        try:
            self.status = Status(status)
        except ValueError:
            self.status = status
        self.stack = list(stack)
        name = self.status.name if isinstance(self.status, Status) else str(status)
        self.sentence = _plain_sentence(call, name, self.stack)
        text = f"{self.sentence}\n{call} failed: {name}"
        if self.stack:
            text += "\n  " + "\n  ".join(self.stack)
        super().__init__(text)


def _error_stack():
    messages = ctypes.POINTER(ctypes.c_char_p)()
    depth = ctypes.c_int32(0)
    _lib.kx_get_error_stack(ctypes.byref(messages), ctypes.byref(depth))
    if not messages:
        return []
    stack = [messages[i].decode("utf-8", "replace") for i in range(depth.value)]
    _lib.kx_free_error_stack(messages)
    return stack


def _check(status, call):
    if status != 0:
        raise KxError(call, status, _error_stack())


def _pcm(samples):
    """int16 samples as a contiguous array; float arrays are read as [-1, 1]."""
    a = np.asarray(samples)
    if a.ndim != 1:
        raise ValueError(f"audio must be a 1-D array of mono samples, got shape {a.shape}")
    if a.dtype == np.int16:
        return np.ascontiguousarray(a)
    if np.issubdtype(a.dtype, np.floating):
        return np.clip(np.rint(a * 32768.0), -32768, 32767).astype(np.int16)
    if np.issubdtype(a.dtype, np.integer):
        if a.size and (a.min() < -32768 or a.max() > 32767):
            raise ValueError("integer audio samples must fit in int16")
        return a.astype(np.int16)
    raise TypeError(f"audio must be int16 or float samples, got {a.dtype}")


def version():
    return _lib.kx_orvel_version().decode()


def sample_rate():
    return int(_lib.kx_sample_rate())


def frame_length():
    return int(_lib.kx_orvel_profiler_frame_length())


def log_enable():
    _lib.kx_log_enable()


def log_disable():
    _lib.kx_log_disable()


def list_devices():
    """The hardware devices, lines such as 'cpu:[0-8] - CPU (8 threads)'."""
    devices = ctypes.POINTER(ctypes.c_char_p)()
    count = ctypes.c_int32(0)
    _check(_lib.kx_orvel_list_hardware_devices(ctypes.byref(devices), ctypes.byref(count)),
           "kx_orvel_list_hardware_devices")
    try:
        return [devices[i].decode() for i in range(count.value)]
    finally:
        _lib.kx_orvel_free_hardware_devices(devices, count)


def default_model_path():
    """$KX_ORVEL_MODEL, else the installed default model, else the source tree's."""
    env = os.environ.get("KX_ORVEL_MODEL")
    if env:
        return env
    candidates = []
    try:
        from . import _install_paths

        candidates.append(os.path.normpath(os.path.join(_HERE, _install_paths.MODEL)))
    except ImportError:
        pass
    candidates.append(os.path.normpath(os.path.join(_HERE, "..", "..", "models", "default.kx")))
    for path in candidates:
        if os.path.isfile(path):
            return path
    raise FileNotFoundError("no default model found; pass model_path or set KX_ORVEL_MODEL "
                            f"(looked in: {', '.join(candidates)})")


def load_profile(path):
    """A profile file as written by the tool: raw little-endian float32."""
    data = np.fromfile(os.fspath(path), dtype="<f4")
    return data.astype(np.float32)


def save_profile(path, profile):
    np.asarray(profile, dtype="<f4").tofile(os.fspath(path))


class _Native:
    """Owns one native object; close() or the with-block releases it."""

    def __init__(self, model_path):
        self._lock = threading.Lock()
        self._handle = None
        self.model_path = os.fspath(model_path) if model_path is not None else default_model_path()

    def _live(self):
        if not self._handle:
            raise ValueError(f"{type(self).__name__} is closed")
        return self._handle

    def close(self):
        with self._lock:
            if self._handle:
                self._delete(self._handle)
                self._handle = None

    @property
    def closed(self):
        return not self._handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


class Recognizer(_Native):
    """Scores complete utterances against speaker profiles."""

    def __init__(self, model_path=None, device="best", voice_threshold=DEFAULT_VOICE_THRESHOLD):
        super().__init__(model_path)
        handle = _native.RecognizerP()
        _check(_lib.kx_orvel_init(self.model_path.encode(), device.encode(), float(voice_threshold),
                                  ctypes.byref(handle)), "kx_orvel_init")
        self._handle = handle
        self.voice_threshold = float(voice_threshold)
        self.model = read_model_info(self.model_path)
        count = ctypes.c_int32(0)
        _check(_lib.kx_orvel_process_min_audio_length_samples(handle, ctypes.byref(count)),
               "kx_orvel_process_min_audio_length_samples")
        self.min_audio_length_samples = count.value

    @staticmethod
    def _delete(handle):
        _lib.kx_orvel_delete(handle)

    @property
    def embedding_size(self):
        return self.model.embedding_size

    def process(self, pcm, profiles):
        """Scores in [0, 1], one float32 per profile, or None when the audio held no speech.

        `profiles` is a sequence of 1-D float32 arrays (or a 2-D array, one profile per row)
        of the model's embedding size.
        """
        pcm = self._checked_pcm(pcm)
        rows, pointers = self._profile_pointers(profiles)
        scores = _native.c_float_p()
        with self._lock:
            handle = self._live()
            _check(_lib.kx_orvel_process(handle, pcm.ctypes.data_as(_native.c_int16_p), len(pcm), pointers,
                                         len(rows), ctypes.byref(scores)), "kx_orvel_process")
        if not scores:
            return None
        try:
            return np.ctypeslib.as_array(scores, shape=(len(rows),)).copy()
        finally:
            _lib.kx_orvel_scores_delete(scores)

    def _checked_pcm(self, pcm):
        pcm = _pcm(pcm)
        if len(pcm) < self.min_audio_length_samples:
            raise ValueError(f"audio of {len(pcm)} samples is shorter than the minimum of "
                             f"{self.min_audio_length_samples}")
        if len(pcm) > 0x7FFFFFFF:
            raise ValueError("audio is too long for one call")
        return pcm

    def _profile_pointers(self, profiles):
        rows = [np.ascontiguousarray(p, dtype=np.float32) for p in profiles]
        if not rows:
            raise ValueError("at least one profile is needed")
        for i, row in enumerate(rows):
            if row.ndim != 1 or row.size != self.embedding_size:
                raise ValueError(f"profile {i} has {row.size} values but the model's embedding size is "
                                 f"{self.embedding_size}; was it enrolled with another model?")
        return rows, (_native.c_float_p * len(rows))(*[r.ctypes.data_as(_native.c_float_p) for r in rows])

    def embed_windows(self, pcm, hop_frames=0):
        """Windows of the whole recording from one detector pass (kx_orvel_embed_windows):
        hop_frames 0 for the windows process() averages, N for one every N frames of 512
        samples. Returns a Windows record of numpy arrays."""
        pcm = self._checked_pcm(pcm)
        out = _native.WindowsP()
        with self._lock:
            handle = self._live()
            _check(_lib.kx_orvel_embed_windows(handle, pcm.ctypes.data_as(_native.c_int16_p), len(pcm),
                                               int(hop_frames), ctypes.byref(out)), "kx_orvel_embed_windows")
        try:
            w = out.contents
            n, size = w.num_windows, w.embedding_size

            def copy(pointer, shape, dtype):
                if not all(shape):
                    return np.zeros(shape, dtype)
                return np.ctypeslib.as_array(pointer, shape=shape).copy()
            return Windows(w.window_samples, copy(w.start_samples, (n,), np.int32),
                           copy(w.voice_probabilities, (n,), np.float32),
                           copy(w.embeddings, (n, size), np.float32),
                           copy(w.frame_voice_probabilities, (w.num_frames,), np.float32))
        finally:
            _lib.kx_orvel_windows_delete(out)

    def score_embeddings(self, embedding_sum, count, profiles):
        """Scores of the mean of `count` embeddings whose float32 sum is `embedding_sum`, one
        per profile, exactly as process() scores its mean (kx_orvel_score_embeddings)."""
        total = np.ascontiguousarray(embedding_sum, dtype=np.float32)
        if total.ndim != 1 or total.size != self.embedding_size:
            raise ValueError(f"an embedding sum has {self.embedding_size} values, got {total.size}")
        rows, pointers = self._profile_pointers(profiles)
        scores = np.zeros(len(rows), np.float32)
        with self._lock:
            handle = self._live()
            _check(_lib.kx_orvel_score_embeddings(handle, total.ctypes.data_as(_native.c_float_p), int(count),
                                                  pointers, len(rows), scores.ctypes.data_as(_native.c_float_p)),
                   "kx_orvel_score_embeddings")
        return scores


class Windows:
    """Windows of one recording: `window_samples` each, `starts` (first sample), `voice`
    (mean voice probability), `embeddings` (one unit-length row each, zero where not
    embedded) and `frame_voice` (the detector's probability per 512-sample frame)."""

    def __init__(self, window_samples, starts, voice, embeddings, frame_voice):
        self.window_samples = window_samples
        self.starts = starts
        self.voice = voice
        self.embeddings = embeddings
        self.frame_voice = frame_voice

    @property
    def embedded(self):
        """True for the windows that carry an embedding."""
        return np.any(self.embeddings != 0, axis=1)


class Profiler(_Native):
    """Enrolls one speaker from audio fed in any chunk sizes."""

    def __init__(self, model_path=None, device="best", min_enrollment_chunks=None,
                 voice_threshold=DEFAULT_VOICE_THRESHOLD):
        super().__init__(model_path)
        try:
            model = read_model_info(self.model_path)
        except (OSError, ValueError) as e:
            model, problem = None, e  # the library says what is wrong with the file
        if min_enrollment_chunks is None:
            # enough windows for about 10 s of speech
            min_enrollment_chunks = max(1, math.ceil(10.0 / model.window_seconds)) if model and model.window_frames > 0 else 1
        self.min_enrollment_chunks = int(min_enrollment_chunks)
        handle = _native.ProfilerP()
        _check(_lib.kx_orvel_profiler_init(self.model_path.encode(), device.encode(), self.min_enrollment_chunks,
                                           float(voice_threshold), ctypes.byref(handle)),
               "kx_orvel_profiler_init")
        self._handle = handle
        if model is None:
            raise problem
        self.model = model
        self._pending = np.zeros(0, dtype=np.int16)
        self._percentage = ctypes.c_float(0.0)
        self.frame_length = frame_length()

    @staticmethod
    def _delete(handle):
        _lib.kx_orvel_profiler_delete(handle)

    @property
    def percentage(self):
        """Enrollment progress in percent after the last call."""
        return float(self._percentage.value)

    @property
    def complete(self):
        return self.percentage >= 100.0

    def enroll(self, pcm):
        """Feeds samples; whole frames go to the library at once, the rest waits for the next call."""
        pcm = _pcm(pcm)
        with self._lock:
            handle = self._live()
            data = np.concatenate([self._pending, pcm]) if self._pending.size else pcm
            n = self.frame_length
            whole = len(data) // n * n
            base = data.ctypes.data
            for at in range(0, whole, n):
                _check(_lib.kx_orvel_profiler_enroll(handle, ctypes.cast(base + 2 * at, _native.c_int16_p),
                                                     ctypes.byref(self._percentage)), "kx_orvel_profiler_enroll")
            self._pending = data[whole:].copy()
        return self.percentage

    def flush(self):
        """Ends the current recording (a partial frame is dropped); may add a final window."""
        with self._lock:
            handle = self._live()
            self._pending = np.zeros(0, dtype=np.int16)
            _check(_lib.kx_orvel_profiler_flush(handle, ctypes.byref(self._percentage)), "kx_orvel_profiler_flush")
        return self.percentage

    def reset(self):
        with self._lock:
            handle = self._live()
            self._pending = np.zeros(0, dtype=np.int16)
            self._percentage.value = 0.0
            _check(_lib.kx_orvel_profiler_reset(handle), "kx_orvel_profiler_reset")

    @property
    def export_size(self):
        size = ctypes.c_int32(0)
        with self._lock:
            _check(_lib.kx_orvel_profiler_export_size(self._live(), ctypes.byref(size)),
                   "kx_orvel_profiler_export_size")
        return size.value

    def export(self):
        """The speaker profile as a float32 array (KxError with INVALID_STATE before 100 %)."""
        size = self.export_size
        out = np.zeros(size // 4, dtype=np.float32)
        with self._lock:
            _check(_lib.kx_orvel_profiler_export(self._live(), out.ctypes.data_as(ctypes.c_void_p)),
                   "kx_orvel_profiler_export")
        return out
