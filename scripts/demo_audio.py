#!/usr/bin/python3
"""Real recorded speech for the demo, and its score table.

    demo_audio.py fetch WORKDIR     downloads flight-of-the-amazon-queen with apt-get,
                                    writes enrollment and test utterances (MP3) and
                                    WORKDIR/manifest.json
    demo_audio.py table WORKDIR RESULTS.json THRESHOLD
                                    prints the score table of `kx-orvel recognize --json`

The game's dialogue lines are stored in queen.1c: a "QTBL" table of 12-byte names
with big-endian offset and size entries, each line a plain MP3 stream. Lines named
TTxxxxPn.SB are spoken by the talk partner of talk file TT. Only talk partners that
the default model's training holds out are used here.
"""

import glob
import json
import os
import re
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PACKAGE = "flight-of-the-amazon-queen"

ENROLLED = ["08", "33", "53", "06"]   # talk partners to enroll
STRANGERS = ["37", "10", "64"]        # talk partners never enrolled
ENROLL_BYTES = 40000                   # about 20 s of the game's 16 kbit/s MP3
TEST_UTTERANCES = 3
TEST_BYTES = 9000                      # about 4.5 s per test utterance


def find_deb(work):
    for pattern in (os.path.join(work, "debs", PACKAGE + "_*.deb"),
                    os.path.join(ROOT, "training", "data", "debs", PACKAGE + "_*.deb")):
        found = sorted(glob.glob(pattern))
        if found:
            return found[-1]
    os.makedirs(os.path.join(work, "debs"), exist_ok=True)
    print(f"downloading {PACKAGE} (35 MB) with apt-get download", flush=True)
    subprocess.run(["apt-get", "download", PACKAGE], cwd=os.path.join(work, "debs"), check=True)
    return sorted(glob.glob(os.path.join(work, "debs", PACKAGE + "_*.deb")))[-1]


def read_lines(queen):
    data = open(queen, "rb").read()
    if data[:4] != b"QTBL":
        sys.exit(f"{queen}: not a QTBL resource file")
    count = struct.unpack(">H", data[13:15])[0]
    lines = {}
    at = 15
    for _ in range(count):
        name = data[at:at + 12].split(b"\0")[0].decode("latin-1")
        offset, size = struct.unpack(">II", data[at + 13:at + 21])
        at += 21
        m = re.match(r"^(\d\d)[0-9A-F]{4}P\d\.SB$", name)
        if m:
            lines.setdefault(m.group(1), []).append((name, data[offset:offset + size]))
    for clips in lines.values():
        clips.sort()
    return lines


def take(clips, limit):
    """Consecutive clips until about `limit` bytes of MP3."""
    out = []
    while clips and sum(len(c) for _, c in out) < limit:
        out.append(clips.pop(0))
    return out


def fetch(work):
    work = os.path.abspath(work)
    manifest_path = os.path.join(work, "manifest.json")
    if os.path.exists(manifest_path):
        return
    unpacked = os.path.join(work, "pkg")
    if not glob.glob(os.path.join(unpacked, "**", "queen.1c"), recursive=True):
        deb = find_deb(work)    # may be a copy fetched before, outside `work`
        os.makedirs(unpacked, exist_ok=True)
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    queen = glob.glob(os.path.join(unpacked, "**", "queen.1c"), recursive=True)[0]
    lines = read_lines(queen)

    audio = os.path.join(work, "audio")
    shutil.rmtree(audio, ignore_errors=True)
    manifest = {"enrolled": {}, "tests": []}
    for partner in ENROLLED + STRANGERS:
        speaker = f"speaker{partner}"
        clips = list(lines[partner])
        if partner in ENROLLED:
            files = []
            for i, (name, mp3) in enumerate(take(clips, ENROLL_BYTES)):
                path = os.path.join(audio, "enroll", speaker, name[:-3] + ".mp3")
                os.makedirs(os.path.dirname(path), exist_ok=True)
                open(path, "wb").write(mp3)
                files.append(path)
            manifest["enrolled"][speaker] = files
        for n in range(TEST_UTTERANCES):
            group = take(clips, TEST_BYTES)
            if not group:
                break
            # MP3 frames concatenate into one valid stream.
            path = os.path.join(audio, "test", f"{speaker}-{n + 1}.mp3")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "wb").write(b"".join(mp3 for _, mp3 in group))
            manifest["tests"].append({"file": path, "speaker": speaker})
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=1)


def table(work, results_path, threshold):
    manifest = json.load(open(os.path.join(work, "manifest.json")))
    truth = {os.path.basename(t["file"]): t["speaker"] for t in manifest["tests"]}
    speakers = sorted(manifest["enrolled"])
    results = json.load(open(results_path))["results"]
    width = max(len(s) for s in speakers) + 2
    print(f"{'test utterance':<22}{'length':>7}  " + "".join(f"{s:>{width}}" for s in speakers) + "   decision")
    correct = wrong = accepted_strangers = strangers = rejected_targets = targets = 0
    for r in results:
        name = os.path.basename(r["file"])
        label = truth.get(name, "?")
        if "error" in r:
            print(f"{name:<22}  error: {r['error']}")
            continue
        if not r["speech"]:
            print(f"{name:<22}{r['seconds']:>6.1f}s  no speech found")
            continue
        scores = {s["profile"]: s["score"] for s in r["scores"]}
        best = r["best"]
        cells = "".join(f"{scores[s]:>{width}.2f}" if s != best else f"{'*%.2f' % scores[s]:>{width}}"
                        for s in speakers)
        decision = best or "nobody"
        enrolled = label in manifest["enrolled"]
        if enrolled:
            targets += 1
            rejected_targets += scores[label] < threshold
            ok = best == label
        else:
            strangers += 1
            accepted_strangers += best is not None
            ok = best is None
        correct += ok
        wrong += not ok
        print(f"{name:<22}{r['seconds']:>6.1f}s  {cells}   {decision}{'' if ok else '  (wrong)'}")
    print()
    print(f"threshold {threshold}: {correct} of {correct + wrong} utterances decided correctly; "
          f"{rejected_targets} of {targets} enrolled-speaker utterances scored below the threshold; "
          f"{accepted_strangers} of {strangers} utterances of speakers never enrolled were accepted.")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "fetch":
        fetch(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "table":
        table(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
