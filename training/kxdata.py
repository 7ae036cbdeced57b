"""Corpus loading, mixing and augmentation shared by the trainers."""
import glob
import json
import os

import numpy as np
from scipy.io import wavfile
from scipy import signal

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "data", "corpus")


def read_wav(path):
    sr, x = wavfile.read(path)
    if x.ndim > 1:
        x = x.mean(axis=1)
    if x.dtype != np.int16:
        x = np.clip(x * (32767.0 if x.dtype.kind == "f" else 1.0), -32768, 32767).astype(np.int16)
    if sr != 16000:
        x = signal.resample_poly(x.astype(np.float32), 16000, sr).astype(np.int16)
    return x


def load_speakers(corpus=CORPUS, splits=("train",), sources=None, max_clips=None):
    """-> {speaker: [int16 clips]} for the given splits."""
    meta = json.load(open(os.path.join(corpus, "speakers.json")))
    out = {}
    for spk, m in sorted(meta.items()):
        if m["split"] not in splits or (sources and m["source"] not in sources):
            continue
        files = sorted(glob.glob(os.path.join(corpus, "speech", spk, "*.wav")))[:max_clips]
        clips = [read_wav(f) for f in files]
        if clips:
            out[spk] = clips
    return out, meta


def load_noise(corpus=CORPUS, split="train"):
    return [read_wav(f) for f in sorted(glob.glob(os.path.join(corpus, "noise", split, "*.wav")))]


def frame_labels(clean, frame=512, rel_db=-35.0, abs_db=-55.0):
    """Speech/non-speech per 512-sample frame of clean speech, by energy."""
    n = len(clean) // frame
    x = clean[:n * frame].astype(np.float64).reshape(n, frame) / 32768.0
    e = 10 * np.log10((x ** 2).mean(axis=1) + 1e-12)
    if n == 0:
        return np.zeros(0, np.float32)
    top = np.percentile(e, 95)
    lab = (e > top + rel_db) & (e > abs_db)
    # bridge one-frame gaps and extend by one frame on both sides
    lab = lab.astype(np.float32)
    d = np.convolve(lab, np.ones(3), mode="same") > 0
    return d.astype(np.float32)


def speech_regions(lab, gap=10, hang=4):
    """Frame labels of words -> labels of speech stretches: pauses of up to `gap`
    frames between words count as speech, and `hang` frames on either side, so
    that short words with pauses still fill the windows that get embedded."""
    lab = np.asarray(lab) > 0.5
    out = lab.copy()
    idx = np.nonzero(lab)[0]
    for a, b in zip(idx[:-1], idx[1:]):
        if 1 < b - a <= gap + 1:
            out[a:b] = True
    grown = out.copy()
    for k in range(1, hang + 1):
        grown[k:] |= out[:-k]
        grown[:-k] |= out[k:]
    return grown.astype(np.float32)


def band_limit(x, rng, rate=16000):
    """Random low-pass between 3.4 and 8 kHz (telephone to wide band)."""
    cut = rng.choice([3400.0, 4000.0, 5500.0, 7000.0])
    sos = signal.butter(6, cut / (rate / 2), output="sos")
    y = signal.sosfilt(sos, x)
    if rng.random() < 0.5:   # telephone-style high-pass too
        sos = signal.butter(2, 300.0 / (rate / 2), btype="high", output="sos")
        y = signal.sosfilt(sos, y)
    return y


def telephone_channel(x, rng, rate=16000):
    """Band-pass of a telephone line: edges near 300 and 3400 Hz, a varying slope."""
    lo, hi = rng.uniform(250.0, 400.0), rng.uniform(3100.0, 3500.0)
    sos = signal.butter(int(rng.integers(3, 7)), [lo, hi], btype="band", fs=rate, output="sos")
    return signal.sosfilt(sos, x)


def reverb(x, rng, rate=16000):
    t60 = rng.uniform(0.15, 0.6)
    n = int(t60 * rate)
    ir = rng.standard_normal(n) * np.exp(-6.9 * np.arange(n) / n)
    ir[0] = 1.0 / rng.uniform(0.3, 1.0)
    y = signal.fftconvolve(x, ir)[:len(x)]
    return y * (np.abs(x).max() / (np.abs(y).max() + 1e-9))


def rms(x):
    return np.sqrt(np.mean(np.asarray(x, np.float64) ** 2) + 1e-12)


def noise_segment(noises, n, rng):
    src = noises[rng.integers(len(noises))].astype(np.float64)
    if len(src) < n:
        src = np.tile(src, n // len(src) + 1)
    o = rng.integers(0, len(src) - n + 1)
    return src[o:o + n]


def mix(speech, noises, rng, snr_range=(-5.0, 30.0), p_noise=0.85):
    """float speech -> (float mixture); noise at a random SNR."""
    if rng.random() > p_noise or not noises:
        return speech.copy()
    nz = noise_segment(noises, len(speech), rng)
    snr = rng.uniform(*snr_range)
    g = rms(speech) / (rms(nz) * 10 ** (snr / 20.0))
    return speech + g * nz


def to_int16(x, rng, level_db=None):
    """Scale to a random peak level and quantise."""
    if level_db is None:
        level_db = rng.uniform(-35.0, -3.0)
    peak = np.abs(x).max() + 1e-9
    y = x * (32767.0 * 10 ** (level_db / 20.0) / peak)
    return np.clip(np.round(y), -32768, 32767).astype(np.int16)


def speed_perturb(x, factor):
    """Resample-based speed change (pitch shifts with it)."""
    up, down = {0.9: (10, 9), 1.1: (10, 11), 0.95: (20, 19), 1.05: (20, 21)}[factor]
    return signal.resample_poly(np.asarray(x, np.float64), up, down)


CODECS = (("libopus", "ogg", ("12k", "16k", "24k", "32k")), ("libmp3lame", "mp3", ("32k", "48k", "64k")),
          ("libgsm", "gsm", (None,)))


def codec_round_trip(pcm, rng, rate=16000):
    """int16 -> int16 through a random lossy codec and bit rate (Opus, MP3, GSM at 8 kHz),
    so that no codec stays a trait of the sources that came compressed."""
    import subprocess
    enc, fmt, rates = CODECS[int(rng.integers(len(CODECS)))]
    br = rates[int(rng.integers(len(rates)))]
    args = ["-ar", "8000"] if enc == "libgsm" else []
    cmd = ["ffmpeg", "-nostdin", "-v", "error", "-f", "s16le", "-ar", str(rate), "-ac", "1", "-i", "pipe:0",
           "-c:a", enc] + (["-b:a", br] if br else []) + args + ["-f", fmt, "pipe:1"]
    coded = subprocess.run(cmd, input=np.asarray(pcm, np.int16).tobytes(), stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL).stdout
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", fmt, "-i", "pipe:0", "-ac", "1", "-ar", str(rate),
                        "-f", "s16le", "pipe:1"], input=coded, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    y = np.frombuffer(r.stdout, np.int16)
    if len(y) < len(pcm) // 2:
        return np.asarray(pcm, np.int16)     # codec unavailable: leave the audio as it was
    out = np.zeros(len(pcm), np.int16)
    out[:min(len(y), len(pcm))] = y[:len(pcm)]
    return out
