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
import signal
import sys
import time

# Workers are single-threaded processes: BLAS threads of their own (started by the set-up
# before the workers fork) spin against the other worker; measured at a third of the speed.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402
import torch  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate  # noqa: E402
import kxdata  # noqa: E402
import kxemu  # noqa: E402
import kxformat  # noqa: E402
import kxtorch  # noqa: E402
import kxtrain  # noqa: E402

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


def augment(x, noises, rng, kind, codec=0.0, telephone=0.0):
    """kind 0: level (and a band limit at times); 1: also reverberation and noise;
    2: always band-limited, a telephone line by chance `telephone`.  codec: chance of a
    lossy codec round trip last."""
    x = x.astype(np.float64)
    if kind >= 1:
        if rng.random() < 0.3:
            x = kxdata.reverb(x, rng)
        x = kxdata.mix(x, noises, rng, snr_range=(0.0, 25.0), p_noise=0.8)
    if kind >= 2 and rng.random() < telephone:
        x = kxdata.telephone_channel(x, rng)
    elif kind >= 2 or rng.random() < 0.25:
        x = kxdata.band_limit(x, rng)
    y = kxdata.to_int16(x, rng, level_db=rng.uniform(-30.0, -3.0))
    return kxdata.codec_round_trip(y, rng) if codec and rng.random() < codec else y


_NOISES = []


def _speaker_classes(job):
    spk, clips, seed, hop, log_floor, variants, speeds, max_seconds, min_frames, codec, telephone = job
    rng = np.random.default_rng([seed, int.from_bytes(spk.encode()[-8:].rjust(8, b"\0"), "little")])
    stream = np.concatenate(clips)[:int(max_seconds * 16000)]
    out = []
    for sp in speeds:
        s = stream if sp == 1.0 else np.clip(kxdata.speed_perturb(stream, sp), -32768, 32767).astype(np.int16)
        # the second variant may pass through a codec: compression is no trait of a source;
        # variants beyond three repeat the mix of kinds, so more of them do not shift it
        feats = [stream_logmel(augment(s, _NOISES, rng, k % 3, codec if k % 3 == 1 else 0.0, telephone), hop, log_floor)
                 for k in range(variants)]
        if max(len(f) for f in feats) >= min_frames:   # shorter than one window: no class
            out.append(("%s@%.2f" % (spk, sp), feats))
    return out


def build_classes(spk_clips, noises, seed, hop, log_floor, variants, speeds, max_seconds, min_frames,
                  codec=0.0, jobs=1, telephone=0.0):
    """-> (classes, names): classes a list of lists of [N, 40] feature arrays (variants).
    Each speaker's augmentation draws from its own generator, so the result does not
    depend on `jobs`."""
    _NOISES[:] = noises
    work = [(spk, clips, seed, hop, log_floor, variants, speeds, max_seconds, min_frames, codec, telephone)
            for spk, clips in spk_clips.items()]
    if jobs > 1 and len(work) > 1:
        import multiprocessing
        with multiprocessing.get_context("fork").Pool(jobs) as pool:
            done = pool.map(_speaker_classes, work, chunksize=4)
    else:
        done = [_speaker_classes(w) for w in work]
    pairs = [p for d in done for p in d]
    return [f for _, f in pairs], [n for n, _ in pairs]


def eer(tgt, non):
    tgt, non = np.sort(tgt), np.sort(non)
    thr = np.concatenate([tgt, non])
    thr.sort()
    fr = np.searchsorted(tgt, thr, side="left") / len(tgt)
    fa = 1.0 - np.searchsorted(non, thr, side="left") / len(non)
    i = np.argmin(np.abs(fr - fa))
    return float((fr[i] + fa[i]) / 2), float(thr[i])


def quick_eval(model, spk_feats, T, enroll=6, test=2, per=12):
    """Window-level float check: mean of `enroll` windows against means of `test`
    windows later in the stream (windows half-overlapping, so 8.4 s of speech suffice)."""
    embs = {}
    step = T // 2
    model.eval()
    with torch.no_grad():
        for spk, f in spk_feats.items():
            n = (len(f) - T) // step + 1
            if n < enroll + 2 + test:
                continue
            w = np.stack([f[i * step:i * step + T] for i in range(n)])
            embs[spk] = torch.nn.functional.normalize(model(torch.from_numpy(w)), dim=1).numpy()
    model.train()
    prof = {s: e[:enroll].mean(0) for s, e in embs.items()}
    first = enroll + 2     # the first test window starts where the enrolment ends
    segs = {s: [e[first + i * test: first + (i + 1) * test].mean(0)
                for i in range((len(e) - first) // test)][:per] for s, e in embs.items()}
    tgt, non = [], []
    for s, ss in segs.items():
        for v in ss:
            for p, pv in prof.items():
                (tgt if p == s else non).append(float(v @ pv))
    if not tgt or not non:
        return float("nan")
    return eer(np.array(tgt), np.array(non))[0]


def parse_args(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=kxdata.CORPUS)
    ap.add_argument("--out", default=os.path.join(ROOT, "models", "default.kx"))
    ap.add_argument("--minutes", type=float, default=35.0,
                    help="training budget; the step count is fixed from the speed of the first steps")
    ap.add_argument("--steps", type=int, default=None, help="training length in steps (instead of --minutes)")
    ap.add_argument("--hidden", default="64,64")
    ap.add_argument("--emb", type=int, default=128)
    ap.add_argument("--hop", type=int, default=256)
    ap.add_argument("--window-frames", type=int, default=48)
    ap.add_argument("--lookahead-frames", type=int, default=8)
    ap.add_argument("--log-floor", type=float, default=1e-7)
    ap.add_argument("--norm-epsilon", type=float, default=1e-3)
    ap.add_argument("--batch", type=int, default=256)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--variants", type=int, default=3)
    ap.add_argument("--max-seconds", type=float, default=300.0, help="per speaker")
    ap.add_argument("--codec", type=float, default=0.5,
                    help="chance that a class's second variant passes through a lossy codec")
    ap.add_argument("--telephone", type=float, default=0.0,
                    help="chance that a class's third (always band-limited) variant is a telephone line "
                         "(300-3400 Hz) rather than a low-pass")
    ap.add_argument("--qat-fraction", type=float, default=0.2)
    ap.add_argument("--margin", type=float, default=0.2, help="angular margin of the classifier")
    ap.add_argument("--consistency", type=float, default=0.0,
                    help="draw windows in pairs (one window, two augmentations) and add this weight "
                    "times their cosine distance to the loss")
    ap.add_argument("--workers", type=int, default=2, help="processes splitting each batch")
    ap.add_argument("--threads", type=int, default=1, help="intra-op threads per worker")
    ap.add_argument("--reference-cells", action="store_true",
                    help="train with the step-by-step reference cells (slow; for comparisons)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--source-weights", default=SOURCE_WEIGHTS, help="share of the batches per source")
    ap.add_argument("--head-warmup", type=int, default=0,
                    help="steps that train only the classifier (a fresh head over many new classes "
                    "would otherwise pull the embedding about)")
    ap.add_argument("--checkpoint", default=os.path.join(ROOT, "training", "runs", "speaker.pt"))
    ap.add_argument("--checkpoint-minutes", type=float, default=5.0)
    ap.add_argument("--bank", default=None, help="feature bank folder (default: beside the checkpoint)")
    ap.add_argument("--resume", action="store_true",
                    help="continue the run saved in --checkpoint (its settings win); a finished run is exported")
    ap.add_argument("--stop-minutes", type=float, default=None,
                    help="stop after this much wall time, with a checkpoint to --resume from")
    ap.add_argument("--stop-step", type=int, default=None, help="stop after this step, with a checkpoint")
    ap.add_argument("--valid-every", type=int, default=200, help="steps between validations")
    ap.add_argument("--report", default=None)
    ap.add_argument("--init", default=None,
                    help="continue from a checkpoint written by this script or from a .kx model of the same "
                    "shape or narrower layers (widened, see SpeakerNet.widen_from)")
    ap.add_argument("--vad-weights", default=kxemu.VAD_SOURCE)
    ap.add_argument("--voice-threshold", type=float, default=evaluate.VOICE_THRESHOLD, help="used for calibration")
    ap.add_argument("--engine", choices=("auto", "emulation", "library"), default="auto",
                    help="runs the calibration trials (see evaluate.py)")
    ap.add_argument("--no-export", action="store_true", help="train only (tests, benchmarks)")
    return ap.parse_args(argv)


# share of the batches per source (a source's classes share its weight); the Debian
# voices together weigh "debian".  Short command words, children and compressed
# crowd recordings must not dominate the batches.
SOURCE_WEIGHTS = "librispeech=3,debian=2.5,so762=2,cven13=2,cvfa=1,cvtw=0.4,sctest=1,arsc=0.5,espeak-ng=0.6"
SHARED = ("librispeech", "so762", "cven13", "cvfa", "cvtw", "sctest", "arsc", "espeak-ng")


def class_weights(sources, shares):
    w = {k: float(v) for k, v in (kv.split("=") for kv in shares.split(",") if kv)}
    group = [src if src in SHARED else "debian" for src in sources]
    count = {g: group.count(g) for g in set(group)}
    return np.array([w.get(g, 1.0) / count[g] for g in group])


def validation_features(valid, meta, noises, hop, log_floor, band_mean, band_std, per_source=25, seed=99):
    """Held-out speakers, at most `per_source` of each source, in noise, reverberation
    and band limits: a validation set far from perfect, so checkpoints can be told apart."""
    rng = np.random.default_rng(seed)
    taken, out = {}, {}
    for spk, clips in sorted(valid.items()):
        src = meta[spk]["source"]
        if taken.get(src, 0) >= per_source:
            continue
        taken[src] = taken.get(src, 0) + 1
        x = augment(np.concatenate(clips), noises, rng, 1)
        out[spk] = (stream_logmel(x, hop, log_floor) - band_mean) / band_std
    return out


# settings that only steer this invocation (the worker layout changes only the order of float
# sums); everything else comes from the checkpoint on --resume
SESSION_ARGS = ("resume", "stop_minutes", "stop_step", "checkpoint", "checkpoint_minutes", "report",
                "engine", "workers", "threads")


def load_init(a):
    """-> (kxformat.Model or checkpoint dict or None)"""
    if not a.init:
        return None
    return kxformat.read_model(a.init) if a.init.endswith(".kx") else torch.load(a.init)


def feature_bank(a, T, ck):
    """Build the augmented features once; a resumed run reads the same file."""
    path = a.bank or os.path.splitext(a.checkpoint)[0] + ".bank"
    meta = os.path.join(a.corpus, "speakers.json")
    # a setting at its old default stays out of the key, so banks built before keep theirs
    key = kxtrain.bank_key(corpus=open(meta).read() if os.path.exists(meta) else a.corpus, hop=a.hop,
                           log_floor=a.log_floor, variants=a.variants, max_seconds=a.max_seconds, seed=a.seed,
                           init=a.init, T=T, codec=a.codec, **({"telephone": a.telephone} if a.telephone else {}))
    if os.path.isdir(path):
        bank = kxtrain.FeatureBank(path)
        if bank.key == key:
            return bank
    t0 = time.time()
    train, meta = kxdata.load_speakers(a.corpus, ("train",))
    noises = kxdata.load_noise(a.corpus, "train")
    real = {s: c for s, c in train.items() if meta[s]["source"] != "espeak-ng"}
    tts = {s: c for s, c in train.items() if meta[s]["source"] == "espeak-ng"}
    classes, names = build_classes(real, noises, a.seed, a.hop, a.log_floor, a.variants, (1.0, 0.9, 1.1),
                                   a.max_seconds, T, a.codec, a.workers, a.telephone)
    c2, n2 = build_classes(tts, noises, a.seed, a.hop, a.log_floor, 2, (1.0,), a.max_seconds, T, a.codec, a.workers)
    classes += c2
    names += n2
    if isinstance(ck, kxformat.Model):
        band_mean, band_std = ck.band_mean, ck.band_std
    elif ck is not None:
        band_mean, band_std = ck["band_mean"], ck["band_std"]
    else:
        allf = np.concatenate([v[0] for v in classes])
        band_mean = allf.mean(0)
        band_std = allf.std(0) + 1e-3
    for cl in classes:
        for i in range(len(cl)):
            cl[i] = (cl[i] - band_mean) / band_std
    sources = [meta[n.split("@")[0]]["source"] for n in names]
    bank = kxtrain.FeatureBank.write(path, key, classes, names, {
        "band_mean": np.asarray(band_mean, np.float64).tolist(), "band_std": np.asarray(band_std, np.float64).tolist(),
        "sources": sources, "real_speakers": len(real), "tts_speakers": len(tts)})
    print("features of %d classes built in %.0f s" % (bank.classes, time.time() - t0), flush=True)
    return bank


def schedule(a, step, total):
    """-> (lr, quant, margin) at a step; a function of the step alone, so a resumed run repeats it."""
    frac = step / total if total else 0.0
    lr = a.lr * (0.05 + 0.95 * 0.5 * (1 + math.cos(math.pi * min(frac, 1.0))))
    quant = bool(total) and frac >= 1.0 - a.qat_fraction
    margin = a.margin if a.init else a.margin * min(1.0, frac * 4)
    return lr, quant, margin


class StopRequest:
    """SIGINT/SIGTERM ask the loop to checkpoint and stop."""

    def __init__(self):
        self.asked = False
        for s in (signal.SIGINT, signal.SIGTERM):
            signal.signal(s, self._ask)

    def _ask(self, *_):
        self.asked = True


def fmt_minutes(seconds):
    return "%d:%02d" % (seconds // 3600, seconds % 3600 // 60) if seconds >= 3600 else "%d min" % (seconds // 60)


def train(a):
    """Runs (or continues) training -> (model, classifier, run state, bank, validation features, T)."""
    if a.consistency and a.batch % (2 * a.workers):
        raise SystemExit("--consistency: the batch must split into whole pairs per worker (%d windows, %d workers)"
                         % (a.batch, a.workers))
    torch.set_num_threads(a.threads)
    torch.manual_seed(a.seed)
    kxtrain.keep_freed_memory()
    T = a.window_frames * 512 // a.hop
    ck = load_init(a)
    bank = feature_bank(a, T, ck)
    band_mean = np.array(bank.extra["band_mean"], np.float32)
    band_std = np.array(bank.extra["band_std"], np.float32)
    valid, vmeta = kxdata.load_speakers(a.corpus, ("valid",))
    vfeats = validation_features(valid, vmeta, kxdata.load_noise(a.corpus, "train"), a.hop, a.log_floor,
                                 band_mean, band_std)
    print("classes %d (real speakers %d, tts %d), valid %d" % (
        bank.classes, bank.extra["real_speakers"], bank.extra["tts_speakers"], len(vfeats)), flush=True)

    hidden = tuple(int(h) for h in a.hidden.split(","))
    model = kxtorch.SpeakerNet(40, hidden, a.emb, a.norm_epsilon)
    model.fast = not a.reference_cells
    head = kxtorch.AAMSoftmax(a.emb, bank.classes)
    sampler = kxtrain.WindowSampler(bank, T, a.seed, class_weights(bank.extra["sources"], a.source_weights))
    run = {"step": 0, "seen": 0, "elapsed": 0.0, "total": a.steps, "history": [], "best": None,
           "finished": False}
    if a.resume:
        st = torch.load(a.checkpoint)
        model.load_state_dict(st["model"])
        head.load_state_dict(st["head"])
        sampler.restore(st["sampler"])
        torch.set_rng_state(st["torch_rng"])
        run = st["run"]
    elif ck is not None:
        init_hidden = tuple(H for H, _, _, _ in ck.fwd) if isinstance(ck, kxformat.Model) else tuple(
            int(h) for h in ck["args"]["hidden"].split(","))
        start = model if init_hidden == hidden else kxtorch.SpeakerNet(40, init_hidden, a.emb, a.norm_epsilon)
        if isinstance(ck, kxformat.Model):
            start.load_model(ck)
        else:
            start.load_state_dict(ck["model"])
        if start is not model:
            model.widen_from(start)
            print("widened %s -> %s" % (init_hidden, hidden), flush=True)
        with torch.no_grad():   # class centres as the starting classifier
            for c0 in range(0, bank.classes, 128):
                cs = [c for c in range(c0, min(c0 + 128, bank.classes)) if sampler.usable[c]]
                if not cs:
                    continue
                starts = [sampler.draw_from(c, 4) for c in cs]
                e = model(torch.from_numpy(bank.windows(np.concatenate(starts), T)))
                e = torch.nn.functional.normalize(e, dim=1).view(len(cs), 4, -1).mean(1)
                head.w[cs] = e
    opt = torch.optim.Adam([{"params": list(model.parameters())}, {"params": list(head.parameters())}], lr=a.lr)
    if a.resume:
        opt.load_state_dict(st["opt"])
    if run["finished"]:
        return model, head, run, bank, vfeats, T

    def snapshot():
        return {"model": model.state_dict(), "head": head.state_dict(), "opt": opt.state_dict(),
                "sampler": sampler.state(), "torch_rng": torch.get_rng_state(), "run": run,
                "band_mean": band_mean, "band_std": band_std, "args": vars(a)}

    stop = StopRequest()
    workers = kxtrain.GradWorkers(model, head, bank, T, a.workers, a.threads)
    t_start = t_prev = t_ck = time.time()
    session_seen = 0
    probe = None
    last_valid = run["history"][-1][1] if run["history"] else float("nan")
    try:
        while run["total"] is None or run["step"] < run["total"]:
            lr, quant, margin = schedule(a, run["step"], run["total"])
            opt.param_groups[0]["lr"] = lr if run["step"] >= a.head_warmup else 0.0
            opt.param_groups[1]["lr"] = lr
            starts, labels = sampler.draw_pairs(a.batch) if a.consistency else sampler.draw(a.batch)
            loss, acc = workers.optimise(opt, starts, labels, quant, margin, a.consistency)
            run["step"] += 1
            run["seen"] += a.batch
            session_seen += a.batch
            now = time.time()
            run["elapsed"] += now - t_prev
            t_prev = now
            if run["total"] is None:
                # the first steps fix the run's length from the measured speed
                probe = probe or now
                if run["step"] == 10:
                    per_step = (now - probe) / 9
                    run["total"] = max(run["step"] + 1, int(a.minutes * 60.0 / per_step))
                    print("budget %.0f min: %d steps of %d windows" % (a.minutes, run["total"], a.batch), flush=True)
            if run["step"] % a.valid_every == 0 or run["step"] == run["total"]:
                model.quant = quant
                last_valid = quick_eval(model, vfeats, T)
                run["history"].append((run["step"], last_valid))
                if quant and (run["best"] is None or last_valid <= run["best"][1]):
                    run["best"] = (run["step"], last_valid, {k: v.clone() for k, v in model.state_dict().items()})
            if run["step"] % 10 == 0 or run["step"] == run["total"]:
                rate = session_seen / max(now - t_start, 1e-9)
                left = (run["total"] - run["step"]) * a.batch / rate if run["total"] else float("nan")
                print("step %d/%s %.0f win/s loss %.3f acc %.3f lr %.5f quant %d valid EER %.3f left %s" % (
                    run["step"], run["total"] or "?", rate, loss, acc, lr, quant, last_valid,
                    fmt_minutes(left) if left == left else "?"), flush=True)
            done = run["step"] == run["total"]
            halt = stop.asked or (a.stop_step is not None and run["step"] >= a.stop_step) or (
                a.stop_minutes is not None and now - t_start >= a.stop_minutes * 60.0)
            if done or halt or now - t_ck >= a.checkpoint_minutes * 60.0:
                run["finished"] = done
                kxtrain.save_checkpoint(a.checkpoint, snapshot())
                t_ck = now
            if halt and not done:
                print("stopped at step %d of %d; continue with: %s --resume --checkpoint %s" % (
                    run["step"], run["total"] or 0, sys.argv[0], a.checkpoint), flush=True)
                return model, head, run, bank, vfeats, T
    finally:
        workers.close()
    return model, head, run, bank, vfeats, T


def main(argv=None):
    a = parse_args(argv)
    if a.resume:
        saved = torch.load(a.checkpoint)["args"]
        for k, v in saved.items():
            if k not in SESSION_ARGS:
                setattr(a, k, v)
    t0 = time.time()
    model, head, run, bank, vfeats, T = train(a)
    if not run["finished"]:
        return 75      # stopped early: resumable
    if run["best"] is not None and run["best"][1] < run["history"][-1][1]:
        print("exporting step %d (valid window EER %.3f) rather than the last" % run["best"][:2], flush=True)
        model.load_state_dict(run["best"][2])
    model.quant = run["total"] and a.qat_fraction > 0
    v = quick_eval(model, vfeats, T)
    print("final valid window EER (quant=%d) %.3f" % (model.quant, v), flush=True)
    rep = {"steps": run["step"], "windows_seen": run["seen"], "train_seconds": round(run["elapsed"], 1),
           "windows_per_second": round(run["seen"] / max(run["elapsed"], 1e-9), 1), "classes": bank.classes,
           "valid_window_eer": v, "history": run["history"]}
    if not a.no_export:
        fwd, bwd, proj = model.export_layers()
        band_mean = np.array(bank.extra["band_mean"], np.float32)
        band_std = np.array(bank.extra["band_std"], np.float32)
        km = kxformat.Model(a.window_frames, a.lookahead_frames, (0.0, 0.5, 0.9), a.hop, a.log_floor,
                            band_mean, band_std, a.norm_epsilon, fwd, bwd, proj)
        torch.save({"model": model.state_dict(), "band_mean": band_mean, "band_std": band_std,
                    "args": vars(a)}, os.path.splitext(a.checkpoint)[0] + ".final.pt")
        # thresholds from held-out validation speakers through the exact pipeline
        os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
        kxformat.write_model(a.out, km)
        thr = evaluate.calibrate(km, a.corpus, ("valid",), a.voice_threshold, vad_path=a.vad_weights,
                                 model_path=a.out, engine=a.engine)
        km.thresholds = thr
        rep.update(thresholds=thr, parameters=km.parameter_count(), bytes=kxformat.write_model(a.out, km))
    rep["total_seconds"] = round(time.time() - t0, 1)
    print(json.dumps(rep), flush=True)
    if a.report:
        json.dump(rep, open(a.report, "w"), indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
