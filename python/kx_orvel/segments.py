"""Who spoke when, decided over time (as `kx-orvel timeline`).

One pass of the library over the recording gives a speaker embedding every hop and the
detector's voice probability every frame. Each hop is scored against every profile by the
sum of the window embeddings within `window` seconds around it; the most likely sequence
of labels (the profiles, "unknown", "no speech") then follows from those scores with a
cost for every change of speaker and a shortest turn. Speech that belongs to no profile,
in stretches between the detector's pauses, is clustered by average linkage into
anonymous speakers (speaker_1, speaker_2, ...) and decided again with them. Turn changes
move to the detector's pauses nearby.

The decision runs in plain Python floats in the same order as the tool's C++, so both
give the same segments.
"""

import math
import os
from dataclasses import dataclass
from typing import List, Optional

import numpy as np

UNKNOWN = "unknown"
NO_SPEECH = "no speech"
ANONYMOUS = "speaker_%d"

RATE = 16000
FRAME = 512                 # samples per detector frame
HOP = 0.5                   # seconds between embedded windows
WINDOW = None               # seconds around a hop whose window embeddings are summed for its scores
                            # (None: the model's window; wider smeared turn changes on validation meetings)
MIN_TURN = 1.5              # seconds: the shortest turn of a speaker
SWITCH_COST = 0.3           # score a change of speaker must gain (in hop-scores)
UNKNOWN_MARGIN = 0.15       # a profile that wins over all others still counts this far below the threshold
SPEECH_WEIGHT = 2.0         # how much a hop's share of voiced frames weighs against the speaker scores
VOICED_SHARE = 0.05         # share of voiced frames at which a hop is as likely speech as not
CLUSTER_SCORE = 0.5         # model score whose cosine joins two groups of anonymous stretches (mean cosine)
CLUSTER_CHUNK = 2.0         # seconds: stretches are clustered in pieces of at most this
UNIT_PAUSE_FRAMES = 6       # unvoiced frames between two hops that end a stretch to cluster
ANONYMOUS_ROUNDS = 1        # times the anonymous speakers are made again from the hops they won
MIN_SPEAKER = 3.0           # seconds: an anonymous speaker with less speech stays "unknown"
PAUSE_REACH = 0.6           # seconds: how far a turn change moves to a pause
MIN_PAUSE_FRAMES = 3        # unvoiced frames that make a pause
MIN_SILENCE_FRAMES = 8      # a shorter pause at a turn change is split between the turns
MIN_PAUSE = 1.0             # seconds: shorter no speech between two stretches of one label is part of the turn
                            # (1.0 s took most of the gain on validation meetings)
ADAPT_ROUNDS = 1            # times the profiles lean towards the hops they won


@dataclass
class Segment:
    start: float            # seconds
    end: float
    label: str              # a profile's name, speaker_N, UNKNOWN or NO_SPEECH
    score: Optional[float]  # mean score of its hops for its label; None without speech or profile


def hop_frames(seconds, rate=RATE):
    """Frames between windows for a hop in seconds (read as float32, as the tool reads it)."""
    x = float(np.float32(seconds) * np.float32(rate)) / FRAME
    return max(1, int(math.floor(x + 0.5)))


def profile_names(paths):
    """Names from profile file names, as the tool gives them: a name shared by two files,
    or one that reads as a label ("unknown", "no speech", "speaker_N"), becomes the path."""
    names = []
    for p in paths:
        name = os.path.basename(os.fspath(p))
        if name.endswith(".profile") and len(name) > len(".profile"):
            name = name[:-len(".profile")]
        names.append(name)

    def reserved(n):
        return n in (UNKNOWN, NO_SPEECH) or (n.startswith("speaker_") and n[8:].isdigit())
    return [os.fspath(p) if reserved(n) or names.count(n) > 1 else n for p, n in zip(paths, names)]


def _viterbi(emit, none_emit, speech, switch_cost, min_cells):
    """Best label per cell. emit[i][s]: score of speaker state s at cell i; none_emit[i]:
    of no speech; speech[i]: the share-of-voice term. A change of speaker costs
    switch_cost (also across a pause); a speaker holds at least min_cells cells.
    -> list of states (0..S-1, or -1 for no speech)."""
    n = len(emit)
    if n == 0:
        return []
    S = len(emit[0])
    m = max(1, min_cells)
    NEG = -1e300
    # spk[s][d]: best total ending at this cell in speaker s for d+1 cells (d = m-1: m or more);
    # none[l]: in no speech with l the last speaker (S: none yet).
    spk = [[NEG] * m for _ in range(S)]
    none = [NEG] * (S + 1)
    back = []
    for i in range(n):
        w = speech[i]
        new_spk = [[NEG] * m for _ in range(S)]
        new_none = [NEG] * (S + 1)
        b_spk = [[None] * m for _ in range(S)]
        b_none = [None] * (S + 1)
        if i == 0:
            for s in range(S):
                new_spk[s][0] = emit[0][s] + w
                b_spk[s][0] = ("start",)
            new_none[S] = none_emit[0] - w
            b_none[S] = ("start",)
        else:
            for s in range(S):
                e = emit[i][s] + w
                # enter s: from another speaker's finished turn, or from a pause
                best, arg = NEG, None
                for t in range(S):
                    if t != s and spk[t][m - 1] - switch_cost > best:
                        best, arg = spk[t][m - 1] - switch_cost, ("spk", t, m - 1)
                for l in range(S + 1):
                    v = none[l] - (switch_cost if l != s and l != S else 0.0)
                    if v > best:
                        best, arg = v, ("none", l)
                new_spk[s][0], b_spk[s][0] = best + e, arg
                for d in range(1, m):
                    v, arg = spk[s][d - 1], ("spk", s, d - 1)
                    if d == m - 1 and spk[s][d] > v:
                        v, arg = spk[s][d], ("spk", s, d)
                    new_spk[s][d], b_spk[s][d] = v + e, arg
                if m == 1 and spk[s][0] > new_spk[s][0] - e:
                    new_spk[s][0], b_spk[s][0] = spk[s][0] + e, ("spk", s, 0)
            e = none_emit[i] - w
            for l in range(S + 1):
                v, arg = none[l], ("none", l)
                if l < S and spk[l][m - 1] > v:
                    v, arg = spk[l][m - 1], ("spk", l, m - 1)
                new_none[l], b_none[l] = v + e, arg
        spk, none = new_spk, new_none
        back.append((b_spk, b_none))
    # The end: a finished turn or a pause (a turn cut by the end of the file counts too).
    best, state = NEG, None
    for s in range(S):
        for d in range(m):
            if spk[s][d] > best:
                best, state = spk[s][d], ("spk", s, d)
    for l in range(S + 1):
        if none[l] > best:
            best, state = none[l], ("none", l)
    out = [0] * n
    for i in range(n - 1, -1, -1):
        b_spk, b_none = back[i]
        if state[0] == "spk":
            out[i] = state[1]
            state = b_spk[state[1]][state[2]]
        else:
            out[i] = -1
            state = b_none[state[1]]
    return out


def _cluster(sums, weights, threshold, speakers):
    """Average-linkage clustering of stretch embedding sums by cosine (each stretch weighing
    `weights`): every merge of the dendrogram from a nearest-neighbour chain, O(n^2); kept
    are those at or above `threshold` (or the best ones that leave `speakers` clusters).
    -> cluster index of every stretch (0, 1, ... in order of first stretch)."""
    n = len(sums)
    vec = np.array(sums, dtype=np.float64).reshape(n, -1)
    norm = np.sqrt(np.einsum("ij,ij->i", vec, vec))
    with np.errstate(divide="ignore", invalid="ignore"):
        sim = (vec @ vec.T) / np.outer(norm, norm)
    sim[~np.isfinite(sim)] = -1.0
    np.fill_diagonal(sim, -1.0)
    weight = [float(w) for w in weights]
    alive = np.ones(n, bool)
    merges, chain, left = [], [], n
    while left > 1:
        if not chain:
            chain.append(int(np.argmax(alive)))
        a = chain[-1]
        row = np.where(alive, sim[a], -np.inf)
        row[a] = -np.inf
        b = int(np.argmax(row))
        if len(chain) > 1 and row[chain[-2]] >= row[b]:
            b = chain[-2]
        if len(chain) > 1 and b == chain[-2]:
            chain.pop()
            chain.pop()
            height = float(row[b])
            keep, gone = min(a, b), max(a, b)
            merged = (weight[a] * sim[a] + weight[b] * sim[b]) / (weight[a] + weight[b])
            sim[keep], sim[:, keep] = merged, merged
            sim[keep, keep] = -1.0
            weight[keep] += weight[gone]
            alive[gone] = False
            left -= 1
            merges.append((height, keep, gone))
        else:
            chain.append(b)
    # Average linkage never merges closer after a farther merge: the kept merges are a cut.
    if speakers is None:
        kept = [m for m in merges if m[0] >= threshold]
    else:
        kept = sorted(merges, key=lambda m: -m[0])[:max(0, n - speakers)]
    parent = list(range(n))

    def root(i):
        while parent[i] != i:
            i = parent[i]
        return i
    for _, keep, gone in kept:
        parent[root(gone)] = root(keep)
    label, first = [0] * n, {}
    for i in range(n):
        label[i] = first.setdefault(root(i), len(first))
    return label


def _pauses(frame_voice, voice_threshold):
    """(first, end) frame ranges of at least MIN_PAUSE_FRAMES unvoiced frames."""
    out, start = [], None
    for f, p in enumerate(list(frame_voice) + [1.0]):
        if p < voice_threshold:
            if start is None:
                start = f
        else:
            if start is not None and f - start >= MIN_PAUSE_FRAMES:
                out.append((start, f))
            start = None
    return out


class _Analysis:
    """Cells of a recording: one per embedded-window position, each standing for the stretch
    halfway to its neighbours' centres (the ends reach the file's ends)."""

    def __init__(self, windows, samples, hop):
        self.windows = windows
        self.n = len(windows.starts)
        self.hop = hop
        frames = len(windows.frame_voice)
        self.frames = frames
        W = windows.window_samples // FRAME
        centres = [int(s) // FRAME * 2 + W for s in windows.starts]   # in half frames
        # cell i covers frames [lo[i], hi[i])
        self.lo, self.hi = [], []
        for i in range(self.n):
            lo = 0 if i == 0 else (centres[i - 1] + centres[i]) // 4
            hi = frames if i + 1 == self.n else (centres[i] + centres[i + 1]) // 4
            self.lo.append(lo)
            self.hi.append(hi)
        self.samples = samples


def window_samples(seconds, rate=RATE):
    """Samples of a window option in seconds (read as float32, as the tool reads it)."""
    return int(math.floor(float(np.float32(seconds) * np.float32(rate)) + 0.5))


def timeline(pcm, profiles=None, recognizer=None, hop=HOP, threshold=0.5, min_turn=MIN_TURN,
             switch_cost=SWITCH_COST, speakers=None, model_path=None, device="best",
             voice_threshold=None, window=WINDOW, min_pause=MIN_PAUSE) -> List[Segment]:
    """Segments of `pcm` (16 kHz mono, int16 or float in [-1, 1]), contiguous from 0 to its end.

    `profiles` maps names to profile arrays, or lists profile files (named like the tool
    names them); none at all gives plain diarization (speaker_1, speaker_2, ...), with
    `speakers` the number of talkers when it is known. A hop is scored by the window
    embeddings within `window` seconds around it (at least the model's window). No speech shorter
    than `min_pause` seconds between two stretches of one label joins them. Pass a Recognizer to reuse it;
    otherwise one is made from model_path, device and voice_threshold (default
    DEFAULT_VOICE_THRESHOLD) for this call.
    """
    from . import DEFAULT_VOICE_THRESHOLD, Recognizer, _pcm, load_profile

    profiles = profiles or []
    if isinstance(profiles, dict):
        names, arrays = list(profiles), [np.asarray(a, np.float32) for a in profiles.values()]
    else:
        paths = list(profiles)
        names, arrays = profile_names(paths), [load_profile(p) for p in paths]
    if speakers is not None and speakers < 1:
        raise ValueError("speakers must be at least 1")
    if min_turn < 0 or switch_cost < 0 or min_pause < 0:
        raise ValueError("min_turn, switch_cost and min_pause must not be negative")
    own = recognizer is None
    if own:
        recognizer = Recognizer(model_path, device=device,
                                voice_threshold=DEFAULT_VOICE_THRESHOLD if voice_threshold is None else voice_threshold)
    try:
        pcm = _pcm(pcm)
        if len(pcm) < recognizer.min_audio_length_samples:
            raise ValueError(f"audio of {len(pcm) / RATE:.2f} s is shorter than the "
                             f"{recognizer.min_audio_length_samples / RATE:.2f} s the model needs")
        span = recognizer.min_audio_length_samples if window is None else window_samples(window)
        if span < recognizer.min_audio_length_samples:
            raise ValueError(f"a window of {window} s is shorter than the "
                             f"{recognizer.min_audio_length_samples / RATE:.2f} s the model needs")
        step = hop_frames(hop)
        windows = recognizer.embed_windows(pcm, step)

        def f32(x):  # the tool reads its options as float32
            return float(np.float32(x))
        return _timeline(recognizer, windows, len(pcm), names, arrays, step, f32(threshold), f32(min_turn),
                         f32(switch_cost), speakers, f32(recognizer.voice_threshold), span, f32(min_pause))
    finally:
        if own:
            recognizer.close()


def _context(windows, span):
    """Per window: the embedded windows lying within `span` samples around it -> [(first, end)]."""
    starts = [int(x) for x in windows.starts]
    reach = span - windows.window_samples   # twice the farthest start that fits
    n, out, lo, hi = len(starts), [], 0, 0
    for i in range(n):
        while 2 * (starts[i] - starts[lo]) > reach:
            lo += 1
        while hi < n and 2 * (starts[hi] - starts[i]) <= reach:
            hi += 1
        out.append((lo, hi))
    return out


def _scores(recognizer, windows, profiles, context):
    """Per window: the score of the embedded windows around it against every profile
    (floats), or None where none is embedded."""
    out = []
    embedded = windows.embedded
    for lo, hi in context:
        acc, count = np.zeros(windows.embeddings.shape[1], np.float32), 0
        for j in range(lo, hi):
            if embedded[j]:
                acc = acc + windows.embeddings[j]
                count += 1
        if not count or not profiles:
            out.append(None)
        else:
            out.append([float(x) for x in recognizer.score_embeddings(acc, count, profiles)])
    return out


def _decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds):
    """States per cell with K speakers + unknown (state K); -1 for no speech."""
    unknown = threshold - UNKNOWN_MARGIN
    emit, none_emit, speech = [], [], []
    for i in range(cells.n):
        s = scores[i]
        row = [unknown] * K if s is None else list(s)
        row.append(unknown)
        emit.append(row)
        none_emit.append(max(row))
        voiced = cells.voiced[i]
        speech.append(SPEECH_WEIGHT * (voiced - VOICED_SHARE))
    min_cells = int(math.floor(min_turn / hop_seconds + 0.5))
    return _viterbi(emit, none_emit, speech, switch_cost, min_cells)


def _cosine_of_score(recognizer, size, score):
    """The least cosine whose score reaches `score`: the clustering threshold in the model's own
    calibration, so that it holds across models."""
    e, p = np.zeros(size, np.float32), np.zeros(size, np.float32)
    e[0] = 1.0
    lo, hi = -1.0, 1.0
    for _ in range(40):
        mid = (lo + hi) / 2
        p[0], p[1] = mid, math.sqrt(1.0 - mid * mid)
        if float(recognizer.score_embeddings(e, 1, [p])[0]) >= score:
            hi = mid
        else:
            lo = mid
    return hi


def _mean(windows, cells):
    """Mean embedding of cells (float64 sums in cell order), as a float32 profile."""
    acc = np.zeros(windows.embeddings.shape[1], np.float64)
    for i in cells:
        acc = acc + windows.embeddings[i].astype(np.float64)
    return (acc / len(cells)).astype(np.float32)


def _timeline(recognizer, windows, samples, names, profiles, step, threshold, min_turn, switch_cost,
              speakers, voice_threshold, span, min_pause):
    cells = _Analysis(windows, samples, step)
    voice = [float(p) for p in windows.frame_voice]
    cells.voiced = []
    for i in range(cells.n):
        lo, hi = cells.lo[i], cells.hi[i]
        cells.voiced.append(sum(1 for f in range(lo, hi) if voice[f] >= voice_threshold) / max(1, hi - lo))
    hop_seconds = step * FRAME / RATE
    K = len(profiles)
    context = _context(windows, span)
    scores = _scores(recognizer, windows, profiles, context)
    states = _decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds)
    labels = list(names)
    embedded = windows.embedded
    size = windows.embeddings.shape[1]
    # Each profile leans towards the hops it won: the talker's voice in this recording.
    for _ in range(ADAPT_ROUNDS):
        adapted = []
        for k in range(K):
            member = [i for i in range(cells.n) if states[i] == k and embedded[i]]
            acc = np.zeros(size, np.float64)
            for i in member:
                acc = acc + windows.embeddings[i].astype(np.float64)
            mine = acc / len(member) if member else np.asarray(profiles[k], np.float64)
            adapted.append(((np.asarray(profiles[k], np.float64) + mine) / 2).astype(np.float32))
        if K:
            profiles = adapted
            scores = _scores(recognizer, windows, adapted, context)
            states = _decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds)

    # Speech no profile claims, in stretches between pauses: clustered, the clusters
    # decided again as speakers, then made again from the hops they won.
    chunk_cells = max(1, int(math.floor(CLUSTER_CHUNK / hop_seconds + 0.5)))
    gaps = set()   # cells that a pause separates from the one before
    centre2 = [cells.lo[i] + cells.hi[i] for i in range(cells.n)]   # twice the centre frame
    c = 1
    for p0, p1 in _pauses(voice, voice_threshold):
        if p1 - p0 < UNIT_PAUSE_FRAMES:
            continue
        while c < cells.n and centre2[c] <= p0 + p1:
            c += 1
        if c < cells.n and centre2[c - 1] <= p0 + p1:
            gaps.add(c)
    chunks = []
    for i in range(cells.n):
        if states[i] != K or not embedded[i]:
            continue
        if chunks and chunks[-1][-1] == i - 1 and len(chunks[-1]) < chunk_cells and i not in gaps:
            chunks[-1].append(i)
        else:
            chunks.append([i])
    if chunks:
        sums = []
        for c in chunks:
            acc = np.zeros(windows.embeddings.shape[1], np.float64)
            for i in c:
                acc = acc + windows.embeddings[i].astype(np.float64)
            sums.append(acc)
        cut = _cosine_of_score(recognizer, windows.embeddings.shape[1], CLUSTER_SCORE)
        which = _cluster(sums, [len(c) for c in chunks], cut, speakers)
        min_cells = MIN_SPEAKER / hop_seconds
        anonymous = []
        for k in range(max(which) + 1):
            member = [i for c, w in zip(chunks, which) if w == k for i in c]
            if speakers is None and len(member) < min_cells:
                continue
            anonymous.append(_mean(windows, member))
        if anonymous:
            known = K
            profiles = list(profiles) + anonymous
            labels += [ANONYMOUS % (k + 1) for k in range(len(anonymous))]
            K = len(profiles)
            scores = _scores(recognizer, windows, profiles, context)
            states = _decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds)
            for _ in range(ANONYMOUS_ROUNDS):
                for k in range(known, K):
                    member = [i for i in range(cells.n) if states[i] == k and embedded[i]]
                    if member:
                        profiles[k] = _mean(windows, member)
                scores = _scores(recognizer, windows, profiles, context)
                states = _decode(cells, scores, K, threshold, min_turn, switch_cost, hop_seconds)
            # Two anonymous speakers whose voices in this recording agree are one.
    return _segments(cells, states, scores, labels, K, voice, voice_threshold, samples, min_pause)


def _runs(lab):
    """Runs of one label: [label, first frame, end frame]."""
    runs = []
    for f, label in enumerate(lab):
        if runs and runs[-1][0] == label:
            runs[-1][2] = f + 1
        else:
            runs.append([label, f, f + 1])
    return runs


def _segments(cells, states, scores, labels, K, voice, voice_threshold, samples, min_pause):
    """Frame labels from the cells, turn changes moved to pauses, then segments."""
    frames = cells.frames
    lab = [-1] * frames
    for i in range(cells.n):
        for f in range(cells.lo[i], cells.hi[i]):
            lab[f] = states[i]
    reach = int(math.floor(PAUSE_REACH * RATE / FRAME + 0.5))
    pauses = _pauses(voice, voice_threshold)
    runs = _runs(lab)
    # A change between two speakers (maybe across no speech) moves to the nearest pause
    # within reach; the pause becomes no speech.
    for r in range(len(runs) - 1):
        a = runs[r]
        nxt = r + 1
        if runs[nxt][0] == -1 and nxt + 1 < len(runs):
            nxt += 1
        b = runs[nxt]
        if a[0] == -1 or b[0] == -1 or a[0] == b[0]:
            continue
        change2 = a[2] + runs[nxt - 1][2] if nxt == r + 2 else 2 * a[2]   # twice the change frame
        best = None
        for p0, p1 in pauses:
            if p0 < a[1] or p1 > b[2]:
                continue
            d = abs(p0 + p1 - change2)
            if d <= 2 * reach and (best is None or d < best[0]):
                best = (d, p0, p1)
        if best is None:
            continue
        _, p0, p1 = best
        if p1 - p0 < MIN_SILENCE_FRAMES:
            p0 = p1 = (p0 + p1) // 2
        for f in range(a[1], b[2]):
            lab[f] = a[0] if f < p0 else (-1 if f < p1 else b[0])
    # Edges of no speech follow the detector: voiced frames at a pause's edge go to the
    # speaker beside it.
    for f in range(1, frames):
        if lab[f - 1] == -1 and lab[f] >= 0:
            g = f - 1
            while g >= 0 and lab[g] == -1 and voice[g] >= voice_threshold and f - g <= reach:
                lab[g] = lab[f]
                g -= 1
    for f in range(frames - 2, -1, -1):
        if lab[f + 1] == -1 and lab[f] >= 0:
            g = f + 1
            while g < frames and lab[g] == -1 and voice[g] >= voice_threshold and g - f <= reach:
                lab[g] = lab[f]
                g += 1
    # A talker's own pause is part of the turn: shorter no speech between two stretches of
    # one label goes to that label.
    bridge = int(math.floor(min_pause * RATE / FRAME + 0.5))
    f = 0
    while f < frames:
        g = f
        while g < frames and lab[g] == -1:
            g += 1
        if g > f and f > 0 and g < frames and lab[f - 1] == lab[g] and g - f < bridge:
            for h in range(f, g):
                lab[h] = lab[g]
        f = g + 1
    out = _runs(lab)
    segments = []
    for i, (state, first, end) in enumerate(out):
        start_s = first * FRAME / RATE
        end_s = samples / RATE if i + 1 == len(out) else end * FRAME / RATE
        if state == -1:
            segments.append(Segment(start_s, end_s, NO_SPEECH, None))
            continue
        total, count = 0.0, 0
        for c in range(cells.n):
            centre = (cells.lo[c] + cells.hi[c]) / 2
            if first <= centre < end and scores[c] is not None:
                total += scores[c][state] if state < K else max(scores[c], default=0.0)
                count += 1
        label = labels[state] if state < K else UNKNOWN
        segments.append(Segment(start_s, end_s, label, total / count if count else None))
    return segments


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
