"""Loads libkx_orvel and declares the C functions used by the binding."""

import ctypes
import ctypes.util
import glob
import os

_HERE = os.path.dirname(os.path.abspath(__file__))
_SONAME = "libkx_orvel.so.3"


def _candidates():
    env = os.environ.get("KX_ORVEL_LIBRARY")
    if env:
        yield env
        return
    try:
        from . import _install_paths  # written by cmake --install

        yield os.path.normpath(os.path.join(_HERE, _install_paths.LIBRARY))
    except ImportError:
        pass
    # Source checkout: the most recently built library of any build directory.
    repo = os.path.dirname(os.path.dirname(_HERE))
    built = glob.glob(os.path.join(repo, "build*", _SONAME))
    for path in sorted(built, key=os.path.getmtime, reverse=True):
        yield path
    found = ctypes.util.find_library("kx_orvel")
    if found:
        yield found
    yield _SONAME


def _load():
    errors = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path), path
        except OSError as e:
            errors.append(f"{path}: {e}")
    raise OSError("cannot load libkx_orvel (set KX_ORVEL_LIBRARY to its path):\n  " + "\n  ".join(errors))


lib, library_path = _load()

c_int16_p = ctypes.POINTER(ctypes.c_int16)
c_float_p = ctypes.POINTER(ctypes.c_float)


class Recognizer(ctypes.Structure):
    pass


class Profiler(ctypes.Structure):
    pass


class Windows(ctypes.Structure):
    _fields_ = [("num_windows", ctypes.c_int32), ("window_samples", ctypes.c_int32),
                ("embedding_size", ctypes.c_int32), ("num_frames", ctypes.c_int32),
                ("start_samples", ctypes.POINTER(ctypes.c_int32)), ("voice_probabilities", c_float_p),
                ("embeddings", c_float_p), ("frame_voice_probabilities", c_float_p)]


RecognizerP = ctypes.POINTER(Recognizer)
WindowsP = ctypes.POINTER(Windows)
ProfilerP = ctypes.POINTER(Profiler)
# kx_log_callback_t: level, message, user data.
LogCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p)
LOG_ERROR = 1

_PROTOTYPES = {
    "kx_status_to_string": (ctypes.c_char_p, [ctypes.c_int]),
    "kx_get_error_stack": (ctypes.c_int, [ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)), ctypes.POINTER(ctypes.c_int32)]),
    "kx_free_error_stack": (None, [ctypes.POINTER(ctypes.c_char_p)]),
    "kx_log_enable": (None, []),
    "kx_log_disable": (None, []),
    "kx_set_log_callback": (None, [LogCallback, ctypes.c_void_p]),
    "kx_sample_rate": (ctypes.c_int32, []),
    "kx_set_sdk": (None, [ctypes.c_char_p]),
    "kx_orvel_version": (ctypes.c_char_p, []),
    "kx_orvel_list_hardware_devices": (ctypes.c_int, [ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)), ctypes.POINTER(ctypes.c_int32)]),
    "kx_orvel_free_hardware_devices": (None, [ctypes.POINTER(ctypes.c_char_p), ctypes.c_int32]),
    "kx_orvel_init": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_float, ctypes.POINTER(RecognizerP)]),
    "kx_orvel_delete": (None, [RecognizerP]),
    "kx_orvel_process": (ctypes.c_int, [RecognizerP, c_int16_p, ctypes.c_int32, ctypes.POINTER(c_float_p), ctypes.c_int32, ctypes.POINTER(c_float_p)]),
    "kx_orvel_process_min_audio_length_samples": (ctypes.c_int, [RecognizerP, ctypes.POINTER(ctypes.c_int32)]),
    "kx_orvel_scores_delete": (None, [c_float_p]),
    "kx_orvel_embed_windows": (ctypes.c_int, [RecognizerP, c_int16_p, ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(WindowsP)]),
    "kx_orvel_windows_delete": (None, [WindowsP]),
    "kx_orvel_score_embeddings": (ctypes.c_int, [RecognizerP, c_float_p, ctypes.c_int32, ctypes.POINTER(c_float_p), ctypes.c_int32, c_float_p]),
    "kx_orvel_profiler_init": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32, ctypes.c_float, ctypes.POINTER(ProfilerP)]),
    "kx_orvel_profiler_enroll": (ctypes.c_int, [ProfilerP, c_int16_p, c_float_p]),
    "kx_orvel_profiler_flush": (ctypes.c_int, [ProfilerP, c_float_p]),
    "kx_orvel_profiler_reset": (ctypes.c_int, [ProfilerP]),
    "kx_orvel_profiler_delete": (None, [ProfilerP]),
    "kx_orvel_profiler_frame_length": (ctypes.c_int32, []),
    "kx_orvel_profiler_export_size": (ctypes.c_int, [ProfilerP, ctypes.POINTER(ctypes.c_int32)]),
    "kx_orvel_profiler_export": (ctypes.c_int, [ProfilerP, ctypes.c_void_p]),
}

for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _fn = getattr(lib, _name)
    _fn.restype = _restype
    _fn.argtypes = _argtypes
