#!/usr/bin/python3
"""Training throughput of the shipped network shape: the former recipe against
the current trainer, float and quantisation-aware, in windows per second
(forward, backward and Adam step of whole batches).

    /usr/bin/python3 training/bench_train.py [--seconds 20] [--layouts]

The former recipe: step-by-step cells, batch 48, one process with two OpenMP
threads.  The current one: whole-sequence cells, batch 256 split over two
single-threaded worker processes.  --layouts also times other worker/thread
splits of the current path.  Each configuration runs in a fresh interpreter
on random features.  Run it on an otherwise idle machine; the last line is
`windows/s old=<a> new=<b> speedup=<b/a>` for the float phase.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

OLD = {"name": "former recipe", "workers": 1, "threads": 2, "batch": 48, "fast": False, "heap": False}
NEW = {"name": "current trainer", "workers": 2, "threads": 1, "batch": 256, "fast": True, "heap": True}
OTHER = [dict(NEW, name="one process, one thread", workers=1),
         dict(NEW, name="one process, two threads", workers=1, threads=2),
         dict(NEW, name="two workers, batch 128", batch=128),
         dict(NEW, name="two workers, batch 512", batch=512),
         dict(NEW, name="current, default malloc", heap=False),
         dict(OLD, name="former cells, batch 256", batch=256, threads=1)]


def measure(cfg, quant, seconds, hidden=(128, 128), classes=1000):
    """-> windows per second of full training steps under one configuration."""
    import numpy as np
    import torch
    import kxtorch
    import kxtrain
    torch.manual_seed(0)
    T = 96
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as d:
        feats = [[rng.standard_normal((T * 3, 40)).astype(np.float32)] for _ in range(classes)]
        bank = kxtrain.FeatureBank.write(os.path.join(d, "bank"), "bench", feats, [str(c) for c in range(classes)])
        if cfg["heap"]:
            kxtrain.keep_freed_memory()
        model = kxtorch.SpeakerNet(40, hidden, 128)
        model.fast = cfg["fast"]
        head = kxtorch.AAMSoftmax(128, classes)
        opt = torch.optim.Adam(list(model.parameters()) + list(head.parameters()), lr=1e-3)
        sampler = kxtrain.WindowSampler(bank, T, 0)
        workers = kxtrain.GradWorkers(model, head, bank, T, cfg["workers"], cfg["threads"])
        try:
            n, t0 = 0, None
            while t0 is None or time.time() - t0 < seconds:
                starts, labels = sampler.draw(cfg["batch"])
                workers.optimise(opt, starts, labels, quant, 0.2)
                if t0 is None:
                    t0 = time.time()   # the first step warms up
                else:
                    n += cfg["batch"]
            return n / (time.time() - t0)
        finally:
            workers.close()


def run_one(cfg, quant, seconds):
    env = dict(os.environ)
    if cfg["heap"]:     # the trainer's settings; the former recipe ran with the defaults
        env["OPENBLAS_NUM_THREADS"] = str(cfg["threads"])
    r = subprocess.run([sys.executable, os.path.abspath(__file__), "--one", json.dumps(cfg),
                        "--quant", str(int(quant)), "--seconds", str(seconds)],
                       capture_output=True, text=True, timeout=600, env=env)
    if r.returncode != 0:
        raise RuntimeError(r.stderr[-2000:])
    return float(r.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=20.0, help="timed per configuration and phase")
    ap.add_argument("--layouts", action="store_true", help="also time other worker/thread layouts")
    ap.add_argument("--one", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--quant", type=int, default=0, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.one:
        print(measure(json.loads(a.one), bool(a.quant), a.seconds))
        return
    cfgs = [OLD, NEW] + (OTHER if a.layouts else [])
    print("%-28s %8s %8s %6s %10s %10s" % ("path", "workers", "threads", "batch", "float", "quant-aware"))
    res = {}
    for cfg in cfgs:
        res[cfg["name"]] = [run_one(cfg, q, a.seconds) for q in (False, True)]
        print("%-28s %8d %8d %6d %10.1f %10.1f" % ((cfg["name"], cfg["workers"], cfg["threads"], cfg["batch"])
                                                    + tuple(res[cfg["name"]])), flush=True)
    old, new = res[OLD["name"]], res[NEW["name"]]
    print("quant-aware: old=%.1f new=%.1f speedup=%.2f" % (old[1], new[1], new[1] / old[1]))
    print("windows/s old=%.1f new=%.1f speedup=%.2f" % (old[0], new[0], new[0] / old[0]))


if __name__ == "__main__":
    main()
