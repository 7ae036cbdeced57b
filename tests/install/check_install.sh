#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and builds outside programs against it,
# once with find_package(kx_orvel) and once with pkg-config.
# Usage: check_install.sh BUILD_DIR PYTHON [SANITIZER_FLAGS]
# (with sanitizer flags the outside programs are built with them, and the Python
# interpreter gets the runtime named by $KX_TEST_PRELOAD)
set -euo pipefail
build=$1
python=$2
cflags=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kx-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
model=$work/model.kx
LD_PRELOAD= "$python" -c "import sys; sys.path.insert(0, '$here/../python'); import kxtest; kxtest.write_model('$model')"

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

libdir=$(dirname "$(find "$prefix" -name 'libkx_orvel.so.*.*.*' | head -n1)")
[ -n "$libdir" ] && [ -d "$libdir" ] || fail "library not installed"
# SONAME links: libkx_orvel.so -> libkx_orvel.so.3 -> libkx_orvel.so.3.x.y
[ -L "$libdir/libkx_orvel.so" ] || fail "no development link libkx_orvel.so"
[ -L "$libdir/libkx_orvel.so.3" ] || fail "no SONAME link libkx_orvel.so.3"
[ "$(readlink "$libdir/libkx_orvel.so")" = libkx_orvel.so.3 ] || fail "libkx_orvel.so does not point at the SONAME"
objdump -p "$libdir/libkx_orvel.so.3" | grep -q 'SONAME *libkx_orvel.so.3' || fail "SONAME is not libkx_orvel.so.3"
[ -f "$prefix/include/kx_orvel.h" ] || fail "header not installed"
[ -f "$libdir/pkgconfig/kx_orvel.pc" ] || fail "kx_orvel.pc not installed"
[ -f "$libdir/cmake/kx_orvel/kx_orvelConfig.cmake" ] || fail "CMake package not installed"
[ -x "$prefix/bin/kx-orvel" ] || fail "tool not installed"
# A GPU plug-in built with the library is installed beside it, where the library looks.
if [ -f "$build/libkx_orvel_vulkan.so" ]; then
  [ -f "$libdir/libkx_orvel_vulkan.so" ] || fail "GPU plug-in not installed beside the library"
fi
echo "installed files ok"

# find_package
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" \
  >"$work/configure.log" \
  || { cat "$work/configure.log"; fail "find_package(kx_orvel) project does not configure"; }
cmake --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log"; fail "find_package build"; }
out=$(LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer" "$model")
grep -q '^version 3\.' <<<"$out" || fail "find_package consumer: $out"
grep -q '^device cpu:' <<<"$out" || fail "find_package consumer: $out"
grep -q '^min samples [1-9]' <<<"$out" || fail "find_package consumer: $out"
[ "$(cat "$work/cmake-build/default_model.txt")" = "$prefix/share/kx_orvel/default.kx" ] \
  || fail "kx_orvel_DEFAULT_MODEL is $(cat "$work/cmake-build/default_model.txt")"
echo "find_package ok"

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion kx_orvel)" = "$(grep -o '^version .*' <<<"$out" | cut -d' ' -f2)" ] \
  || fail "pkg-config version differs from the library's"
# The README's command: the rpath lets the program find the library without LD_LIBRARY_PATH.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror $cflags -o "$work/pc-consumer" "$here/consumer/consumer.c" \
  $(pkg-config --cflags --libs kx_orvel) -Wl,-rpath,"$(pkg-config --variable=libdir kx_orvel)" \
  || fail "pkg-config build"
out=$(env -u LD_LIBRARY_PATH "$work/pc-consumer")
grep -q '^device cpu:' <<<"$out" || fail "pkg-config consumer: $out"
# Nothing names a static library that is not installed.
! grep -q '^Libs.private' "$libdir/pkgconfig/kx_orvel.pc" || fail "Libs.private without a static library"
[ -d "$(pkg-config --variable=modeldir kx_orvel)" ] || [ ! -f "$prefix/share/kx_orvel/default.kx" ] \
  || fail "modeldir variable"
echo "pkg-config ok"

# The installed tool runs without LD_LIBRARY_PATH and finds the library by its rpath.
env -u LD_LIBRARY_PATH "$prefix/bin/kx-orvel" --version | grep -q '^kx-orvel 3\.' || fail "installed tool"
env -u LD_LIBRARY_PATH "$prefix/bin/kx-orvel" devices | grep -q '^cpu:' || fail "installed tool devices"
# Where the build's tool lists a GPU, the installed one finds it through the installed plug-in.
if [ -x "$build/tools/kx-orvel" ] && env -u KX_ORVEL_GPU_PLUGIN "$build/tools/kx-orvel" devices | grep -q '^gpu:'; then
  env -u LD_LIBRARY_PATH -u KX_ORVEL_GPU_PLUGIN "$prefix/bin/kx-orvel" devices | grep -q '^gpu:0 - ' \
    || fail "installed tool does not list the GPU through the installed plug-in"
fi
env -u LD_LIBRARY_PATH "$prefix/bin/kx-orvel" info --model "$model" >/dev/null || fail "installed tool info"
if [ -f "$prefix/share/kx_orvel/default.kx" ]; then
  env -u KX_ORVEL_MODEL "$prefix/bin/kx-orvel" info --json | grep -q "\"model\": \"$prefix/bin/../share/kx_orvel/default.kx\"" \
    || fail "installed tool does not use the installed default model"
fi
echo "tool ok"

# The installed Python package finds the installed library by itself.
pydir=$(dirname "$(find "$prefix" -path '*/kx_orvel/_install_paths.py' | head -n1)")
[ -n "$pydir" ] || fail "Python binding not installed"
got=$(cd "$work" && env -u KX_ORVEL_LIBRARY -u KX_ORVEL_MODEL PYTHONPATH="$(dirname "$pydir")" \
  LD_PRELOAD="${KX_TEST_PRELOAD:-}" "$python" -c \
  'import kx_orvel, kx_orvel._native as n; print(n.library_path); print(kx_orvel.list_devices()[0])')
grep -q "^$prefix/" <<<"$got" || fail "Python binding loaded another library: $got"
echo "python ok"
