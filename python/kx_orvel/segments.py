"""Who spoke when: a window slid over a recording, each position scored against every
profile and labelled, equal neighbours joined into segments (as `kx-orvel timeline`)."""

import os
from dataclasses import dataclass
from typing import List, Optional

import numpy as np

UNKNOWN = "unknown"
NO_SPEECH = "no speech"


@dataclass
class Segment:
    start: float            # seconds
    end: float
    label: str              # a profile's name, UNKNOWN or NO_SPEECH
    score: Optional[float]  # mean best score of its windows; None without speech


def _samples(seconds, rate):
    # The tool reads the option as float32 and multiplies in float32.
    x = float(np.float32(seconds) * np.float32(rate))
    return int(np.floor(x + 0.5))


def window_positions(samples, window, hop, rate=16000):
    """(start, length, from, to) of every window: one every `hop` samples, the last moved back
    to end with the audio; each stands for the stretch halfway to its neighbours' centres."""
    if samples <= window:
        window, starts = samples, [0]
    else:
        starts = list(range(0, samples - window + 1, hop))
        if starts[-1] + window < samples:
            starts.append(samples - window)
    centres = [(s + window / 2.0) / rate for s in starts]
    out = []
    for i, s in enumerate(starts):
        lo = 0.0 if i == 0 else (centres[i - 1] + centres[i]) / 2
        hi = samples / rate if i + 1 == len(starts) else (centres[i] + centres[i + 1]) / 2
        out.append((s, window, lo, hi))
    return out


def profile_names(paths):
    """Names from profile file names, as the tool gives them: a name shared by two files,
    or one that reads as a label ("unknown", "no speech"), becomes the path."""
    names = []
    for p in paths:
        name = os.path.basename(os.fspath(p))
        if name.endswith(".profile") and len(name) > len(".profile"):
            name = name[:-len(".profile")]
        names.append(name)
    return [os.fspath(p) if n in (UNKNOWN, NO_SPEECH) or names.count(n) > 1 else n
            for p, n in zip(paths, names)]


def timeline(pcm, profiles, recognizer=None, window=3.0, hop=1.0, threshold=0.5, model_path=None,
             device="best", voice_threshold=0.5) -> List[Segment]:
    """Segments of `pcm` (16 kHz mono, int16 or float in [-1, 1]).

    `profiles` maps names to profile arrays, or lists profile files (named like the tool
    names them). Pass a Recognizer to reuse it; otherwise one is made from model_path,
    device and voice_threshold for this call.
    """
    from . import Recognizer, _pcm, load_profile, sample_rate

    if isinstance(profiles, dict):
        names, arrays = list(profiles), list(profiles.values())
    else:
        paths = list(profiles)
        names, arrays = profile_names(paths), [load_profile(p) for p in paths]
    if not arrays:
        raise ValueError("at least one profile is needed")
    rate = sample_rate()
    window_samples = _samples(window, rate)
    hop_samples = max(1, _samples(hop, rate))
    if hop_samples > window_samples:
        raise ValueError("hop must not be longer than the window (windows would leave gaps)")
    own = recognizer is None
    if own:
        recognizer = Recognizer(model_path, device=device, voice_threshold=voice_threshold)
    try:
        if window_samples < recognizer.min_audio_length_samples:
            raise ValueError(f"a window of {window} s is shorter than the "
                             f"{recognizer.min_audio_length_samples / rate:.2f} s the model needs")
        pcm = _pcm(pcm)
        segments = []
        count, previous = 0, None
        for start, length, lo, hi in window_positions(len(pcm), window_samples, hop_samples, rate):
            scores = recognizer.process(pcm[start:start + length], arrays)
            if scores is None:
                label, score = NO_SPEECH, 0.0
            else:
                best = int(np.argmax(scores))
                # Scores saturate at 1: a tie goes to the previous window's speaker.
                if previous is not None and scores[previous] == scores[best]:
                    best = previous
                score = float(scores[best])
                label = names[best] if score >= threshold else UNKNOWN
            previous = names.index(label) if label in names else None
            if segments and segments[-1].label == label:
                segments[-1].end = hi
                segments[-1].score += score
                count += 1
                continue
            if segments:
                segments[-1].score /= count
            segments.append(Segment(lo, hi, label, score))
            count = 1
        if segments:
            segments[-1].score /= count
        for s in segments:
            if s.label == NO_SPEECH:
                s.score = None
        return segments
    finally:
        if own:
            recognizer.close()


def plot(timelines, path, title=None):
    """Draws timelines ({file name: segments}) into an image file: one lane per speaker,
    one panel per file. Needs matplotlib (Debian: python3-matplotlib)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lanes = []
    for segments in timelines.values():
        for s in segments:
            if s.label != NO_SPEECH and s.label not in lanes:
                lanes.append(s.label)
    lanes = sorted(lanes, key=lambda name: (name == UNKNOWN, name))
    colours = plt.get_cmap("tab10")
    fig, axes = plt.subplots(len(timelines), 1, figsize=(10, 0.6 + 0.45 * max(1, len(lanes)) * len(timelines)),
                             squeeze=False)
    for ax, (name, segments) in zip(axes[:, 0], timelines.items()):
        for row, lane in enumerate(lanes):
            bars = [(s.start, s.end - s.start) for s in segments if s.label == lane]
            colour = "0.6" if lane == UNKNOWN else colours(row % 10)
            ax.broken_barh(bars, (row - 0.4, 0.8), facecolors=colour)
        ax.set_yticks(range(len(lanes)))
        ax.set_yticklabels(lanes)
        ax.set_ylim(-0.6, len(lanes) - 0.4)
        ax.invert_yaxis()
        ax.set_xlim(0, max((s.end for s in segments), default=1.0))
        ax.set_title(name, fontsize=9, loc="left")
        ax.grid(axis="x", alpha=0.3)
    axes[-1, 0].set_xlabel("seconds")
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
