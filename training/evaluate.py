#!/usr/bin/python3
"""Evaluate a model on held-out speakers: EER, minDCF, DET curve, detector metrics.

    /usr/bin/python3 training/evaluate.py [--model models/default.kx] [--split test]
        [--out training/runs/eval]

Each held-out speaker is enrolled with about 15 s of speech; 2-4 s segments of
every speaker are scored against every profile.  Recognition runs the way the
library runs it (detector, window selector, per-window embeddings, mean, dot
product).  By default the built library runs through the Python binding
when it loads and was built with the current detector weights; otherwise the
bit-exact integer emulation (kxemu) stands in.  The report names which one
produced the figures.  Wide-band and telephone-band (300-3400 Hz) trials
are reported apart.
"""
import argparse
import json
import os
import sys

import numpy as np
from scipy import signal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kxdata  # noqa: E402
import kxemu  # noqa: E402
import kxformat  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VAD_SRC = kxemu.VAD_SOURCE
ENROLL_SECONDS = 15.0
P_TARGET = 0.01
NO_SCORE = -10.0  # below any similarity of unit embeddings
VOICE_THRESHOLD = 0.3      # the tools' and binding's default


def _read(path):
    with open(path) as fh:
        return fh.read()


# ---------------------------------------------------------------- back ends

class Emulation:
    name = "emulation (kxemu, bit-exact integer network)"

    def __init__(self, model, vad_weights, voice_threshold):
        self.m = model
        self.net = kxemu.SpeakerNet(model.fwd, model.bwd, model.projection, model.norm_epsilon)
        self.det = kxemu.Detector(vad_weights)
        self.thr = voice_threshold

    def window_embeddings(self, pcms):
        """list of int16 arrays -> per array the unit embeddings of its selected windows."""
        return self._embedded(pcms)[0]

    def _embedded(self, pcms):
        """-> window_embeddings and the detector probabilities."""
        W, A = self.m.window_frames, self.m.lookahead_frames
        nfr = [len(p) // 512 for p in pcms]
        feats = np.full((len(pcms), max(nfr), 80), -32768, np.int64)
        for i, p in enumerate(pcms):
            feats[i, :nfr[i]] = kxemu.vad_features(p)[:nfr[i]]
        probs = self.det.probabilities(feats)
        wins, owner = [], []
        for i, p in enumerate(pcms):
            for k in kxemu.select_windows(probs[i, :nfr[i]], W, A, self.thr):
                wins.append(p[(k - W + 1) * 512:(k + 1) * 512])
                owner.append(i)
        embs = [np.zeros((0, self.m.embedding_size), np.float32)]
        for s in range(0, len(wins), 256):
            f = np.stack([kxemu.embedding_features(w, self.m.hop_length, self.m.log_floor,
                                                   self.m.band_mean, self.m.band_std)
                          for w in wins[s:s + 256]])
            embs.append(kxemu.l2norm(self.net.embed_features(f)))
        embs, owner = np.concatenate(embs), np.array(owner, int)
        return [embs[owner == i] for i in range(len(pcms))], probs

    def mean_embeddings(self, pcms):
        """list of int16 arrays -> list of mean unit embeddings (None: no window)."""
        per, probs = self._embedded(pcms)
        out = [None] * len(pcms)
        for i, sel in enumerate(per):
            if len(sel):
                acc = np.zeros(sel.shape[1], np.float32)
                for e in sel:
                    acc = acc + e
                out[i] = acc / np.float32(len(sel))
        return out, probs


    def enroll(self, pcms):
        return self.mean_embeddings(pcms)[0]

    def score(self, pcms, profiles):
        """-> per utterance the dot products with every profile, or None (no window)."""
        embs, _ = self.mean_embeddings(pcms)
        return [None if e is None else profiles @ e for e in embs]


def library_problem():
    """None when python/kx_orvel loads a library built with the current detector
    weights, else why not.  Probed in a child: a sanitizer build aborts its loader."""
    import subprocess
    r = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, %r); import kx_orvel._native as n; "
                        "print(n.library_path)" % os.path.join(ROOT, "python")],
                       capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        lines = (r.stderr or r.stdout).strip().splitlines()
        return lines[-1] if lines else "exit status %d" % r.returncode
    path = r.stdout.strip().splitlines()[-1]
    if os.path.exists(path) and os.path.getmtime(os.path.realpath(path)) < os.path.getmtime(VAD_SRC):
        return "%s is older than the detector weights; rebuild it" % path
    return None


class Library:
    """The real engine through the Python binding (python/kx_orvel)."""

    def __init__(self, model, model_path, voice_threshold):
        sys.path.insert(0, os.path.join(ROOT, "python"))
        import kx_orvel
        import tempfile
        self.kx = kx_orvel
        self.name = "library (python/kx_orvel, %s)" % kx_orvel.__name__
        # thresholds (-2, 0, 2) make the score map invertible: score = 0.5 + dot / 4
        self.tmp = tempfile.NamedTemporaryFile(suffix=".kx", delete=False)
        m = kxformat.read_model(model_path)
        m.thresholds = [-2.0, 0.0, 2.0]
        self.tmp.write(kxformat.model_bytes(m))
        self.tmp.close()
        self.thr = voice_threshold
        self.min_len = model.window_frames * 512

    def enroll(self, pcms):
        out = []
        for p in pcms:
            with self.kx.Profiler(self.tmp.name, min_enrollment_chunks=1, voice_threshold=self.thr) as pr:
                pr.enroll(p)
                pr.flush()
                try:
                    out.append(pr.export())
                except self.kx.KxError:
                    out.append(None)
        return out

    def window_embeddings(self, pcms):
        """list of int16 arrays -> per array the unit embeddings of the windows process() takes."""
        with self.kx.Recognizer(self.tmp.name, voice_threshold=self.thr) as rec:
            out = []
            for p in pcms:
                if len(p) < self.min_len:
                    out.append(np.zeros((0, rec.embedding_size), np.float32))
                    continue
                w = rec.embed_windows(p)
                out.append(w.embeddings[w.embedded])
            return out

    def score(self, pcms, profiles):
        out = []
        with self.kx.Recognizer(self.tmp.name, voice_threshold=self.thr) as rec:
            for p in pcms:
                if len(p) < self.min_len:
                    out.append(None)
                    continue
                s = rec.process(p, list(profiles))
                out.append(None if s is None else (s.astype(np.float64) - 0.5) * 4.0)
        return out


# ---------------------------------------------------------------- trials

def telephone(x):
    sos = signal.butter(6, [300.0, 3400.0], btype="band", fs=16000, output="sos")
    return np.clip(signal.sosfilt(sos, x.astype(np.float64)), -32768, 32767).astype(np.int16)


def make_trials(spk_clips, rng, per_speaker=8):
    enroll, tests = {}, []
    for spk, clips in sorted(spk_clips.items()):
        s = np.concatenate(clips)
        ne = int(min(ENROLL_SECONDS, 0.5 * len(s) / 16000) * 16000)
        if ne < 5 * 16000 or len(s) - ne < 2 * 16000:
            continue
        enroll[spk] = s[:ne]
        rest = s[ne:]
        for _ in range(per_speaker):
            L = int(rng.uniform(2.0, 4.0) * 16000)
            if len(rest) < L:
                L = len(rest)
            o = int(rng.integers(0, len(rest) - L + 1))
            tests.append((spk, rest[o:o + L]))
    return enroll, tests


def score_trials(backend, enroll, tests, transform=None, group=None):
    """Every test segment against every enrolled profile.  -> dict: tgt, non (scores),
    tgt_group, non_group (group(test speaker) per trial; group maps speaker -> label),
    missing (segments without a score), speakers (enrolled), scored ((speaker index,
    scores against every profile) per segment with a score)."""
    f = transform or (lambda x: x)
    group = group or (lambda spk: "")
    names = sorted(enroll)
    prof = backend.enroll([f(enroll[s]) for s in names])
    names = [n for n, p in zip(names, prof) if p is not None]
    r = {"tgt": [], "non": [], "tgt_group": [], "non_group": [], "missing": 0, "speakers": len(names),
         "scored": [], "trials": []}
    tests = [(spk, x) for spk, x in tests if spk in names]
    if not names:
        r["missing"] = len(tests)
        tests = []
    P = np.stack([p for p in prof if p is not None]) if names else None
    index = {n: i for i, n in enumerate(names)}
    for (spk, _), sc in zip(tests, backend.score([f(x) for _, x in tests], P) if tests else []):
        # every trial; a segment without a score is no match, below any score
        row = sc if sc is not None else [NO_SCORE] * len(names)
        r["trials"] += [(spk, n == spk, float(s)) for n, s in zip(names, row)]
        if sc is None:   # no window held enough speech: the library gives no score
            r["missing"] += 1
            continue
        for n, s in zip(names, sc):
            r["tgt" if n == spk else "non"].append(float(s))
            r["tgt_group" if n == spk else "non_group"].append(group(spk))
        r["scored"].append((index[spk], np.asarray(sc)))
    r["tgt"], r["non"] = np.array(r["tgt"]), np.array(r["non"])
    return r


def fair(trials, group):
    """EER and minDCF over every trial, segments without a score counted as no match,
    overall and per group(test speaker): what a caller sees."""
    def one(rows):
        tgt = np.array([s for _, t, s in rows if t])
        non = np.array([s for _, t, s in rows if not t])
        if len(tgt) == 0 or len(non) == 0:
            return None
        return {"eer": round(eer(tgt, non)[0], 4), "min_dcf": round(min_dcf(tgt, non), 4)}
    out = one(trials) or {}
    out["by_source"] = {g: one([t for t in trials if group(t[0]) == g])
                        for g in sorted({group(t[0]) for t in trials})}
    return out


def identification(scored, speakers, k=None, draws=200, seed=5):
    """Closed-set identification: the share of scored segments whose best profile is
    their speaker's.  With k, the mean over random sets of k of the enrolled speakers
    (each set's segments against its own profiles only), so that figures from test
    sets of different sizes compare; None with fewer than k speakers."""
    if not scored:
        return 0.0 if k is None else None
    if k is not None and speakers < k:
        return None
    spk = np.array([i for i, _ in scored])
    S = np.stack([sc for _, sc in scored])
    if k is None:
        return round(float(np.mean(np.argmax(S, axis=1) == spk)), 4)
    rng = np.random.default_rng(seed)
    acc = []
    for _ in range(draws):
        chosen = np.sort(rng.choice(speakers, k, replace=False))
        rows = np.isin(spk, chosen)
        if rows.any():
            acc.append(np.mean(chosen[np.argmax(S[rows][:, chosen], axis=1)] == spk[rows]))
    return round(float(np.mean(acc)), 4)


def rates(tgt, non):
    thr = np.unique(np.concatenate([tgt, non, [np.inf]]))
    tg, nn = np.sort(tgt), np.sort(non)
    fr = np.searchsorted(tg, thr, side="left") / len(tg)      # targets below threshold
    fa = 1.0 - np.searchsorted(nn, thr, side="left") / len(nn)  # non-targets at/above
    return thr, fr, fa


def eer(tgt, non):
    thr, fr, fa = rates(tgt, non)
    i = int(np.argmin(np.abs(fr - fa)))
    return float((fr[i] + fa[i]) / 2), float(thr[i])


def min_dcf(tgt, non, p=P_TARGET):
    _, fr, fa = rates(tgt, non)
    c = p * fr + (1 - p) * fa
    return float(c.min() / min(p, 1 - p))


def thresholds(tgt, non, tgt_group=None, non_group=None):
    """Score-map breakpoints from held-out trials: mid at the equal-error point,
    low where 1 % of targets fall below, high above every non-target (so that
    1.0 means stronger evidence than any impostor pair gave).  With groups
    (e.g. the trials' sources), each group weighs the same, so that one large
    domain does not set the operating point for the others."""
    tgt, non = np.asarray(tgt, np.float64), np.asarray(non, np.float64)
    tw = _group_weights(tgt, tgt_group)
    nw = _group_weights(non, non_group)
    thr = np.unique(np.concatenate([tgt, non]))
    ot, on = np.argsort(tgt), np.argsort(non)
    ct = np.concatenate([[0.0], np.cumsum(tw[ot])])
    cn = np.concatenate([[0.0], np.cumsum(nw[on])])
    fr = ct[np.searchsorted(tgt[ot], thr, side="left")]          # target weight below threshold
    fa = 1.0 - cn[np.searchsorted(non[on], thr, side="left")]    # non-target weight at/above
    mid = float(thr[int(np.argmin(np.abs(fr - fa)))])
    low = float(thr[min(int(np.searchsorted(fr, 0.01, side="right")), len(thr) - 1)])
    high = float(non.max()) + 1e-3
    low = min(low, mid - 1e-3)
    high = max(high, mid + 1e-3)
    return [low, mid, high]


def _group_weights(x, group):
    if group is None:
        return np.full(len(x), 1.0 / max(len(x), 1))
    group = np.asarray(group)
    names, inv, counts = np.unique(group, return_inverse=True, return_counts=True)
    return 1.0 / (counts[inv] * len(names))


def sparse_words(spk_clips, noises, rng, count=120, seconds=3.0):
    """3 s segments of short spoken words with pauses (train_vad.make_sparse_sequence)
    -> (int16 segments, speech-stretch frame labels)."""
    import train_vad
    clips = [c for cs in spk_clips.values() for c in cs if len(c) < 1.5 * 16000]
    out = [train_vad.make_sparse_sequence(clips, noises, rng, int(seconds * 16000) // 512)
           for _ in range(count if clips else 0)]
    return [p for p, _ in out], [l for _, l in out]


def summary(tgt, non, mid, high):
    """EER, minDCF and the error rates at the model's mid threshold (mapped score 0.5);
    saturated: share of non-target trials mapped to 1.0."""
    if len(tgt) == 0 or len(non) == 0:
        return {"target_trials": len(tgt), "nontarget_trials": len(non)}
    e, t = eer(tgt, non)
    return {"target_trials": len(tgt), "nontarget_trials": len(non), "eer": round(e, 4),
            "eer_threshold": round(t, 4), "min_dcf": round(min_dcf(tgt, non), 4),
            "frr_at_half": round(float(np.mean(tgt < mid)), 4), "far_at_half": round(float(np.mean(non >= mid)), 4),
            "saturated_nontargets": round(float(np.mean(non >= high)), 5)}


def det_plot(curves, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib missing: no DET plot (apt-get install python3-matplotlib)")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from scipy.stats import norm
    fig, ax = plt.subplots(figsize=(5, 5))
    for label, (tgt, non) in curves.items():
        _, fr, fa = rates(tgt, non)
        ok = (fr > 0) & (fa > 0) & (fr < 1) & (fa < 1)
        ax.plot(norm.ppf(fa[ok]), norm.ppf(fr[ok]), label=label)
    ticks = [0.001, 0.01, 0.05, 0.2, 0.5, 0.8]
    ax.set_xticks(norm.ppf(ticks))
    ax.set_xticklabels(["%g" % (t * 100) for t in ticks])
    ax.set_yticks(norm.ppf(ticks))
    ax.set_yticklabels(["%g" % (t * 100) for t in ticks])
    ax.set_xlim(norm.ppf(0.0005), norm.ppf(0.9))
    ax.set_ylim(norm.ppf(0.0005), norm.ppf(0.9))
    ax.set_xlabel("false accept (%)")
    ax.set_ylabel("false reject (%)")
    ax.grid(True)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def make_backend(model, model_path, voice_threshold, vad_path=VAD_SRC, engine="emulation"):
    if engine == "auto":
        why = library_problem()
        if why is None and os.path.abspath(vad_path) == os.path.abspath(VAD_SRC):
            engine = "library"
        else:
            print("library not used (%s); using the emulation" % (why or "other detector weights"))
    if engine == "library":
        return Library(model, model_path, voice_threshold)
    vad = kxformat.parse_vad_source(_read(vad_path))
    return Emulation(model, vad, voice_threshold)


def calibrate(model, corpus, splits=("valid",), voice_threshold=VOICE_THRESHOLD, seed=5, vad_path=VAD_SRC,
              model_path=None, engine="emulation"):
    """Score thresholds (low, mid, high) from held-out speakers of every source, both bands.
    engine "auto" or "library" needs the model written at model_path."""
    spk, meta = kxdata.load_speakers(corpus, splits)
    rng = np.random.default_rng(seed)
    enroll, tests = make_trials(spk, rng)
    be = make_backend(model, model_path, voice_threshold, vad_path, engine)
    tg, nn, tgrp, ngrp = [], [], [], []
    for band, tf in (("wide", None), ("telephone", telephone)):
        r = score_trials(be, enroll, tests, tf, lambda s: band + "/" + meta[s]["source"])
        tg.append(r["tgt"])
        nn.append(r["non"])
        tgrp += r["tgt_group"]
        ngrp += r["non_group"]
    tg, nn = np.concatenate(tg), np.concatenate(nn)
    if len(tg) < 5 or len(nn) < 5:
        return [0.0, 0.5, 0.9]
    return thresholds(tg, nn, tgrp, ngrp)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--model", default=os.path.join(ROOT, "models", "default.kx"))
    ap.add_argument("--corpus", default=kxdata.CORPUS)
    ap.add_argument("--split", default="test")
    ap.add_argument("--voice-threshold", type=float, default=VOICE_THRESHOLD)
    ap.add_argument("--per-speaker", type=int, default=8)
    ap.add_argument("--out", default=os.path.join(ROOT, "training", "runs", "eval"))
    ap.add_argument("--vad", action="store_true", help="also measure detector frame metrics")
    ap.add_argument("--calibrate", action="store_true",
                    help="first recompute the score thresholds on the validation speakers and rewrite the model")
    ap.add_argument("--engine", choices=("auto", "emulation", "library"), default="auto",
                    help="library: the built libkx_orvel through python/kx_orvel; auto: the library when "
                         "it loads and is newer than the detector weights, else the emulation")
    ap.add_argument("--vad-weights", default=VAD_SRC, help="detector source file to read weights from")
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    model = kxformat.read_model(a.model)
    if a.calibrate:
        model.thresholds = calibrate(model, a.corpus, ("valid",), a.voice_threshold, vad_path=a.vad_weights,
                                     model_path=a.model, engine=a.engine)
        kxformat.write_model(a.model, model)
        print("thresholds", model.thresholds, flush=True)
    be = make_backend(model, a.model, a.voice_threshold, a.vad_weights, a.engine)
    spk, meta = kxdata.load_speakers(a.corpus, (a.split,))
    rng = np.random.default_rng(11)
    enroll, tests = make_trials(spk, rng, a.per_speaker)
    res = {"backend": be.name, "model": os.path.relpath(a.model, ROOT), "split": a.split,
           "parameters": model.parameter_count(), "thresholds": model.thresholds}
    curves, trials = {}, {}
    low, mid, high = model.thresholds
    for label, tf in (("wide-band", None), ("telephone-band", telephone)):
        r = score_trials(be, enroll, tests, tf, lambda s: meta[s]["source"])
        res[label] = summary(r["tgt"], r["non"], mid, high)
        res[label].update({"speakers": r["speakers"], "segments_without_window": r["missing"],
                           "fair": fair(r["trials"], lambda s: meta[s]["source"]),
                           "identification": identification(r["scored"], r["speakers"]),
                           "identification_among_50": identification(r["scored"], r["speakers"], 50),
                           "by_source": {}})
        tg, ng = np.array(r["tgt_group"]), np.array(r["non_group"])
        for src in sorted(set(r["tgt_group"])):
            res[label]["by_source"][src] = summary(r["tgt"][tg == src], r["non"][ng == src], mid, high)
        curves[label] = (r["tgt"], r["non"])
        trials[label] = r["trials"]
        print(label, json.dumps(res[label]), flush=True)
    det_plot(curves, os.path.join(a.out, "det.png"))
    if a.vad:
        import train_vad
        test_spk, tmeta = kxdata.load_speakers(a.corpus, (a.split,), max_clips=40)
        noise = kxdata.load_noise(a.corpus, "test")
        vad = kxformat.parse_vad_source(_read(a.vad_weights))
        # two independent samples of held-out speech in held-out noise
        for key, seed, count in (("detector", 12345, 60), ("detector_sample2", 777, 80)):
            _, Y, P = train_vad.build_set(test_spk, noise, np.random.default_rng(seed), count, 200)
            res[key] = train_vad.evaluate_exact(vad, P, list(Y), a.voice_threshold)
            print(key, json.dumps(res[key]), flush=True)
        words = {s: c for s, c in test_spk.items() if tmeta[s]["source"] in train_vad.SHORT_WORD_SOURCES}
        P, Y = sparse_words(words, noise, np.random.default_rng(99))
        r = train_vad.evaluate_exact(vad, P, Y, a.voice_threshold)
        probs = kxemu.Detector(vad).probabilities(np.stack([kxemu.vad_features(p) for p in P]))
        for t in (0.5, 0.4, 0.3):
            r["no_window_at_%.1f" % t] = round(float(np.mean(
                [not kxemu.select_windows(pr, model.window_frames, model.lookahead_frames, t) for pr in probs])), 4)
        res["detector_sparse_words"] = r
        print("detector_sparse_words", json.dumps(r), flush=True)
    json.dump(res, open(os.path.join(a.out, "results.json"), "w"), indent=1)
    # every trial, for the speaker bootstrap of compare_eval.py
    json.dump({label: {"speaker": [t[0] for t in rows], "source": [meta[t[0]]["source"] for t in rows],
                       "target": [t[1] for t in rows], "score": [round(t[2], 6) for t in rows]}
               for label, rows in trials.items()}, open(os.path.join(a.out, "trials.json"), "w"))
    print("backend:", be.name)


if __name__ == "__main__":
    main()
