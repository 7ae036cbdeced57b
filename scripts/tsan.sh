#!/usr/bin/env bash
# Builds the device tests with ThreadSanitizer and runs the thread-pool and kernel
# tests. Usage: scripts/tsan.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=thread >/dev/null
cmake --build "$build" --target kx_device_tests -j"$(nproc)"
# halt_on_error makes any reported race fail the run.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$build/tests/kx_device_tests" --gtest_filter='ThreadPool*:CpuDevicePool*:CpuKernel*'
