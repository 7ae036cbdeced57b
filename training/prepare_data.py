#!/usr/bin/python3
"""Build the training corpus: 16 kHz mono speaker-labelled speech + non-speech.

    /usr/bin/python3 training/prepare_data.py [--out training/data/corpus]
        [--external ROOT ...] [--no-debian] [--per-speaker N]

Debian sources (downloaded with `apt-get download`, unpacked with dpkg -x):
real voices from tuxpaint-stamps-default, ktuberling-data, klettres-data,
flight-of-the-amazon-queen, drascula, hedgewars-data voice packs; espeak-ng voices for
synthetic bulk; music/effects from hedgewars-data, freedroidrpg-data,
pingus-data, openarena-data plus synthetic noise for the detector.
Read speech from --librispeech (default: the LibriSpeech subset beside the
checkout, read in place) and the crowd-sourced and read speech of --shared
(so762, sctest, arsc, cven13, cvfa, cvtw; Ogg Opus, read in place) are split
by speaker like the packages.  An external
corpus laid out ROOT/<speaker>/**/*.wav|flac is added to training as is.

Output: OUT/speech/<speaker>/<n>.wav, OUT/noise/<split>/<n>.wav and
OUT/speakers.json (speaker -> split, group, source).  Speakers of one group
(e.g. one language across packages, which may share a narrator) always land
in the same split.
"""
import argparse
import glob
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from scipy.io import wavfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kxdata  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
PKG = os.path.join(DATA, "pkg")

SPEECH_PACKAGES = ["tuxpaint-stamps-default", "ktuberling-data", "klettres-data",
                   "flight-of-the-amazon-queen", "hedgewars-data", "drascula", "espeak-ng-data"]
NOISE_PACKAGES = ["hedgewars-data", "freedroidrpg-data", "pingus-data", "openarena-data"]

# held-out languages (narrators of one language in any package go together)
TEST_LANGS = {"fr", "ru", "da", "el", "sl", "lt", "hu", "cs"}
VALID_LANGS = {"ca", "gl", "uk"}
# held-out voices of the adventure game, by talk file
QUEEN_TEST_FRACTION = 0.3
DRASCULA_TEST_FRACTION = 0.3
# about 50 of the 251 read-speech speakers for test, 25 for validation
LIBRI_FRACTIONS = (0.2, 0.1)
SHARED = os.path.join(HERE, "..", "..", "shared", "data")
LIBRISPEECH = os.path.join(SHARED, "librispeech-tc100")
# crowd-sourced and read speech stored SOURCE/<speaker>/<clip>.opus beside the checkout
SHARED_SOURCES = ("so762", "sctest", "arsc", "cven13", "cvfa", "cvtw")
SHARED_FRACTIONS = (0.2, 0.1)


def fetch(pkgs, data=DATA):
    """apt-get download each package into data/debs and unpack it to data/pkg/<name>."""
    debdir = os.path.join(data, "debs")
    os.makedirs(debdir, exist_ok=True)
    for p in pkgs:
        dest = os.path.join(data, "pkg", p)
        if os.path.isdir(dest):
            continue
        debs = glob.glob(os.path.join(debdir, p + "_*.deb"))
        if not debs:
            subprocess.run(["apt-get", "download", p], cwd=debdir, check=True)
            debs = glob.glob(os.path.join(debdir, p + "_*.deb"))
        # unpack beside the target and rename, so an interrupted run is redone
        tmp = dest + ".part"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        subprocess.run(["dpkg", "-x", debs[0], tmp], check=True)
        os.rename(tmp, dest)


def decode(src, rate=16000, data=None, raw=()):
    """Any audio file (or bytes) -> int16 mono at rate, via ffmpeg; raw: input format options."""
    cmd = ["ffmpeg", "-nostdin", "-v", "error"] + list(raw) + ["-i", "pipe:0" if data is not None else src,
           "-ac", "1", "-ar", str(rate), "-f", "s16le", "pipe:1"]
    r = subprocess.run(cmd, input=data, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return np.frombuffer(r.stdout, np.int16).copy()


def write(path, pcm):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    wavfile.write(path, 16000, np.asarray(pcm, np.int16))


def trim(pcm, thr=0.01):
    """Cut leading/trailing near-silence."""
    if len(pcm) == 0:
        return pcm
    a = np.abs(pcm.astype(np.float32)) / 32768.0
    idx = np.nonzero(a > thr)[0]
    if len(idx) == 0:
        return pcm[:0]
    return pcm[max(0, idx[0] - 1600):idx[-1] + 1600]


def stable_rand(key):
    return int(hashlib.md5(key.encode()).hexdigest()[:8], 16) / 2 ** 32


# ---------------------------------------------------------------- speech sources

def src_tuxpaint(per):
    root = os.path.join(PKG, "tuxpaint-stamps-default")
    by_lang = {}
    for f in glob.glob(root + "/**/*_desc_*.ogg", recursive=True):
        m = re.search(r"_desc_([a-z]+)\.ogg$", f)
        if m:
            by_lang.setdefault(m.group(1), []).append(f)
    for lang, files in sorted(by_lang.items()):
        if len(files) < 20:
            continue
        files.sort()
        random.Random(lang).shuffle(files)
        yield "tux_" + lang, lang, "tuxpaint-stamps-default", [("file", f) for f in files[:per]]


def src_lang_dirs(pkg, base, prefix, per):
    root = os.path.join(PKG, pkg, base)
    for d in sorted(glob.glob(root + "/*")):
        if not os.path.isdir(d):
            continue
        lang = os.path.basename(d).split("@")[0].split("_")[0]
        if "@" in os.path.basename(d):
            continue   # script variants repeat the same recordings
        files = sorted(f for f in glob.glob(d + "/**/*", recursive=True)
                       if f.endswith((".ogg", ".wav", ".mp3")))
        if len(files) < 8:
            continue
        random.Random(d).shuffle(files)
        yield prefix + os.path.basename(d), lang, pkg, [("file", f) for f in files[:per]]


def src_queen(per):
    path = glob.glob(os.path.join(PKG, "flight-of-the-amazon-queen") + "/**/queen.1c", recursive=True)
    if not path:
        return
    d = open(path[0], "rb").read()
    if d[:4] != b"QTBL":
        return
    n = struct.unpack(">H", d[13:15])[0]
    p = 15
    talks = {}
    for _ in range(n):
        name = d[p:p + 12].split(b"\0")[0].decode("latin-1")
        off, size = struct.unpack(">II", d[p + 13:p + 21])
        p += 21
        if not name.endswith(".SB"):
            continue
        stem = name[:-3]
        m = re.match(r"^(\d\d)\d{4}([JP])\d$", stem)
        if m:   # dialogue line: J = the hero, P = the talk partner of this file
            spk = "queen_joe" if m.group(2) == "J" else "queen_t" + m.group(1)
        elif stem.startswith("JOE"):
            spk = "queen_joe"
        else:
            continue
        talks.setdefault(spk, []).append(("bytes", d[off + 0:off + size]))
    for spk, items in sorted(talks.items()):
        if len(items) < 15:
            continue
        random.Random(spk).shuffle(items)
        yield spk, spk, "flight-of-the-amazon-queen", items[:per]


def src_hedgewars(per):
    root = glob.glob(os.path.join(PKG, "hedgewars-data") + "/**/Sounds/voices", recursive=True)
    if not root:
        return
    for d in sorted(glob.glob(root[0] + "/*")):
        files = sorted(glob.glob(d + "/*.ogg"))
        if len(files) < 10:
            continue
        yield "hw_" + os.path.basename(d), "hw_" + os.path.basename(d), "hedgewars-data", \
            [("file", f) for f in files[:per]]


def src_drascula(per):
    """Raw unsigned 8-bit 11025 Hz lines, one character per file-name prefix (none: the hero)."""
    root = glob.glob(os.path.join(PKG, "drascula") + "/**/drascula/en", recursive=True)
    if not root:
        return
    chars = {}
    for f in sorted(glob.glob(root[0] + "/*.ALS")):
        m = re.match(r"^([A-Z]*)\d+\.ALS$", os.path.basename(f))
        if m:
            chars.setdefault(m.group(1) or "hero", []).append(("u8", f))
    for ch, items in sorted(chars.items()):
        if len(items) < 10:
            continue
        random.Random(ch).shuffle(items)
        yield "dras_" + ch.lower(), "dras_" + ch.lower(), "drascula", items[:per]


def src_librispeech(root, per):
    """ROOT/<speaker>/**/*.flac read speech; split_of holds out a fixed share of its speakers."""
    for d in sorted(glob.glob(os.path.join(root, "*"))):
        files = sorted(glob.glob(d + "/**/*.flac", recursive=True))
        if os.path.isdir(d) and files:
            spk = "libri_" + os.path.basename(d)
            yield spk, spk, "librispeech", [("file", f) for f in files[:per]]


def src_shared(root, per):
    """ROOT/<speaker>/<clip>.opus of one shared source; its folder name names the source."""
    source = os.path.basename(os.path.normpath(root))
    for d in sorted(glob.glob(os.path.join(root, source + "_*"))):
        files = sorted(glob.glob(os.path.join(d, "*.opus")))
        if os.path.isdir(d) and files:
            spk = os.path.basename(d)
            random.Random(spk).shuffle(files)
            yield spk, spk, source, [("file", f) for f in files[:per]]


SENTENCES = [
    "The quick brown fox jumps over the lazy dog near the river bank.",
    "Please call Stella and ask her to bring these things with her from the store.",
    "Six spoons of fresh snow peas, five thick slabs of blue cheese, and maybe a snack.",
    "We also need a small plastic snake and a big toy frog for the kids.",
    "She can scoop these things into three red bags, and we will go meet her on Wednesday.",
    "A rainbow is a division of white light into many beautiful colors.",
    "These take the shape of a long round arch, with its path high above.",
    "When the sunlight strikes raindrops in the air, they act as a prism.",
    "My phone number is four five six, seven eight nine, zero one two three.",
    "Open the window before the meeting starts, it is getting warm in here.",
    "Turn left at the second traffic light and the station is on your right.",
    "The weather tomorrow will be cloudy with a chance of light rain in the evening.",
]


def src_espeak(count):
    if not shutil.which("espeak-ng"):
        return
    voices = ["en", "en-us", "en-gb-x-rp", "en-029", "en-gb-scotland", "de", "fr", "es", "it",
              "nl", "pl", "pt", "sv", "cs", "fi"]
    variants = ["m1", "m2", "m3", "m4", "m5", "m6", "m7", "f1", "f2", "f3", "f4", "f5",
                "klatt", "klatt2", "klatt3", "croak", "whisper"]
    rng = random.Random(7)
    for i in range(count):
        v = voices[i % len(voices)]
        var = variants[(i * 7) % len(variants)]
        pitch = rng.randint(20, 80)
        speed = rng.randint(130, 190)
        items = [("espeak", (v + "+" + var, pitch, speed, s)) for s in SENTENCES]
        yield "tts_%03d" % i, "tts", "espeak-ng", items


RAW_U8 = ("-f", "u8", "-ar", "11025", "-ac", "1")


def decode_many(paths, raw=(), rate=16000):
    """Files -> int16 mono arrays, many per ffmpeg run: its start-up costs more
    than decoding a short clip."""
    if len(paths) < 2:
        return [decode(p, rate, raw=raw) for p in paths]
    with tempfile.TemporaryDirectory() as d:
        cmd = ["ffmpeg", "-nostdin", "-v", "error"]
        for p in paths:
            cmd += list(raw) + ["-i", p]
        for i in range(len(paths)):
            cmd += ["-map", "%d:a" % i, "-ac", "1", "-ar", str(rate), "-f", "s16le", os.path.join(d, "%d.raw" % i)]
        if subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
            return [decode(p, rate, raw=raw) for p in paths]   # one bad file fails the run
        return [np.fromfile(os.path.join(d, "%d.raw" % i), np.int16) for i in range(len(paths))]


def render(item):
    """One item that is not a plain file -> int16 mono 16 kHz."""
    kind, arg = item
    if kind == "bytes":
        return decode(None, data=arg)
    voice, pitch, speed, text = arg
    with tempfile.NamedTemporaryFile(suffix=".wav") as tf:
        subprocess.run(["espeak-ng", "-v", voice, "-p", str(pitch), "-s", str(speed),
                        "-w", tf.name, text], stderr=subprocess.DEVNULL, check=False)
        return kxdata.read_wav(tf.name) if os.path.getsize(tf.name) > 44 else np.zeros(0, np.int16)


def render_all(items, pool, batch=24):
    """Source items -> trimmed int16 clips (files decoded in batches)."""
    jobs = [(render, it) for it in items if it[0] not in ("file", "u8")]
    for kind, raw in (("file", ()), ("u8", RAW_U8)):
        paths = [arg for k, arg in items if k == kind]
        jobs += [(lambda ps, raw=raw: decode_many(ps, raw), paths[i:i + batch])
                 for i in range(0, len(paths), batch)]
    out = []
    for r in pool.map(lambda job: job[0](job[1]), jobs):
        out += r if isinstance(r, list) else [r]
    return [trim(c) for c in out]


def split_of(group, source):
    if source == "espeak-ng" or source == "hedgewars-data":
        return "train"
    held = {"flight-of-the-amazon-queen": (QUEEN_TEST_FRACTION, 0.1), "drascula": (DRASCULA_TEST_FRACTION, 0.15),
            "librispeech": LIBRI_FRACTIONS}
    held.update({src: SHARED_FRACTIONS for src in SHARED_SOURCES})
    if source in held:
        if group in ("queen_joe", "dras_hero"):   # heroes speak most lines: training only
            return "train"
        test, valid = held[source]
        r = stable_rand(group)
        return "test" if r < test else ("valid" if r < test + valid else "train")
    if group in TEST_LANGS:
        return "test"
    if group in VALID_LANGS:
        return "valid"
    return "train"


# ---------------------------------------------------------------- noise sources

VOICE_HINT = re.compile(r"voice|vo_|speech|talk|comment|taunt|announc|feedback|player|death|pain|"
                        r"sing|vocal|/voc", re.I)


def noise_files():
    out = {"train": [], "test": []}
    for pkg, split in [("hedgewars-data", "train"), ("freedroidrpg-data", "test"),
                       ("openarena-data", "train"), ("pingus-data", "test")]:
        root = os.path.join(PKG, pkg)
        for f in sorted(glob.glob(root + "/**/*", recursive=True)):
            if not f.endswith((".ogg", ".wav")) or VOICE_HINT.search(f):
                continue
            out[split].append(f)
    return out


def synth_noise(rng, n):
    kind = int(rng.integers(0, 3))
    w = rng.standard_normal(n).astype(np.float32)
    if kind == 1:       # pink-ish
        w = np.cumsum(w)
        w -= np.convolve(w, np.ones(400) / 400, mode="same")
    elif kind == 2:     # brown hum + harmonics
        t = np.arange(n) / 16000.0
        f0 = rng.choice([50.0, 60.0, 100.0, 120.0])
        w = sum(np.sin(2 * np.pi * f0 * k * t + rng.uniform(0, 6)) / k for k in range(1, 8)) + 0.1 * w
    w = w / (np.abs(w).max() + 1e-9)
    return (w * 12000).astype(np.int16)


def write_noise(out, pool):
    """OUT/noise/<split>/ per split; a split is written under <split>.part and renamed
    when complete, so that an interrupted run redoes it instead of taking it as done."""
    rng = np.random.default_rng(3)
    for split, files in noise_files().items():
        final = os.path.join(out, "noise", split)
        if os.path.isdir(final):
            continue
        part = final + ".part"
        shutil.rmtree(part, ignore_errors=True)
        clips = [c for r in pool.map(decode_many, [files[i:i + 24] for i in range(0, len(files), 24)])
                 for c in r]
        n = 0
        for c in clips:
            c = trim(c, 0.002)
            if len(c) >= 8000:
                write(os.path.join(part, "%04d.wav" % n), c[:16000 * 60])
                n += 1
        for _ in range(20):
            write(os.path.join(part, "%04d.wav" % n), synth_noise(rng, 16000 * 10))
            n += 1
        os.rename(part, final)
        print("noise %-5s %d files" % (split, n), flush=True)


# ---------------------------------------------------------------- external corpus

def src_external(root, per):
    for d in sorted(glob.glob(os.path.join(root, "*"))):
        if not os.path.isdir(d):
            continue
        files = sorted(glob.glob(d + "/**/*.wav", recursive=True) + glob.glob(d + "/**/*.flac", recursive=True))
        if files:
            spk = "ext_" + os.path.basename(root.rstrip("/")) + "_" + os.path.basename(d)
            yield spk, spk, "external", [("file", f) for f in files[:per]]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", default=os.path.join(DATA, "corpus"))
    ap.add_argument("--external", nargs="*", default=[])
    ap.add_argument("--librispeech", default=LIBRISPEECH,
                    help="ROOT/<speaker>/*.flac read speech (CC BY 4.0), split into train/valid/test; '' skips it")
    ap.add_argument("--shared", default=SHARED,
                    help="folder holding the SOURCE/<speaker>/<clip>.opus sources (%s); '' skips them"
                    % ", ".join(SHARED_SOURCES))
    ap.add_argument("--no-debian", action="store_true")
    ap.add_argument("--per-speaker", type=int, default=120, help="max clips per speaker")
    ap.add_argument("--tts-speakers", type=int, default=40)
    ap.add_argument("--jobs", type=int, default=4, help="decoders at once (they mostly wait on process start)")
    a = ap.parse_args()

    sources = []
    if a.librispeech and os.path.isdir(a.librispeech):
        sources += list(src_librispeech(a.librispeech, a.per_speaker))
    for name in SHARED_SOURCES if a.shared else ():
        if os.path.isdir(os.path.join(a.shared, name)):
            sources += list(src_shared(os.path.join(a.shared, name), a.per_speaker))
    if not a.no_debian:
        fetch(sorted(set(SPEECH_PACKAGES + NOISE_PACKAGES) - {"espeak-ng-data"}))
        sources += list(src_drascula(a.per_speaker))
        sources += list(src_queen(a.per_speaker))
        sources += list(src_tuxpaint(a.per_speaker))
        sources += list(src_lang_dirs("ktuberling-data", "usr/share/ktuberling/sounds", "ktub_", a.per_speaker))
        sources += list(src_lang_dirs("klettres-data", "usr/share/klettres", "klet_", a.per_speaker))
        sources += list(src_hedgewars(a.per_speaker))
        sources += list(src_espeak(a.tts_speakers))
    for root in a.external:
        sources += list(src_external(root, 10 ** 6))

    meta_path = os.path.join(a.out, "speakers.json")
    meta = json.load(open(meta_path)) if os.path.exists(meta_path) else {}
    pool = ThreadPoolExecutor(a.jobs)
    for spk, group, source, items in sources:
        d = os.path.join(a.out, "speech", spk)
        if spk in meta and os.path.isdir(d):
            continue
        clips = [c for c in render_all(items, pool) if len(c) >= 4000]
        if not clips:
            continue
        for i, c in enumerate(clips):
            write(os.path.join(d, "%04d.wav" % i), c)
        split = "train" if source == "external" else split_of(group, source)
        secs = sum(len(c) for c in clips) / 16000.0
        meta[spk] = {"split": split, "group": group, "source": source, "clips": len(clips),
                     "seconds": round(secs, 1)}
        print("%-28s %-6s %4d clips %7.1f s" % (spk, split, len(clips), secs), flush=True)
        json.dump(meta, open(meta_path, "w"), indent=1, sort_keys=True)

    if not a.no_debian:
        write_noise(a.out, pool)
    tot = {}
    for v in meta.values():
        tot.setdefault(v["split"], [0, 0.0])
        tot[v["split"]][0] += 1
        tot[v["split"]][1] += v["seconds"]
    for k, (n, s) in sorted(tot.items()):
        print("%-6s %3d speakers %7.1f min" % (k, n, s / 60))


if __name__ == "__main__":
    sys.exit(main())
