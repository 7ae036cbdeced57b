#!/bin/sh
# Full retrain: data, detector, speaker model, evaluation.  The training stages have fixed
# budgets (28 + 115 min); with data preparation (9 min from a fresh clone) and the
# calibrations and evaluation, about 2 h 50 min on 2 cores.
#   training/retrain.sh [--external ROOT ...]     extra args go to prepare_data.py
# Reads the LibriSpeech subset beside the checkout (../shared/data/librispeech-tc100)
# in place when it is there; --librispeech PATH names another copy.
# Writes src/generated/vad_weights.h, models/default.kx and training/runs/eval/.
set -e
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
VAD_MIN=${VAD_MINUTES:-14}
SPK_MIN=${SPEAKER_MINUTES:-35}
WIDE=${SPEAKER_UNITS:-128}
mkdir -p training/runs
nice -n 19 $PY training/prepare_data.py "$@"
# detector: short sequences from scratch, then longer ones from there
nice -n 19 $PY training/train_vad.py --minutes "$VAD_MIN" --frames 100 --batch 16 --sequences 800 \
    --report training/runs/vad.json --out training/runs/vad_stage1.h
nice -n 19 $PY training/train_vad.py --init training/runs/vad_stage1.h --lr 1e-3 --seed 2 \
    --minutes "$VAD_MIN" --frames 150 --batch 16 --sequences 1000 --qat-fraction 0.15 \
    --report training/runs/vad2.json --out src/generated/vad_weights.h
nice -n 19 $PY training/train_speaker.py --minutes "$SPK_MIN" --report training/runs/speaker.json \
    --out training/runs/default_stage1.kx --checkpoint training/runs/speaker.pt
# continue with the full margin from the start and a lower rate
nice -n 19 $PY training/train_speaker.py --init training/runs/speaker.pt --seed 3 --lr 6e-4 \
    --minutes "${SPEAKER2_MINUTES:-20}" --qat-fraction 0.15 --report training/runs/speaker2.json \
    --checkpoint training/runs/speaker2.pt --out training/runs/default_stage2.kx
# widen to the shipped size: the new units start silent, so this stage starts where stage 2 ended
nice -n 19 $PY training/train_speaker.py --init training/runs/speaker2.pt --hidden "$WIDE,$WIDE" --seed 4 \
    --lr 5e-4 --batch 48 --minutes "${SPEAKER3_MINUTES:-60}" --qat-fraction 0.15 \
    --report training/runs/speaker3.json --checkpoint training/runs/speaker3.pt --out models/default.kx
nice -n 19 $PY training/evaluate.py --model models/default.kx --vad --out training/runs/eval
