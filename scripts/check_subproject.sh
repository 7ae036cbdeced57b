#!/usr/bin/env bash
# Builds the library as the sub-project of a small application, once with
# add_subdirectory (configured, built and run) and once with FetchContent (configured).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d /tmp/kx-subproject-XXXXXX)
trap 'rm -rf "$work"' EXIT
for via in add_subdirectory FetchContent; do
  cmake -S tests/subproject -B "$work/$via" -DKX_ORVEL_SOURCE="$root" -DKX_VIA="$via" >"$work/$via.log" \
    || { cat "$work/$via.log"; echo "FAIL: the library does not configure as a sub-project ($via)" >&2; exit 1; }
done
cmake --build "$work/add_subdirectory" -j"$(nproc)" --target parent >"$work/build.log" \
  || { tail -40 "$work/build.log"; echo "FAIL: the sub-project build" >&2; exit 1; }
"$work/add_subdirectory/parent"
echo "sub-project ok"
