#!/usr/bin/python3
"""Train the speaker-embedding network and export a .kx model.

    nice -n 19 /usr/bin/python3 training/train_speaker.py [--minutes 35] [--out models/default.kx]

Windows of `window_frames` frames are cut from per-speaker streams (clips of
one speaker joined), augmented (noise/music at random SNR, reverberation,
band limits 3.4-8 kHz, random level; speed-perturbed copies count as new
speakers) and classified with an additive-angular-margin softmax.  The last
part of the budget is quantisation-aware.  Score thresholds are calibrated on
held-out validation speakers through the bit-exact emulation.
"""
import argparse
import json
import math
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kxdata  # noqa: E402
import kxemu  # noqa: E402
import kxformat  # noqa: E402
import kxtorch  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def mel_matrix(num_bands=40):
    """[257, bands] weights equal to the sequential band sums' weights."""
    m = np.zeros((257, num_bands), np.float32)
    for b in range(num_bands):
        lo, pk, hi = kxemu.MEL_EDGES[b:b + 3]
        w = np.float32(0)
        for j in range(lo, pk):
            m[j, b] = w
            w = np.float32(w + kxemu.MEL_RISE[b])
        if lo >= pk:
            w = np.float32(0)
        for j in range(pk, hi):
            m[j, b] = w
            w = np.float32(w - kxemu.MEL_FALL[b])
    return m


MEL = mel_matrix()


def stream_logmel(pcm, hop, log_floor, chunk=4096):
    """Continuous log10 band energies of a whole stream (fast path for training)."""
    pcm = np.asarray(pcm, np.int16)
    n = len(pcm) // hop
    x = pcm[:n * hop].astype(np.float32) * np.float32(0.000030517578)
    prev = np.concatenate([[np.float32(0)], x[:-1]]).astype(np.float32)
    y = np.concatenate([np.zeros(512, np.float32), x - np.float32(0.97) * prev])
    view = np.lib.stride_tricks.sliding_window_view(y, 512)[hop::hop][:n]
    win = kxemu.hann_window()
    out = []
    for s in range(0, n, chunk):
        fr = view[s:s + chunk] * win
        spectrum = np.fft.rfft(fr, axis=-1)
        p = (spectrum.real ** 2 + spectrum.imag ** 2).astype(np.float32)
        p[:, 1:256] *= np.float32(1 / 65536.0)
        p[:, [0, 256]] *= np.float32(1 / 262144.0)
        out.append(np.log10(p @ MEL + np.float32(log_floor)).astype(np.float32))
    return np.concatenate(out) if out else np.zeros((0, 40), np.float32)


def augment(x, noises, rng, kind):
    x = x.astype(np.float64)
    if kind >= 1:
        if rng.random() < 0.3:
            x = kxdata.reverb(x, rng)
        x = kxdata.mix(x, noises, rng, snr_range=(0.0, 25.0), p_noise=0.8)
    if kind >= 2 or rng.random() < 0.25:
        x = kxdata.band_limit(x, rng)
    return kxdata.to_int16(x, rng, level_db=rng.uniform(-30.0, -3.0))


def build_classes(spk_clips, noises, rng, hop, log_floor, variants, speeds, max_seconds, min_frames):
    """-> list of classes, each a list of [N, 40] feature arrays (variants)."""
    classes, names = [], []
    for spk, clips in spk_clips.items():
        stream = np.concatenate(clips)[:int(max_seconds * 16000)]
        for sp in speeds:
            s = stream if sp == 1.0 else np.clip(kxdata.speed_perturb(stream, sp), -32768, 32767).astype(np.int16)
            feats = [stream_logmel(augment(s, noises, rng, k), hop, log_floor) for k in range(variants)]
            if max(len(f) for f in feats) < min_frames:
                continue   # shorter than one window: no training example (and sampling would never end)
            classes.append(feats)
            names.append("%s@%.2f" % (spk, sp))
    return classes, names


def sample_batch(classes, rng, batch, T):
    xs, ys = [], []
    while len(xs) < batch:
        c = int(rng.integers(len(classes)))
        f = classes[c][int(rng.integers(len(classes[c])))]
        if len(f) < T:
            continue
        o = int(rng.integers(0, len(f) - T + 1))
        xs.append(f[o:o + T])
        ys.append(c)
    return np.stack(xs), np.array(ys)


def eer(tgt, non):
    tgt, non = np.sort(tgt), np.sort(non)
    thr = np.concatenate([tgt, non])
    thr.sort()
    fr = np.searchsorted(tgt, thr, side="left") / len(tgt)
    fa = 1.0 - np.searchsorted(non, thr, side="left") / len(non)
    i = np.argmin(np.abs(fr - fa))
    return float((fr[i] + fa[i]) / 2), float(thr[i])


def quick_eval(model, spk_feats, T, rng, enroll=8, test=2, per=12):
    """Window-level float check: mean of `enroll` windows vs mean of `test`."""
    embs = {}
    model.eval()
    with torch.no_grad():
        for spk, f in spk_feats.items():
            n = len(f) // T
            if n < enroll + test:
                continue
            w = np.stack([f[i * T:(i + 1) * T] for i in range(n)])
            e = torch.nn.functional.normalize(model(torch.from_numpy(w)), dim=1).numpy()
            embs[spk] = e
    model.train()
    prof = {s: e[:enroll].mean(0) for s, e in embs.items()}
    segs = {s: [e[enroll + i * test: enroll + (i + 1) * test].mean(0)
                for i in range((len(e) - enroll) // test)][:per] for s, e in embs.items()}
    tgt, non = [], []
    for s, ss in segs.items():
        for v in ss:
            for p, pv in prof.items():
                (tgt if p == s else non).append(float(v @ pv))
    if not tgt or not non:
        return float("nan")
    return eer(np.array(tgt), np.array(non))[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=kxdata.CORPUS)
    ap.add_argument("--out", default=os.path.join(ROOT, "models", "default.kx"))
    ap.add_argument("--minutes", type=float, default=35.0)
    ap.add_argument("--hidden", default="64,64")
    ap.add_argument("--emb", type=int, default=128)
    ap.add_argument("--hop", type=int, default=256)
    ap.add_argument("--window-frames", type=int, default=48)
    ap.add_argument("--lookahead-frames", type=int, default=8)
    ap.add_argument("--log-floor", type=float, default=1e-7)
    ap.add_argument("--norm-epsilon", type=float, default=1e-3)
    ap.add_argument("--batch", type=int, default=48)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--variants", type=int, default=3)
    ap.add_argument("--max-seconds", type=float, default=600.0, help="per speaker")
    ap.add_argument("--qat-fraction", type=float, default=0.2)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--checkpoint", default=os.path.join(ROOT, "training", "runs", "speaker.pt"))
    ap.add_argument("--report", default=None)
    ap.add_argument("--init", default=None,
                    help="continue from a checkpoint written by this script or from a .kx model of the same "
                    "shape or narrower layers (widened, see SpeakerNet.widen_from)")
    ap.add_argument("--vad-weights", default=kxemu.VAD_SOURCE)
    ap.add_argument("--voice-threshold", type=float, default=0.5, help="used for calibration")
    ap.add_argument("--engine", choices=("auto", "emulation", "library"), default="auto",
                    help="runs the calibration trials (see evaluate.py)")
    a = ap.parse_args()
    torch.set_num_threads(a.threads)
    torch.manual_seed(a.seed)
    rng = np.random.default_rng(a.seed)
    t0 = time.time()
    T = a.window_frames * 512 // a.hop

    train, meta = kxdata.load_speakers(a.corpus, ("train",))
    valid, _ = kxdata.load_speakers(a.corpus, ("valid",))
    noises = kxdata.load_noise(a.corpus, "train")
    real = {s: c for s, c in train.items() if meta[s]["source"] != "espeak-ng"}
    tts = {s: c for s, c in train.items() if meta[s]["source"] == "espeak-ng"}
    classes, names = build_classes(real, noises, rng, a.hop, a.log_floor, a.variants, (1.0, 0.9, 1.1),
                                   a.max_seconds, T)
    c2, n2 = build_classes(tts, noises, rng, a.hop, a.log_floor, 2, (1.0,), a.max_seconds, T)
    classes += c2
    names += n2
    vfeats = {s: stream_logmel(np.concatenate(c), a.hop, a.log_floor) for s, c in valid.items()}
    if a.init and a.init.endswith(".kx"):
        ck = kxformat.read_model(a.init)
        band_mean, band_std = ck.band_mean, ck.band_std
    elif a.init:
        ck = torch.load(a.init)
        band_mean, band_std = ck["band_mean"], ck["band_std"]
    else:
        allf = np.concatenate([v[0] for v in classes])
        band_mean = allf.mean(0)
        band_std = allf.std(0) + 1e-3
    for cl in classes:
        for i in range(len(cl)):
            cl[i] = (cl[i] - band_mean) / band_std
    vfeats = {s: (f - band_mean) / band_std for s, f in vfeats.items()}
    print("classes %d (real speakers %d, tts %d), valid %d, features built in %.0f s" % (
        len(classes), len(real), len(tts), len(valid), time.time() - t0), flush=True)

    hidden = tuple(int(h) for h in a.hidden.split(","))
    model = kxtorch.SpeakerNet(40, hidden, a.emb, a.norm_epsilon)
    head = kxtorch.AAMSoftmax(a.emb, len(classes))
    if a.init:
        init_hidden = tuple(H for H, _, _, _ in ck.fwd) if a.init.endswith(".kx") else tuple(
            int(h) for h in ck["args"]["hidden"].split(","))
        start = model if init_hidden == hidden else kxtorch.SpeakerNet(40, init_hidden, a.emb, a.norm_epsilon)
        if a.init.endswith(".kx"):
            start.load_model(ck)
        else:
            start.load_state_dict(ck["model"])
        if start is not model:
            model.widen_from(start)
            print("widened %s -> %s" % (init_hidden, hidden), flush=True)
    if a.init:
        with torch.no_grad():   # class centres as the starting classifier
            for c in range(len(classes)):
                x, _ = sample_batch([classes[c]], rng, 4, T)
                head.w[c] = torch.nn.functional.normalize(model(torch.from_numpy(x)), dim=1).mean(0)
    opt = torch.optim.Adam(list(model.parameters()) + list(head.parameters()), lr=a.lr)
    budget = a.minutes * 60.0
    t1 = time.time()
    step, seen = 0, 0
    best = (1.0, None)
    hist = []
    while time.time() - t1 < budget:
        frac = (time.time() - t1) / budget
        model.quant = frac > 1.0 - a.qat_fraction
        lr = a.lr * (0.05 + 0.95 * 0.5 * (1 + math.cos(math.pi * min(frac, 1.0))))
        for g in opt.param_groups:
            g["lr"] = lr
        head.m = 0.2 if a.init else 0.2 * min(1.0, frac * 4)
        x, y = sample_batch(classes, rng, a.batch, T)
        e = model(torch.from_numpy(x))
        loss, acc = head(e, torch.from_numpy(y))
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
        opt.step()
        kxtorch.clip_(model)
        step += 1
        seen += len(x)
        if step % 25 == 0:
            print("step %d %.0fs %.1f win/s loss %.3f acc %.3f lr %.5f quant %d" % (
                step, time.time() - t1, seen / (time.time() - t1), loss.item(), acc.item(), lr,
                model.quant), flush=True)
        if step % 200 == 0:
            v = quick_eval(model, vfeats, T, rng)
            hist.append((step, v))
            print("  valid window EER %.3f" % v, flush=True)
            torch.save({"model": model.state_dict(), "band_mean": band_mean, "band_std": band_std,
                        "args": vars(a)}, a.checkpoint)

    fwd, bwd, proj = model.export_layers()
    km = kxformat.Model(a.window_frames, a.lookahead_frames, (0.0, 0.5, 0.9), a.hop, a.log_floor,
                        band_mean, band_std, a.norm_epsilon, fwd, bwd, proj)
    v = quick_eval(model, vfeats, T, rng)
    print("final valid window EER (torch, quant=%d) %.3f" % (model.quant, v), flush=True)
    torch.save({"model": model.state_dict(), "band_mean": band_mean, "band_std": band_std,
                "args": vars(a)}, a.checkpoint)
    # thresholds from held-out validation speakers through the exact pipeline
    import evaluate
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    kxformat.write_model(a.out, km)
    thr = evaluate.calibrate(km, a.corpus, ("valid",), a.voice_threshold, vad_path=a.vad_weights,
                             model_path=a.out, engine=a.engine)
    km.thresholds = thr
    size = kxformat.write_model(a.out, km)
    rep = {"steps": step, "windows_seen": seen, "train_seconds": round(time.time() - t0, 1),
           "classes": len(classes), "parameters": km.parameter_count(), "bytes": size,
           "valid_window_eer": v, "thresholds": thr, "history": hist}
    print(json.dumps(rep), flush=True)
    if a.report:
        json.dump(rep, open(a.report, "w"), indent=1)


if __name__ == "__main__":
    main()
