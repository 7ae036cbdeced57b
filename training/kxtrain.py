"""Training machinery shared by the speaker trainer and its benchmark.

A feature bank on disk (memory-mapped, so worker processes and a resumed run
read the same features without rebuilding them), a window sampler whose state
is a checkpointable random generator, and data-parallel gradient workers:
single-threaded processes that share the parameters and split each batch, so
two cores do twice the work without OpenMP threads spinning against each other.
"""
import ctypes
import hashlib
import json
import multiprocessing
import os
import shutil
import signal

import numpy as np
import torch

import kxtorch


def keep_freed_memory():
    """Keep freed blocks in the heap: the recurrent passes allocate tens of MB per
    call, and glibc's default maps and unmaps each, page-faulting it in afresh
    (measured: about 2.5 times the step time)."""
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        return
    libc.mallopt(-3, 1 << 30)    # M_MMAP_THRESHOLD
    libc.mallopt(-1, 1 << 31)    # M_TRIM_THRESHOLD


# ---------------------------------------------------------------- feature bank

class FeatureBank:
    """Feature arrays of every class in one float32 file.

    Each array (one variant of one class) is a segment: rows start..start+len
    of `feats`, labelled with its class."""

    def __init__(self, path):
        self.path = path
        meta = json.load(open(os.path.join(path, "bank.json")))
        self.key, self.names, self.dim = meta["key"], meta["names"], meta["dim"]
        self.extra = meta.get("extra", {})
        idx = np.load(os.path.join(path, "segments.npz"))
        self.seg_start, self.seg_len, self.seg_class = idx["start"], idx["len"], idx["cls"]
        rows = int(self.seg_start[-1] + self.seg_len[-1]) if len(self.seg_start) else 0
        self.feats = np.memmap(os.path.join(path, "feats.f32"), np.float32, "r", shape=(rows, self.dim))

    @property
    def classes(self):
        return len(self.names)

    @staticmethod
    def write(path, key, classes, names, extra=None):
        """classes: list (per class) of lists of [N, dim] arrays.  Written whole, then renamed."""
        tmp = path + ".part"
        os.makedirs(tmp, exist_ok=True)
        dim = next(len(f[0]) for cl in classes for f in cl if len(f))
        start, length, cls = [], [], []
        with open(os.path.join(tmp, "feats.f32"), "wb") as out:
            row = 0
            for c, cl in enumerate(classes):
                for f in cl:
                    f = np.ascontiguousarray(f, np.float32)
                    out.write(f.tobytes())
                    start.append(row)
                    length.append(len(f))
                    cls.append(c)
                    row += len(f)
        np.savez(os.path.join(tmp, "segments.npz"), start=np.array(start, np.int64),
                 len=np.array(length, np.int64), cls=np.array(cls, np.int64))
        json.dump({"key": key, "names": names, "dim": dim, "extra": extra or {}},
                  open(os.path.join(tmp, "bank.json"), "w"))
        if os.path.isdir(path):
            shutil.rmtree(path)
        os.rename(tmp, path)
        return FeatureBank(path)

    def windows(self, starts, T):
        return np.stack([self.feats[s:s + T] for s in starts])


def bank_key(**settings):
    return hashlib.sha1(json.dumps(settings, sort_keys=True, default=str).encode()).hexdigest()[:16]


class WindowSampler:
    """Draws (first row, class) pairs: a class by weight, one of its segments
    long enough for a window, an offset.  Its whole state is the generator's."""

    def __init__(self, bank, T, seed, class_weights=None):
        self.T = T
        ok = bank.seg_len >= T
        self.seg_of = [[] for _ in range(bank.classes)]
        for s in np.nonzero(ok)[0]:
            self.seg_of[bank.seg_class[s]].append(int(s))
        self.usable = np.array([len(s) > 0 for s in self.seg_of])
        w = np.ones(bank.classes) if class_weights is None else np.asarray(class_weights, np.float64)
        w = np.where(self.usable, w, 0.0)
        if w.sum() <= 0:
            raise ValueError("no class has a segment of %d frames" % T)
        self.p = w / w.sum()
        self.bank = bank
        self.rng = np.random.default_rng(seed)

    def draw(self, batch):
        cls = self.rng.choice(len(self.p), size=batch, p=self.p)
        return np.concatenate([self.draw_from(c, 1) for c in cls]), cls.astype(np.int64)

    def draw_pairs(self, batch):
        """Windows in pairs (rows 2i, 2i+1): one class, one offset, two of its variants,
        which hold the same audio augmented differently.  Classes with one variant
        give a window twice."""
        cls = self.rng.choice(len(self.p), size=batch // 2, p=self.p)
        starts = []
        for c in cls:
            segs = self.seg_of[c]
            a, b = (self.rng.choice(len(segs), size=2, replace=False) if len(segs) > 1 else (0, 0))
            sa, sb = segs[int(a)], segs[int(b)]
            off = int(self.rng.integers(0, min(self.bank.seg_len[sa], self.bank.seg_len[sb]) - self.T + 1))
            starts += [self.bank.seg_start[sa] + off, self.bank.seg_start[sb] + off]
        return np.array(starts, np.int64), np.repeat(cls, 2).astype(np.int64)

    def draw_from(self, c, n):
        """First rows of n windows of class c."""
        out = []
        for _ in range(n):
            segs = self.seg_of[c]
            s = segs[int(self.rng.integers(len(segs)))]
            out.append(self.bank.seg_start[s] + int(self.rng.integers(0, self.bank.seg_len[s] - self.T + 1)))
        return np.array(out, np.int64)

    def state(self):
        return self.rng.bit_generator.state

    def restore(self, state):
        self.rng.bit_generator.state = state


# ---------------------------------------------------------------- gradient workers

def _partial_gradient(model, head, bank, T, starts, labels, quant, margin, consistency, flat):
    """Mean loss of this share of the batch; its gradient lands in `flat`.  With
    `consistency`, rows come in pairs of one window augmented twice, and the pair's
    cosine distance, so weighed, joins the loss."""
    flat.zero_()
    model.quant = quant
    head.m = margin
    e = model(torch.from_numpy(bank.windows(starts, T)))
    loss, acc = head(e, torch.from_numpy(labels))
    if consistency:
        loss = loss + consistency * (1.0 - torch.nn.functional.cosine_similarity(e[0::2], e[1::2])).mean()
    loss.backward()
    return loss.item(), acc.item()


def _bind_grads(params, flat):
    off = 0
    for p in params:
        n = p.numel()
        p.grad = flat[off:off + n].view_as(p)
        off += n


def _serve(conn, model, head, bank, T, params, flat, threads):
    for s in (signal.SIGINT, signal.SIGTERM):       # the parent decides when to stop
        signal.signal(s, signal.SIG_IGN)
    torch.set_num_threads(threads)
    _bind_grads(params, flat)
    while True:
        job = conn.recv()
        if job is None:
            break
        conn.send(_partial_gradient(model, head, bank, T, *job, flat))
    conn.close()


class GradWorkers:
    """Forward and backward of each batch split over `workers` processes (this
    one included), `threads` intra-op threads each.  The parameters live in
    shared memory, so the parent's optimiser step is what every worker sees
    next; gradients are averaged in worker order, so a run is reproducible."""

    def __init__(self, model, head, bank, T, workers=2, threads=1):
        self.model, self.head, self.bank, self.T = model, head, bank, T
        self.params = list(model.parameters()) + list(head.parameters())
        for p in self.params:
            p.data.share_memory_()
        total = sum(p.numel() for p in self.params)
        self.flat = [torch.zeros(total).share_memory_() for _ in range(workers)]
        torch.set_num_threads(threads)
        self.conns, self.procs = [], []
        ctx = multiprocessing.get_context("fork")
        for k in range(1, workers):
            parent, child = ctx.Pipe()
            p = ctx.Process(target=_serve, args=(child, model, head, bank, T, self.params, self.flat[k], threads),
                            daemon=True)
            p.start()
            child.close()
            self.conns.append(parent)
            self.procs.append(p)
        _bind_grads(self.params, self.flat[0])

    def step(self, starts, labels, quant, margin, consistency=0.0):
        """Gradients of the batch's mean loss into the parameters' .grad -> (loss, accuracy).
        With `consistency`, pairs must not straddle two workers' shares."""
        parts = np.array_split(np.arange(len(starts)), len(self.flat))
        if consistency and any(len(p) % 2 for p in parts):
            raise ValueError("a batch of pairs must split into even shares")
        for conn, idx in zip(self.conns, parts[1:]):
            conn.send((starts[idx], labels[idx], quant, margin, consistency))
        results = [_partial_gradient(self.model, self.head, self.bank, self.T, starts[parts[0]],
                                     labels[parts[0]], quant, margin, consistency, self.flat[0])]
        results += [conn.recv() for conn in self.conns]
        self.model.quant = quant
        self.head.m = margin
        n = len(starts)
        g = self.flat[0].mul_(len(parts[0]) / n)
        for k in range(1, len(self.flat)):
            g.add_(self.flat[k], alpha=len(parts[k]) / n)
        loss = sum(r[0] * len(p) for r, p in zip(results, parts)) / n
        acc = sum(r[1] * len(p) for r, p in zip(results, parts)) / n
        return loss, acc

    def optimise(self, opt, starts, labels, quant, margin, consistency=0.0, max_norm=5.0):
        """One training step: gradients, clipped network gradient norm, optimiser step,
        int8-stored weights kept representable -> (loss, accuracy)."""
        loss, acc = self.step(starts, labels, quant, margin, consistency)
        torch.nn.utils.clip_grad_norm_(self.model.parameters(), max_norm)
        opt.step()
        kxtorch.clip_(self.model)
        return loss, acc

    def close(self):
        for conn in self.conns:
            try:
                conn.send(None)
            except (BrokenPipeError, OSError):
                pass
        for p in self.procs:
            p.join(timeout=10)
            if p.is_alive():
                p.terminate()
        self.conns, self.procs = [], []


# ---------------------------------------------------------------- checkpoints

def save_checkpoint(path, state):
    """Written beside and renamed, so a stop during the write keeps the last one."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = path + ".part"
    torch.save(state, tmp)
    os.replace(tmp, path)
