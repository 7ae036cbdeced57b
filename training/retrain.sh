#!/bin/sh
# Full retrain: data, detector, speaker model, evaluation.
#   training/retrain.sh [--external ROOT ...]     extra args go to prepare_data.py
# Training runs at normal priority with the layout training/bench_train.py chose
# (two single-threaded workers): keep other work off the machine, or at nice -n 19.
# Every stage that finished is skipped and a stopped speaker stage resumes from its
# checkpoint, so after an interruption the same command continues where it stopped.
# Reads the LibriSpeech subset beside the checkout (../shared/data/librispeech-tc100)
# in place when it is there; --librispeech PATH names another copy.
# Writes src/generated/vad_weights.h, models/default.kx and training/runs/eval/.
set -e
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
R=training/runs
VAD_MIN=${VAD_MINUTES:-14}
SPK_MIN=${SPEAKER_MINUTES:-35}
WIDE=${SPEAKER_UNITS:-128}
mkdir -p $R
nice -n 19 $PY training/prepare_data.py "$@"

# speaker stage NAME ARGS...: skipped once its report exists, resumed while its checkpoint does
speaker() {
    name=$1
    shift
    [ -f $R/$name.json ] && return 0
    if [ -f $R/$name.pt ]; then
        $PY training/train_speaker.py --resume --checkpoint $R/$name.pt --report $R/$name.json
    else
        $PY training/train_speaker.py "$@" --checkpoint $R/$name.pt --report $R/$name.json
    fi
}

# detector: short sequences from scratch, then longer ones from there, a third of them
# short words with pauses in room noise (speech that must keep its windows)
[ -f $R/vad.json ] || $PY training/train_vad.py --minutes "$VAD_MIN" --frames 100 --batch 16 --sequences 800 \
    --report $R/vad.json --out $R/vad_stage1.h
[ -f $R/vad2.json ] || $PY training/train_vad.py --init $R/vad_stage1.h --lr 1e-3 --seed 2 \
    --minutes "$VAD_MIN" --frames 150 --batch 16 --sequences 1500 --qat-fraction 0.15 \
    --report $R/vad2.json --out $R/vad_stage2.h
[ -f $R/vad3.json ] || $PY training/train_vad.py --init $R/vad_stage2.h --lr 1e-3 --seed 3 \
    --minutes "${VAD3_MINUTES:-15}" --frames 150 --batch 16 --sequences 1500 --qat-fraction 0.2 \
    --report $R/vad3.json --out $R/vad_stage3.h
# then a fifth of the sequences non-speech alone down to faint hiss and digital zeros, and
# most speech band-limited, so that quiet rooms get no windows and phone speech keeps them
[ -f $R/vad4.json ] || $PY training/train_vad.py --init $R/vad_stage3.h --lr 5e-4 --seed 5 \
    --minutes "${VAD4_MINUTES:-20}" --frames 150 --batch 16 --sequences 1500 --qat-fraction 0.2 \
    --noise-only 0.2 --faint-noise --band-limited 0.8 --report $R/vad4.json --out src/generated/vad_weights.h
speaker speaker --minutes "$SPK_MIN" --out $R/default_stage1.kx
# continue with the full margin from the start and a lower rate
speaker speaker2 --init $R/speaker.final.pt --seed 3 --lr 1e-3 \
    --minutes "${SPEAKER2_MINUTES:-20}" --qat-fraction 0.15 --out $R/default_stage2.kx
# widen to the shipped size: the new units start silent, so this stage starts where stage 2 ended
speaker speaker3 --init $R/speaker2.final.pt --hidden "$WIDE,$WIDE" --seed 4 \
    --lr 1e-3 --minutes "${SPEAKER3_MINUTES:-60}" --qat-fraction 0.15 --out $R/default_stage3.kx
# the long run: a fresh classifier warmed up over the frozen network first
speaker speaker4 --init $R/speaker3.final.pt --hidden "$WIDE,$WIDE" --seed 5 --lr 1e-3 --head-warmup 300 \
    --steps "${SPEAKER4_STEPS:-7270}" --qat-fraction 0.15 --out $R/default_stage4.kx
# then a lower rate, fresh augmentation draws, and the game and learning-software voices weighed up
speaker speaker5 --init $R/speaker4.final.pt --hidden "$WIDE,$WIDE" --seed 6 --lr 5e-4 --head-warmup 100 \
    --steps "${SPEAKER5_STEPS:-5000}" --qat-fraction 0.15 \
    --source-weights librispeech=3,debian=3.5,so762=2,cven13=2,cvfa=1,cvtw=0.4,sctest=1,arsc=0.5,espeak-ng=0.6 \
    --out $R/default_stage5.kx
# a last short stage at a lower rate, fresh draws again and the game voices weighed up once more
speaker speaker6 --init $R/speaker5.final.pt --hidden "$WIDE,$WIDE" --seed 7 --lr 3e-4 --head-warmup 100 \
    --steps "${SPEAKER6_STEPS:-3000}" --qat-fraction 0.15 \
    --source-weights librispeech=3,debian=5,so762=2,cven13=2,cvfa=1,cvtw=0.4,sctest=1,arsc=0.5,espeak-ng=0.6 \
    --out models/default.kx
$PY training/evaluate.py --model models/default.kx --vad --out $R/eval
