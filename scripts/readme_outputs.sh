#!/usr/bin/env bash
# Rewrites the README's output blocks from a fresh run of its commands with the shipped
# model (after a model change, this one command brings them up to date).
# Usage: scripts/readme_outputs.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh libsndfile1-dev libsoxr-dev python3 python3-numpy python3-distributed python3-pandas
build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target kx-orvel -j"$(nproc)" >/dev/null
KX_ORVEL_TOOL=$build/tools/kx-orvel KX_ORVEL_LIBRARY=$(realpath "$build"/libkx_orvel.so.3) \
  exec /usr/bin/python3 scripts/readme_outputs.py "$@"
