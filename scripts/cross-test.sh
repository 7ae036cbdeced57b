#!/usr/bin/env bash
# Cross-builds the library, the example and the unit tests for another platform and
# runs them under emulation. Usage: scripts/cross-test.sh armhf|aarch64|win64
# Installs the cross compiler and the emulator with apt-get when missing; builds into
# build-TARGET/. The command-line tool, the Python binding, the install-tree check and
# the robustness suite stay on the host build (see README, "Other platforms").
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-}
case "$target" in
  armhf) packages=(g++-arm-linux-gnueabihf qemu-user) toolchain=armhf ;;
  aarch64) packages=(g++-aarch64-linux-gnu qemu-user) toolchain=aarch64 ;;
  win64) packages=(g++-mingw-w64-x86-64-posix wine64) toolchain=mingw64 ;;
  *) echo "usage: $0 armhf|aarch64|win64" >&2; exit 2 ;;
esac
packages+=(cmake make googletest python3 python3-numpy)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=build-$target
jobs=$(nproc)
if [ "$target" = win64 ]; then
  # A Wine prefix of this build's own, quiet; created once, before the tests run.
  export WINEPREFIX="$PWD/$build/wine" WINEDEBUG=-all
  mkdir -p "$build"
  [ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_TOOLS=OFF -DKX_TEST_SHARDS="$jobs" >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
# The log first, ctest's summary as the last line.
status=0
# A test that fails under emulation gets one more run: Wine and qemu have rare
# scheduling flakes of their own; the host and sanitizer runs take no second try.
ctest --test-dir "$build" --output-on-failure --repeat until-pass:2 -j"$jobs" >"$build/ctest.log" 2>&1 || status=$?
grep -v -E '^[0-9]+% tests passed|^Total Test time' "$build/ctest.log" | sed '/^$/d'
grep -E '^[0-9]+% tests passed' "$build/ctest.log" || echo "ctest gave no summary"
exit "$status"
