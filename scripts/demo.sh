#!/usr/bin/env bash
# The main job in one command: install what is missing, build the tool, fetch real
# recorded speech from a Debian package, enroll four speakers and recognise other
# recordings of them and of three speakers never enrolled.
#
#   scripts/demo.sh [THRESHOLD]
#
# KX_ORVEL_TOOL=path skips the build and uses that tool; KX_DEMO_DIR sets the work
# directory (default build/demo).
set -euo pipefail
cd "$(dirname "$0")/.."
threshold=${1:-0.5}
build=build

scripts/setup.sh libsndfile1-dev libsoxr-dev python3 python3-numpy

tool=${KX_ORVEL_TOOL:-}
if [ -z "$tool" ]; then
  echo "== building kx-orvel"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target kx-orvel -j"$(nproc)" >/dev/null
  tool=$build/tools/kx-orvel
fi
work=${KX_DEMO_DIR:-$build/demo}
mkdir -p "$work"

model=models/default.kx
voice=()
if [ ! -f "$model" ]; then
  model=$work/provisional.kx
  voice=(--voice-threshold 0)
  echo "!! models/default.kx is not there yet: using an untrained provisional model" \
       "and counting all audio as speech, so the scores below mean nothing" >&2
  /usr/bin/python3 -c "import sys; sys.path.insert(0, 'tests/python'); import kxtest; \
kxtest.write_model('$model', window_frames=48, lookahead_frames=8, hidden=32, embedding_size=64)"
fi

echo "== real speech: talk partners of flight-of-the-amazon-queen (Debian package)"
/usr/bin/python3 scripts/demo_audio.py fetch "$work"

echo "== model"
"$tool" info --model "$model"

echo "== enrolling"
mkdir -p "$work/profiles"
profiles=()
for dir in "$work"/audio/enroll/*/; do
  speaker=$(basename "$dir")
  "$tool" enroll --model "$model" "${voice[@]}" --out "$work/profiles/$speaker.profile" "$dir"*.mp3
  profiles+=(--profile "$work/profiles/$speaker.profile")
done

echo "== recognising (* = best match, decision at threshold $threshold)"
status=0
"$tool" recognize --model "$model" "${voice[@]}" --threshold "$threshold" --json "${profiles[@]}" \
  "$work"/audio/test/*.mp3 >"$work/results.json" || status=$?
/usr/bin/python3 scripts/demo_audio.py table "$work" "$work/results.json" "$threshold"
exit $status
