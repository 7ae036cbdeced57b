#!/usr/bin/env bash
# `pip install ./python` in a fresh venv that sees Debian's numpy: install offline,
# import, enroll and score with the bundled library and default model.
# Usage: check_pip_install.sh PYTHON SOURCE_DIR BUILD_DIR (the library is built there)
set -euo pipefail
python=$1
source=$2
build=$3
work=$(mktemp -d /tmp/kx-pip-XXXXXX)
trap 'rm -rf "$work"' EXIT
# A copy, so that pip's build folders stay out of the source tree.
cp -r "$source/python" "$work/python"
rm -rf "$work/python/build" "$work/python/"*.egg-info
"$python" -m venv --system-site-packages "$work/venv"
KX_ORVEL_SOURCE="$source" KX_ORVEL_CMAKE_BUILD="$build" KX_ORVEL_BUILD_JOBS=1 \
  "$work/venv/bin/pip" install --no-build-isolation --no-index --quiet "$work/python"
cd "$work"
env -u KX_ORVEL_LIBRARY -u KX_ORVEL_MODEL -u PYTHONPATH "$work/venv/bin/python" - "$work/venv" <<'PY'
import sys

import numpy as np

import kx_orvel
import kx_orvel._native as native

venv = sys.argv[1]
assert native.library_path.startswith(venv), native.library_path
assert kx_orvel.default_model_path().startswith(venv), kx_orvel.default_model_path()
rng = np.random.default_rng(1)
t = np.arange(16000 * 8) / 16000
voice = (0.3 * np.sin(2 * np.pi * 140 * t) * (1 + 0.5 * np.sin(2 * np.pi * 3 * t))
         + 0.02 * rng.standard_normal(t.size)).astype(np.float32)
with kx_orvel.Profiler(min_enrollment_chunks=2, voice_threshold=0.0) as profiler:
    profiler.enroll(voice)
    profiler.flush()
    profile = profiler.export()
with kx_orvel.Recognizer(voice_threshold=0.0) as recognizer:
    scores = recognizer.process(voice[:16000 * 3], [profile])
assert scores is not None and 0.0 <= scores[0] <= 1.0, scores
print("pip install ok:", native.library_path, float(scores[0]))
PY
