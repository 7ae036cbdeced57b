#!/usr/bin/python3
"""Train the built-in voice-activity detector and write src/generated/vad_weights.h.

    nice -n 19 /usr/bin/python3 training/train_vad.py [--minutes 12] [--out PATH]

Sequences of clean speech (frame labels by energy) and silence gaps are mixed
with non-speech at random SNRs, levels and band limits; the detector's exact
fixed-point features are computed with kxemu.  Held-out speakers mixed with
held-out noise give the reported frame ROC-AUC, next to a plain energy detector.
"""
import argparse
import json
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kxdata  # noqa: E402
import kxemu  # noqa: E402
import kxformat  # noqa: E402
import kxtorch  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUT = kxemu.VAD_SOURCE
# single spoken words, the material of sparse-speech sequences
SHORT_WORD_SOURCES = ("klettres-data", "ktuberling-data", "sctest", "arsc")


def make_noise_only(noises, n, rng, faint=False):
    """Non-speech alone: recorded or white noise at the usual levels; with `faint`, down
    to -75 dBFS and a tenth of it digital zeros (a quiet room's hiss, dither), so that
    no level of them reads as voice."""
    if not faint:
        x = kxdata.noise_segment(noises, n, rng) if rng.random() < 0.8 else rng.standard_normal(n)
        return kxdata.to_int16(x, rng)
    u = rng.random()
    if u < 0.1:
        return np.zeros(n, np.int16)
    x = rng.standard_normal(n) if u < 0.5 else kxdata.noise_segment(noises, n, rng)
    if rng.random() < 0.4:
        x = kxdata.band_limit(x, rng)
    return kxdata.to_int16(x, rng, level_db=rng.uniform(-75.0, -3.0))


def make_sequence(clips, noises, rng, frames=250, noise_only=0.1, band_limited=0.4, faint=False):
    """-> (int16 pcm of frames*512 samples, labels [frames])."""
    n = frames * 512
    clean = np.zeros(n)
    lab = np.zeros(frames, np.float32)
    pos = int(rng.integers(0, 40)) * 512
    while pos < n - 4096:
        c = clips[rng.integers(len(clips))].astype(np.float64)
        c = c / (np.abs(c).max() + 1e-9) * rng.uniform(0.3, 1.0)
        take = min(len(c), n - pos)
        clean[pos:pos + take] = c[:take]
        pos += take + int(rng.integers(0, 60)) * 512
        pos = (pos // 512) * 512
    lab[:] = kxdata.speech_regions(kxdata.frame_labels((clean * 32767).astype(np.int16))[:frames])
    x = clean
    if rng.random() < 0.2:
        x = kxdata.reverb(x, rng)
    x = kxdata.mix(x, noises, rng)
    if rng.random() < band_limited:
        x = kxdata.band_limit(x, rng)
    if rng.random() < noise_only:
        return make_noise_only(noises, n, rng, faint), np.zeros(frames, np.float32)
    return kxdata.to_int16(x, rng), lab


def make_sparse_sequence(words, noises, rng, frames=150):
    """Short words with pauses of 0.3-1.2 s in room noise at 5-20 dB SNR, half of it
    reverberant and band-limited like a phone: the speech that must keep its windows."""
    n = frames * 512
    clean = np.zeros(n)
    pos = int(rng.uniform(0.0, 0.5) * 16000)
    while pos < n - 4000:
        c = words[rng.integers(len(words))].astype(np.float64)
        take = min(len(c), n - pos)
        clean[pos:pos + take] = c[:take] / (np.abs(c).max() + 1e-9) * rng.uniform(0.3, 1.0)
        pos += take + int(rng.uniform(0.3, 1.2) * 16000)
    lab = kxdata.speech_regions(kxdata.frame_labels((clean * 32767).astype(np.int16))[:frames])
    x = kxdata.reverb(clean, rng) if rng.random() < 0.5 else clean
    x = kxdata.mix(x, noises, rng, snr_range=(5.0, 20.0), p_noise=1.0)
    if rng.random() < 0.5:
        x = kxdata.band_limit(x, rng)
    return kxdata.to_int16(x, rng, level_db=rng.uniform(-35.0, -10.0)), lab


def features(pcm):
    """Exact detector input: standardised Q10 values as real numbers."""
    q = kxemu.vad_features(pcm)
    st = kxemu.standardize(q.reshape(-1, 2, 40), kxemu.VAD_MEAN, kxemu.VAD_SCALE)
    return st.reshape(-1, 80), q


def build_set(clips_by_spk, noises, rng, count, frames, words=(), sparse=0.0, **kinds):
    """`sparse` of the sequences are short `words` with pauses (when there are words);
    `kinds` go to make_sequence."""
    clips = [c for cs in clips_by_spk.values() for c in cs]
    X, Y, P = [], [], []
    for _ in range(count):
        if len(words) and rng.random() < sparse:
            pcm, lab = make_sparse_sequence(words, noises, rng, frames)
        else:
            pcm, lab = make_sequence(clips, noises, rng, frames, **kinds)
        st, _ = features(pcm)
        X.append(st[:frames])
        Y.append(lab[:len(st)])
        P.append(pcm)
    return np.stack(X).astype(np.float32) / 1024.0, np.stack(Y), P


def auc(scores, labels):
    s = np.asarray(scores, np.float64)
    y = np.asarray(labels) > 0.5
    order = np.argsort(s, kind="mergesort")
    ranks = np.empty(len(s))
    # average ranks for ties
    ss = s[order]
    i = 0
    r = np.arange(1, len(s) + 1, dtype=np.float64)
    while i < len(s):
        j = i
        while j + 1 < len(s) and ss[j + 1] == ss[i]:
            j += 1
        r[i:j + 1] = (i + j + 2) / 2.0
        i = j + 1
    ranks[order] = r
    npos, nneg = y.sum(), (~y).sum()
    if npos == 0 or nneg == 0:
        return float("nan")
    return float((ranks[y].sum() - npos * (npos + 1) / 2) / (npos * nneg))


def f1(pred, labels):
    y = np.asarray(labels) > 0.5
    p = np.asarray(pred)
    tp = (p & y).sum()
    prec = tp / max(p.sum(), 1)
    rec = tp / max(y.sum(), 1)
    return float(2 * prec * rec / max(prec + rec, 1e-9))


def energy_scores(pcm):
    n = len(pcm) // 512
    x = pcm[:n * 512].astype(np.float64).reshape(n, 512)
    return 10 * np.log10((x ** 2).mean(axis=1) + 1e-3)


def evaluate_exact(weights, pcms, labels, threshold=0.5):
    """Detector AUC/F1 through the bit-exact integer emulation vs energy."""
    det = kxemu.Detector(weights)
    feats = np.stack([kxemu.vad_features(p) for p in pcms])
    probs = det.probabilities(feats)
    y = np.concatenate([l[:probs.shape[1]] for l in labels])
    p = probs.reshape(-1)
    en = np.concatenate([energy_scores(pc)[:probs.shape[1]] for pc in pcms])
    # energy baseline F1: best single threshold on these frames (optimistic)
    best_ef1 = max(f1(en > t, y) for t in np.percentile(en, np.arange(5, 96, 5)))
    return {"auc": auc(p, y), "f1": f1(p >= threshold, y), "energy_auc": auc(en, y),
            "energy_best_f1": best_ef1, "frames": int(len(y)), "speech_fraction": float(y.mean())}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=kxdata.CORPUS)
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--minutes", type=float, default=12.0, help="training time budget")
    ap.add_argument("--sequences", type=int, default=1200)
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--batch", type=int, default=24)
    ap.add_argument("--qat-fraction", type=float, default=0.25)
    ap.add_argument("--test-sequences", type=int, default=60)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--sparse-fraction", type=float, default=0.3,
                    help="share of training sequences made of short words with pauses")
    ap.add_argument("--noise-only", type=float, default=0.1,
                    help="share of other sequences that hold non-speech alone, at any level")
    ap.add_argument("--band-limited", type=float, default=0.4,
                    help="share of other sequences low-passed like a phone or a narrow microphone")
    ap.add_argument("--faint-noise", action="store_true",
                    help="non-speech alone down to faint hiss and digital zeros")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--report", default=None, help="write metrics JSON here")
    ap.add_argument("--init", default=None, help="start from the weights of a vad_weights.h")
    ap.add_argument("--lr", type=float, default=3e-3)
    a = ap.parse_args()
    torch.set_num_threads(a.threads)
    torch.manual_seed(a.seed)
    rng = np.random.default_rng(a.seed)
    t0 = time.time()

    train_spk, tmeta = kxdata.load_speakers(a.corpus, ("train", "valid"), max_clips=120)
    words = [c for s, cs in train_spk.items() if tmeta[s]["source"] in SHORT_WORD_SOURCES
             for c in cs if len(c) < 1.5 * 16000]
    test_spk, _ = kxdata.load_speakers(a.corpus, ("test",), max_clips=40)
    noise_tr = kxdata.load_noise(a.corpus, "train")
    noise_te = kxdata.load_noise(a.corpus, "test")
    print("speakers train %d test %d, noise %d/%d" % (len(train_spk), len(test_spk), len(noise_tr),
                                                      len(noise_te)), flush=True)
    X, Y, _ = build_set(train_spk, noise_tr, rng, a.sequences, a.frames, words, a.sparse_fraction,
                        noise_only=a.noise_only, band_limited=a.band_limited, faint=a.faint_noise)
    print("built %d training sequences in %.0f s, speech %.2f" % (len(X), time.time() - t0, Y.mean()),
          flush=True)
    trng = np.random.default_rng(12345)
    _, Yt, Pt = build_set(test_spk, noise_te, trng, a.test_sequences, a.frames)

    model = kxtorch.Detector()
    if a.init:
        with open(a.init) as fh:
            model.load_int8(kxformat.parse_vad_source(fh.read()))
    opt = torch.optim.Adam(model.parameters(), lr=a.lr)
    Xt = torch.from_numpy(X)
    Yt_ = torch.from_numpy(Y).long()
    budget = a.minutes * 60.0
    t1 = time.time()
    step = 0
    while time.time() - t1 < budget:
        frac = (time.time() - t1) / budget
        model.quant = frac > 1.0 - a.qat_fraction
        for g in opt.param_groups:
            g["lr"] = a.lr * (0.1 if model.quant else (1.0 if frac < 0.5 else 0.3))
        idx = torch.from_numpy(rng.integers(0, len(X), a.batch))
        z = model(Xt[idx])
        loss = F.cross_entropy(z.reshape(-1, 2), Yt_[idx].reshape(-1))
        opt.zero_grad()
        loss.backward()
        opt.step()
        kxtorch.clip_(model)
        step += 1
        if step % 20 == 0:
            acc = (z.argmax(-1) == Yt_[idx]).float().mean().item()
            print("step %d  %.0fs  loss %.4f acc %.3f quant %d" % (step, time.time() - t1, loss.item(),
                                                                  acc, model.quant), flush=True)

    w = model.export()
    m = evaluate_exact(w, Pt, list(Yt))
    m["train_seconds"] = round(time.time() - t0, 1)
    m["steps"] = step
    print(json.dumps(m, indent=1), flush=True)
    kxformat.write_vad_source(a.out, w, kxemu.VAD_CONSTANTS, "Held-out frame ROC-AUC %.3f (energy %.3f)." % (m["auc"], m["energy_auc"]))
    print("wrote", a.out)
    if a.report:
        json.dump(m, open(a.report, "w"), indent=1)


if __name__ == "__main__":
    main()
