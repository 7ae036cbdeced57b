#!/usr/bin/python3
"""Who-spoke-when benchmark on synthetic meetings of held-out voices.

    /usr/bin/python3 training/bench_meetings.py [--meetings 20] [--split test|valid]
        [--case enrolled|anonymous|both] [--hop S] [--window S] [--min-turn S] [--switch-cost C] [--min-pause S]
        [--set NAME=VALUE] [--model FILE] [--long MINUTES]

Enrolled case: 3 talkers and 2 distractors of the corpus's split enrolled (from the
start of their speech, 5 s at a time until complete, at most 30 s), then 8 turns of
2-8 s by the 3 talkers (never the same twice in a row) from the rest of their
speech, with 0.3 s pauses.  Anonymous case: 2-4 talkers, nobody enrolled and the
count not given, 8 turns the same way.  `kx_orvel.segments.timeline` labels each
meeting; the report gives the share of speech time with the right talker, the
diarization error rate (missed speech + false alarm + confusion over the speech
time; labels that name no profile are mapped to talkers one to one, at best), the
median distance from each real turn change to the nearest change found, the
segments per real turn and the speed (audio seconds per second of timeline, on one
thread).  Tune on --split valid; report on test.  --set overrides a constant of
kx_orvel.segments (for tuning).  --long times instead one meeting of MINUTES of 4
talkers with no profiles (--save-long writes it as WAV for the tool).
"""
import argparse
import os
import sys
import time

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
    """rests: the talkers' speech after their enrolment -> (meeting pcm, reference segments)."""
    used = [0] * len(rests)
    pcm, ref, t, last = [], [], 0.0, -1
    for _ in range(turns):
        who = int(rng.choice([k for k in range(len(rests)) if k != last]))
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


def run_case(a, case, kx_orvel, seg, streams, usable, rng, rec):
    """-> (mean scores, boundary errors, segments per turn, audio seconds, timeline seconds)."""
    totals, errs, seg_per_turn = [], [], []
    names = ["talker0", "talker1", "talker2", "distractor0", "distractor1"]
    enrolled = {}
    audio = spent = 0.0
    options = dict(hop=a.hop, window=a.window, min_turn=a.min_turn, switch_cost=a.switch_cost, threshold=a.threshold,
                   min_pause=a.min_pause)
    while len(totals) < a.meetings:
        if case == "enrolled":
            chosen = [usable[i] for i in rng.choice(len(usable), 5, replace=False)]
            for s in chosen:
                if s not in enrolled:
                    enrolled[s] = enrol(kx_orvel, a.model, streams[s])
            if any(enrolled[s] is None for s in chosen):
                continue    # too little speech detected to enrol one of them: another draw
            pcm, ref = make_meeting([streams[s][enrolled[s][1]:] for s in chosen[:3]], rng)
            profiles = {name: enrolled[s][0] for name, s in zip(names, chosen)}
        else:
            talkers = int(rng.integers(2, 5))
            chosen = [usable[i] for i in rng.choice(len(usable), talkers, replace=False)]
            # the same material the enrolled case scores: what follows 30 s of enrolment
            pcm, ref = make_meeting([streams[s][30 * RATE:] for s in chosen], rng)
            profiles = {}
        t0 = time.perf_counter()
        hyp = seg.timeline(pcm, profiles, recognizer=rec, **options)
        spent += time.perf_counter() - t0
        audio += len(pcm) / RATE
        hyp = [(h.start, h.end, h.label) for h in hyp]
        totals.append(score(ref, hyp, len(pcm) / RATE, set(names) if profiles else set()))
        errs += boundary_errors(ref, hyp)
        seg_per_turn.append(sum(l != NO_SPEECH for _, _, l in hyp) / len(ref))
    mean = {k: float(np.mean([t[k] for t in totals])) for k in totals[0]}
    return mean, errs, float(np.mean(seg_per_turn)), audio, spent


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=None, help="training/data/corpus by default")
    ap.add_argument("--split", default="test", choices=("test", "valid"))
    ap.add_argument("--case", default="both", choices=("enrolled", "anonymous", "both"))
    ap.add_argument("--meetings", type=int, default=20)
    ap.add_argument("--hop", type=float, default=None)
    ap.add_argument("--window", type=float, default=None)
    ap.add_argument("--min-turn", type=float, default=None)
    ap.add_argument("--switch-cost", type=float, default=None)
    ap.add_argument("--min-pause", type=float, default=None)
    ap.add_argument("--threshold", type=float, default=0.5)
    ap.add_argument("--set", action="append", default=[], metavar="NAME=VALUE")
    ap.add_argument("--model", default=None)
    ap.add_argument("--seed", type=int, default=5)
    ap.add_argument("--long", type=float, default=None, metavar="MINUTES")
    ap.add_argument("--save-long", default=None, metavar="OUT.wav")
    a = ap.parse_args()
    import kxdata
    import kx_orvel
    from kx_orvel import segments as seg
    for item in a.set:
        name, value = item.split("=")
        setattr(seg, name, type(getattr(seg, name))(value))
    a.hop = seg.HOP if a.hop is None else a.hop
    a.window = seg.WINDOW if a.window is None else a.window
    a.min_turn = seg.MIN_TURN if a.min_turn is None else a.min_turn
    a.switch_cost = seg.SWITCH_COST if a.switch_cost is None else a.switch_cost
    a.min_pause = seg.MIN_PAUSE if a.min_pause is None else a.min_pause
    kx_orvel.log_disable()
    spk, _ = kxdata.load_speakers(a.corpus or kxdata.CORPUS, (a.split,))
    streams = {s: np.concatenate(c) for s, c in spk.items()}
    usable = sorted(s for s, x in streams.items() if len(x) >= 40 * RATE)
    if len(usable) < 5:
        raise SystemExit("need at least 5 %s speakers with 40 s of speech; found %d" % (a.split, len(usable)))
    rec = kx_orvel.Recognizer(a.model)   # device "best": one thread
    window = "the model's" if a.window is None else "%.2f s" % a.window
    print("library %s; %s split, %d meetings per case, hop %.2f s, window %s, min turn %.2f s, switch cost %.2f, "
          "threshold %.2f%s" % (kx_orvel._native.library_path, a.split, a.meetings, a.hop, window, a.min_turn,
                                 a.switch_cost, a.threshold, "".join(" " + x for x in a.set)))
    if a.long:
        rng = np.random.default_rng(a.seed)
        chosen = [usable[i] for i in rng.choice(len(usable), 4, replace=False)]
        pcm, ref = make_meeting([streams[s][30 * RATE:] for s in chosen], rng, turns=int(a.long * 60 / 5.3) + 1)
        if a.save_long:
            import wave
            with wave.open(a.save_long, "wb") as f:
                f.setnchannels(1)
                f.setsampwidth(2)
                f.setframerate(RATE)
                f.writeframes(pcm.tobytes())
        t0 = time.perf_counter()
        hyp = seg.timeline(pcm, {}, recognizer=rec, hop=a.hop, window=a.window, min_turn=a.min_turn,
                           switch_cost=a.switch_cost, threshold=a.threshold)
        spent = time.perf_counter() - t0
        hyp = [(h.start, h.end, h.label) for h in hyp]
        r = score(ref, hyp, len(pcm) / RATE, set())
        print("one meeting of %.1f min, 4 talkers, no profiles: %.1f s, %.0f x real time; %d speakers found, "
              "DER %.1f %%" % (len(pcm) / RATE / 60, spent, len(pcm) / RATE / spent,
                               len({l for _, _, l in hyp if l != NO_SPEECH}), 100 * r["der"]))
        return
    for case in (("enrolled", "anonymous") if a.case == "both" else (a.case,)):
        mean, errs, per_turn, audio, spent = run_case(a, case, kx_orvel, seg, streams, usable,
                                                      np.random.default_rng(a.seed), rec)
        finite = [e for e in errs if np.isfinite(e)]
        print("%s: right talker %.1f %%  DER %.1f %% (missed %.1f, false alarm %.1f, confusion %.1f)" % (
            "enrolled (3 talkers + 2 distractor profiles)" if case == "enrolled" else
            "no profiles (2-4 talkers, count not given)", 100 * mean["right"], 100 * mean["der"],
            100 * mean["missed"], 100 * mean["false_alarm"], 100 * mean["confusion"]))
        print("  turn changes found %d of %d, median boundary error %.2f s; segments per real turn %.2f; "
              "%.0f x real time" % (len(finite), len(errs), float(np.median(finite)) if finite else float("nan"),
                                    per_turn, audio / spent))


if __name__ == "__main__":
    main()
