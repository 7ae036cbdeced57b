#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each for a while.
#
#   scripts/fuzz.sh [seconds per target] [target ...]
#   scripts/fuzz.sh coverage [target ...]    line coverage of the library by the corpora
#
# Targets: device_string op_program model_loader api_sequence (default: all built).
# Environment: FUZZ_BUILD (build directory, default build-fuzz), FUZZ_BUILD_TYPE (default
# RelWithDebInfo; Debug finds what optimisation hides, such as undefined vector lanes),
# FUZZ_NICE=1 to run at the lowest priority, FUZZ_ARGS for extra libFuzzer flags.
# Corpora grow in $FUZZ_BUILD/corpus/<target>; crashes land in $FUZZ_BUILD/artifacts/<target>/.
# Exit status 1 when a target found a crash, a leak or a timeout.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
build=${FUZZ_BUILD:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)
all=(device_string op_program model_loader api_sequence)

if [ "$seconds" = coverage ]; then
  # Replays seeds, grown corpora and regressions through source-based coverage builds.
  cov="$build-coverage"
  CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$cov" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_BUILD_FUZZ=ON \
    -DKX_FUZZ_REPLAY_ONLY=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_TOOLS=OFF -DKX_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" >/dev/null
  targets=("$@")
  [ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
  cmake --build "$cov" -j"$jobs" --target kx_fuzz_seeds "${targets[@]/#/fuzz_}"
  rm -rf "$cov/seeds" "$cov"/*.profraw
  "$cov/fuzz/kx_fuzz_seeds" "$cov/seeds"
  objects=()
  for t in "${targets[@]}"; do
    dirs=("$cov/seeds/$t")
    [ -d "$build/corpus/$t" ] && dirs+=("$build/corpus/$t")
    [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
    if ! LLVM_PROFILE_FILE="$cov/$t.profraw" "$cov/fuzz/fuzz_$t" "${dirs[@]}" >/dev/null 2>&1; then
      # An input fails: replay one file per process so the others still count.
      echo "$t: some inputs fail; replaying them one by one"
      rm -f "$cov/$t.profraw"
      find "${dirs[@]}" -type f | while read -r f; do
        LLVM_PROFILE_FILE="$cov/$t-%p.profraw" "$cov/fuzz/fuzz_$t" "$f" >/dev/null 2>&1 || echo "  fails: $f"
      done
    fi
    objects+=(-object "$cov/fuzz/fuzz_$t")
  done
  llvm-profdata merge -sparse "$cov"/*.profraw -o "$cov/all.profdata"
  llvm-cov report -instr-profile="$cov/all.profdata" "${objects[@]:1}" \
    -ignore-filename-regex='(tests|fuzz)/'
  exit 0
fi

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${FUZZ_BUILD_TYPE:-RelWithDebInfo}" \
  -DKX_BUILD_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_TOOLS=OFF -DKX_BUILD_BENCH=OFF >/dev/null

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
build_targets=(kx_fuzz_seeds)
for t in "${targets[@]}"; do
  [ -f "fuzz/${t}_fuzzer.cpp" ] && build_targets+=("fuzz_$t")
done
cmake --build "$build" -j"$jobs" --target "${build_targets[@]}"

# Seed corpora, generated fresh; the grown corpora are kept between runs.
rm -rf "$build/seeds"
"$build/fuzz/kx_fuzz_seeds" "$build/seeds"

prefix=()
[ "${FUZZ_NICE:-0}" = 1 ] && prefix=(nice -n 19)
failed=0
summary=()
for t in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$t"
  if [ ! -x "$binary" ]; then
    summary+=("$t: not built")
    continue
  fi
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [ -d "$build/seeds/$t" ] && seeds+=("$build/seeds/$t")
  [ -d "fuzz/regressions/$t" ] && seeds+=("fuzz/regressions/$t")
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  log="$build/fuzz_$t.log"
  echo "== $t: ${seconds}s"
  set +e
  # The library refuses any model that needs a buffer beyond 2 GiB; the malloc limit
  # sits just above, so only allocations that escape its checks are reported.
  # shellcheck disable=SC2086
  "${prefix[@]}" "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -malloc_limit_mb=2100 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" ${FUZZ_ARGS:-} \
    "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  cov=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1, features \2/p')
  if [ $rc -ne 0 ]; then
    failed=1
    summary+=("$t: FAILED (exit $rc), see $log and $artifacts")
    grep -E 'ERROR|check failed|runtime error|SUMMARY' "$log" | head -5 || true
  else
    summary+=("$t: ${runs:-?} runs, ${cov:-no coverage line}, corpus $(ls "$corpus" | wc -l) inputs")
  fi
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
