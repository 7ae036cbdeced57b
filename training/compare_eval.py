#!/usr/bin/python3
"""Two evaluations side by side, per band and source (markdown), with every
source where the second is worse marked; then, where both runs left their trials.json,
the fair comparison: every trial, a segment without a window as no match, with a
bootstrap over the test speakers of the difference in EER.

    /usr/bin/python3 training/compare_eval.py OLD/results.json NEW/results.json [--slack 0.005]
        [--draws 200]
"""
import argparse
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from evaluate import eer  # noqa: E402


def pct(v):
    return "%.1f" % (100 * v) if v is not None else "-"


def rows(old, new, slack):
    """-> (markdown lines, sources where new's EER exceeds old's by more than slack)."""
    out, worse = [], []
    for band in ("wide-band", "telephone-band"):
        if band not in old or band not in new:
            continue
        out += ["", "%s: EER %% / minDCF / FRR %% / FAR %% at 0.5" % band, "",
                "| source | EER old | EER new | minDCF old | minDCF new | FRR old | FRR new | FAR old | FAR new |",
                "|---|---|---|---|---|---|---|---|---|"]
        srcs = sorted(set(old[band]["by_source"]) | set(new[band]["by_source"]))
        for src in srcs + ["all"]:
            o = old[band] if src == "all" else old[band]["by_source"].get(src, {})
            n = new[band] if src == "all" else new[band]["by_source"].get(src, {})
            flag = ""
            if "eer" in o and "eer" in n and n["eer"] > o["eer"] + slack:
                flag = " (worse)"
                worse.append((band, src))
            out.append("| %s%s | %s | %s | %.3f | %.3f | %s | %s | %s | %s |" % (
                src, flag, pct(o.get("eer")), pct(n.get("eer")), o.get("min_dcf", float("nan")),
                n.get("min_dcf", float("nan")), pct(o.get("frr_at_half")), pct(n.get("frr_at_half")),
                pct(o.get("far_at_half")), pct(n.get("far_at_half"))))
        out.append("identification %s %% -> %s %%; segments without a window %d -> %d" % (
            pct(old[band]["identification"]), pct(new[band]["identification"]),
            old[band]["segments_without_window"], new[band]["segments_without_window"]))
    for key in ("detector", "detector_sample2", "detector_sparse_words"):
        if key in old and key in new:
            o, n = old[key], new[key]
            extra = ""
            if "no_window_at_0.5" in o:
                extra = ", segments without a window at 0.5: %s %% -> %s %%" % (
                    pct(o["no_window_at_0.5"]), pct(n["no_window_at_0.5"]))
            out.append("%s ROC-AUC %.3f -> %.3f%s" % (key, o["auc"], n["auc"], extra))
    return out, worse


def fair_eer(r, weights):
    """EER in % of trials r (arrays score, target), each repeated weights times."""
    tgt = np.repeat(r["score"][r["target"]], weights[r["target"]])
    non = np.repeat(r["score"][~r["target"]], weights[~r["target"]])
    return 100 * eer(tgt, non)[0] if len(tgt) and len(non) else None


def bootstrap(old, new, draws=200, seed=7):
    """Fair EER old and new per band and source, and the 5-95 % range and the share of
    draws with new worse of their difference over test speakers drawn with replacement
    (both runs on the same draws).  old/new: trials.json contents."""
    out = []
    for band in ("wide-band", "telephone-band"):
        if band not in old or band not in new:
            continue
        out += ["", "%s, fair: EER %% with a bootstrap over the test speakers (%d draws)" % (band, draws), "",
                "| source | speakers | EER old | EER new | 90 % interval of new − old | draws new worse |",
                "|---|---|---|---|---|---|"]
        runs = [{k: np.asarray(v) for k, v in r[band].items()} for r in (old, new)]
        for src in sorted(set(runs[0]["source"]) | set(runs[1]["source"])) + ["all"]:
            sel = [r if src == "all" else {k: v[r["source"] == src] for k, v in r.items()} for r in runs]
            speakers = sorted(set(sel[0]["speaker"]) | set(sel[1]["speaker"]))
            index = {s: i for i, s in enumerate(speakers)}
            at = [np.array([index[s] for s in r["speaker"]], int) for r in sel]
            base = [fair_eer(r, np.ones(len(r["score"]), int)) for r in sel]
            if None in base:
                continue
            rng = np.random.default_rng(seed)
            diff = []
            for _ in range(draws):
                count = np.bincount(rng.integers(0, len(speakers), len(speakers)), minlength=len(speakers))
                e = [fair_eer(r, count[i]) for r, i in zip(sel, at)]
                if None not in e:
                    diff.append(e[1] - e[0])
            diff = np.array(diff)
            out.append("| %s | %d | %.1f | %.1f | %+.1f … %+.1f | %d %% |" % (
                src, len(speakers), base[0], base[1], np.percentile(diff, 5), np.percentile(diff, 95),
                round(100 * np.mean(diff > 1e-9))))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--slack", type=float, default=0.005, help="EER difference still counted as equal")
    ap.add_argument("--draws", type=int, default=200, help="bootstrap draws of the fair comparison")
    a = ap.parse_args()
    lines, worse = rows(json.load(open(a.old)), json.load(open(a.new)), a.slack)
    print("\n".join(lines))
    trials = [os.path.join(os.path.dirname(p), "trials.json") for p in (a.old, a.new)]
    if all(os.path.exists(p) for p in trials):
        print("\n".join(bootstrap(*(json.load(open(p)) for p in trials), draws=a.draws)))
    print("\nworse: " + (", ".join("%s/%s" % w for w in worse) if worse else "none"))
    return 1 if worse else 0


if __name__ == "__main__":
    sys.exit(main())
