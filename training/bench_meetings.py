#!/usr/bin/python3
"""Who-spoke-when benchmark on synthetic meetings of held-out voices.

    /usr/bin/python3 training/bench_meetings.py [--meetings 20] [--window 3] [--hop 1]

Each meeting: 3 talkers and 2 distractors of the corpus's test split enrolled
(from the start of their speech, 5 s at a time until complete, at most 30 s), then 8 turns of 2-8 s by the 3
talkers (never the same twice in a row) from the rest of their speech, with
0.3 s pauses.  `kx_orvel.segments.timeline` labels it; the report gives the
share of speech time with the right talker, the diarization error rate
(missed speech + false alarm + confusion over the speech time; labels that
name no profile are mapped to talkers one to one, at best), the median
distance from each real turn change to the nearest change found, and the
segments per real turn.
"""
import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

STEP = 0.01          # seconds per frame of the scoring grid
RATE = 16000
NO_SPEECH = "no speech"


def frames(segments, total):
    """[(start, end, label)] -> label per STEP frame (None where no segment)."""
    out = [None] * int(round(total / STEP))
    for start, end, label in segments:
        for i in range(int(round(start / STEP)), min(len(out), int(round(end / STEP)))):
            out[i] = label
    return out


def score(reference, hypothesis, total, named):
    """reference/hypothesis: [(start, end, label)]; `named` are the labels that name a
    profile (they count only as themselves); any other hypothesis speech label is mapped
    to at most one reference talker, the mapping that leaves the least confusion.
    -> dict of right-label share, DER and its parts (shares of reference speech)."""
    from scipy.optimize import linear_sum_assignment
    ref = frames(reference, total)
    hyp = [None if h == NO_SPEECH else h for h in frames(hypothesis, total)]
    talkers = sorted({r for r in ref if r is not None})
    others = sorted({h for h in hyp if h is not None and h not in named})
    overlap = np.zeros((len(others), len(talkers)))
    for r, h in zip(ref, hyp):
        if r is not None and h in others:
            overlap[others.index(h), talkers.index(r)] += 1
    mapping = {}
    if others and talkers:
        rows, cols = linear_sum_assignment(-overlap)
        mapping = {others[i]: talkers[j] for i, j in zip(rows, cols)}
    speech = sum(r is not None for r in ref)
    missed = sum(r is not None and h is None for r, h in zip(ref, hyp))
    false_alarm = sum(r is None and h is not None for r, h in zip(ref, hyp))
    right = sum(r is not None and h is not None and mapping.get(h, h) == r for r, h in zip(ref, hyp))
    confusion = speech - missed - right
    n = max(speech, 1)
    return {"right": right / n, "der": (missed + false_alarm + confusion) / n, "missed": missed / n,
            "false_alarm": false_alarm / n, "confusion": confusion / n}


def turn_changes(segments):
    """Times where one speech label gives way to another (pauses between them bridged)."""
    speech = [(s, e, l) for s, e, l in segments if l != NO_SPEECH]
    return [(a[1] + b[0]) / 2 for a, b in zip(speech, speech[1:]) if a[2] != b[2]]


def boundary_errors(reference, hypothesis):
    """Distance from every real turn change to the nearest change found (inf: none found)."""
    found = turn_changes(hypothesis)
    return [min((abs(t - f) for f in found), default=float("inf")) for t in turn_changes(reference)]


def enrol(kx_orvel, model, stream, step=5.0, most=30.0):
    """Profile from the start of `stream`, fed until complete -> (profile, samples used) or None."""
    prof = kx_orvel.Profiler(model, min_enrollment_chunks=4)
    used = 0
    while not prof.complete and used < min(len(stream), int(most * RATE)):
        prof.enroll(stream[used:used + int(step * RATE)])
        used += int(step * RATE)
    prof.flush()
    return (prof.export(), used) if prof.complete else None


def make_meeting(rests, rng, turns=8, pause=0.3):
    """rests: the 3 talkers' speech after their enrolment -> (meeting pcm, reference segments)."""
    used = [0, 0, 0]
    pcm, ref, t, last = [], [], 0.0, -1
    for _ in range(turns):
        who = int(rng.choice([k for k in range(3) if k != last]))
        n = int(rng.uniform(2.0, 8.0) * RATE)
        if used[who] + n > len(rests[who]):
            used[who] = 0       # start the talker's speech over (repeated if shorter than a turn)
        pcm.append(np.resize(rests[who][used[who]:], n).astype(np.int16))
        used[who] += n
        ref.append((t, t + n / RATE, "talker%d" % who))
        t += n / RATE
        gap = int(pause * RATE)
        pcm.append((rng.standard_normal(gap) * 20).astype(np.int16))
        t += gap / RATE
        last = who
    return np.concatenate(pcm), ref


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=None, help="training/data/corpus by default")
    ap.add_argument("--meetings", type=int, default=20)
    ap.add_argument("--window", type=float, default=3.0)
    ap.add_argument("--hop", type=float, default=1.0)
    ap.add_argument("--threshold", type=float, default=0.5)
    ap.add_argument("--model", default=None)
    ap.add_argument("--seed", type=int, default=5)
    a = ap.parse_args()
    import kxdata
    import kx_orvel
    from kx_orvel import segments as seg
    spk, _ = kxdata.load_speakers(a.corpus or kxdata.CORPUS, ("test",))
    streams = {s: np.concatenate(c) for s, c in spk.items()}
    usable = sorted(s for s, x in streams.items() if len(x) >= 40 * RATE)
    if len(usable) < 5:
        raise SystemExit("need at least 5 test speakers with 40 s of speech; found %d" % len(usable))
    rng = np.random.default_rng(a.seed)
    rec = kx_orvel.Recognizer(a.model)
    totals, errs, seg_per_turn = [], [], []
    names = ["talker0", "talker1", "talker2", "distractor0", "distractor1"]
    enrolled = {}
    while len(totals) < a.meetings:
        chosen = [usable[i] for i in rng.choice(len(usable), 5, replace=False)]
        for s in chosen:
            if s not in enrolled:
                enrolled[s] = enrol(kx_orvel, a.model, streams[s])
        if any(enrolled[s] is None for s in chosen):
            continue    # too little speech detected to enrol one of them: another draw
        pcm, ref = make_meeting([streams[s][enrolled[s][1]:] for s in chosen[:3]], rng)
        profiles = {name: enrolled[s][0] for name, s in zip(names, chosen)}
        hyp = seg.timeline(pcm, profiles, recognizer=rec, window=a.window, hop=a.hop, threshold=a.threshold)
        hyp = [(h.start, h.end, h.label) for h in hyp]
        totals.append(score(ref, hyp, len(pcm) / RATE, set(names)))
        errs += boundary_errors(ref, hyp)
        seg_per_turn.append(sum(l != NO_SPEECH for _, _, l in hyp) / len(ref))
    mean = {k: float(np.mean([t[k] for t in totals])) for k in totals[0]}
    finite = [e for e in errs if np.isfinite(e)]
    print("meetings %d, window %.2f s, hop %.2f s, threshold %.2f" % (a.meetings, a.window, a.hop, a.threshold))
    print("right talker %.1f %%  DER %.1f %% (missed %.1f, false alarm %.1f, confusion %.1f)" % (
        100 * mean["right"], 100 * mean["der"], 100 * mean["missed"], 100 * mean["false_alarm"],
        100 * mean["confusion"]))
    print("turn changes found %d of %d, median boundary error %.2f s; segments per real turn %.2f" % (
        len(finite), len(errs), float(np.median(finite)) if finite else float("nan"),
        float(np.mean(seg_per_turn))))


if __name__ == "__main__":
    main()
