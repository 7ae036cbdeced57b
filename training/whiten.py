#!/usr/bin/env python3
"""Fold a within-speaker whitening into a model's projection.

Window embeddings of the training speakers, each as recorded, through a telephone band and
in noise, give the mean direction that every embedding shares and the within-speaker
covariance (what changes with band, noise and words).  The map
    A = (Sw + lam * trace(Sw) / R * I)^(-1/2) (I - u u^T)
removes the shared direction and evens out the nuisance directions; the library applies
it before each window's L2 normalisation by running the projection A P instead of P.
Scores change scale, so recalibrate afterwards (evaluate.py --calibrate).

    /usr/bin/python3 training/whiten.py --model IN.kx --out OUT.kx [--lam 1.0]
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate  # noqa: E402
import kxdata  # noqa: E402
import kxformat  # noqa: E402


def variants(x, noises, rng):
    """The three renderings of one speaker's speech the statistics are taken over."""
    noisy = kxdata.to_int16(kxdata.mix(x.astype(np.float64), noises, rng, (0.0, 20.0), 1.0), rng, -6.0)
    return [x, evaluate.telephone(x), noisy]


def whitening(emb, speaker, lam):
    """Unit window embeddings [N][R] and their speaker ids -> the map A [R][R]."""
    emb = np.asarray(emb, np.float64)
    ids = np.unique(speaker)
    means = np.stack([emb[speaker == s].mean(0) for s in ids])
    u = means.mean(0)
    u /= np.linalg.norm(u)
    centre = np.eye(emb.shape[1]) - np.outer(u, u)
    x = emb @ centre
    sw = np.zeros((emb.shape[1],) * 2)
    for s in ids:   # every speaker weighs the same
        z = x[speaker == s] - x[speaker == s].mean(0)
        sw += z.T @ z / len(z)
    sw /= len(ids)
    w, q = np.linalg.eigh(sw + lam * np.trace(sw) / len(sw) * np.eye(len(sw)))
    return q @ np.diag(w ** -0.5) @ q.T @ centre


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--model", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--corpus", default=kxdata.CORPUS)
    ap.add_argument("--split", default="train", help="speakers the statistics come from")
    ap.add_argument("--lam", type=float, default=1.0, help="shrinkage towards the identity")
    ap.add_argument("--seconds", type=float, default=90.0, help="speech per speaker")
    ap.add_argument("--per-variant", type=int, default=30, help="windows per speaker and rendering")
    ap.add_argument("--engine", choices=("auto", "emulation", "library"), default="auto")
    a = ap.parse_args()
    model = kxformat.read_model(a.model)
    if model.projection is None:
        sys.exit("the model has no projection to fold the map into")
    be = evaluate.make_backend(model, a.model, evaluate.VOICE_THRESHOLD, engine=a.engine)
    spk, _ = kxdata.load_speakers(a.corpus, (a.split,), max_clips=60)
    noises = kxdata.load_noise(a.corpus, "train")
    rng = np.random.default_rng(3)
    emb, ids = [], []
    for i, name in enumerate(sorted(spk)):
        x = np.concatenate(spk[name])[:int(a.seconds * 16000)]
        if len(x) < model.window_frames * 512:
            continue
        for e in be.window_embeddings(variants(x, noises, rng)):
            if len(e) > a.per_variant:
                e = e[rng.choice(len(e), a.per_variant, replace=False)]
            emb.append(e)
            ids += [i] * len(e)
    emb, ids = np.concatenate(emb), np.array(ids)
    A = whitening(emb, ids, a.lam)
    model.projection = (A @ model.projection.astype(np.float64)).astype(np.float32)
    kxformat.write_model(a.out, model)
    print("%d windows of %d speakers; wrote %s (recalibrate it)" % (len(ids), len(np.unique(ids)), a.out))


if __name__ == "__main__":
    main()
