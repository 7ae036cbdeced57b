#!/usr/bin/python3
"""Two evaluations side by side, per band and source (markdown), with every
source where the second is worse marked.

    /usr/bin/python3 training/compare_eval.py OLD/results.json NEW/results.json [--slack 0.005]
"""
import argparse
import json
import sys


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--slack", type=float, default=0.005, help="EER difference still counted as equal")
    a = ap.parse_args()
    lines, worse = rows(json.load(open(a.old)), json.load(open(a.new)), a.slack)
    print("\n".join(lines))
    print("\nworse: " + (", ".join("%s/%s" % w for w in worse) if worse else "none"))
    return 1 if worse else 0


if __name__ == "__main__":
    sys.exit(main())
