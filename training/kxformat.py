"""Model file (.kx) and detector-weight source writers and readers."""
import io
import struct

import numpy as np

MAGIC = b"orvel"
VERSION = b"3.0.0"

# detector constant arrays, in the order of vad_weights.h
VAD_ARRAYS = [
    ("l1_wx", "kx_vad_layer1_input_weights", "KX_VAD_GATES * 80", (240, 80)),
    ("l1_bx", "kx_vad_layer1_input_bias", "KX_VAD_GATES", (240,)),
    ("l1_wh", "kx_vad_layer1_recurrent_weights", "KX_VAD_GATES * KX_VAD_UNITS", (240, 80)),
    ("l1_bh", "kx_vad_layer1_recurrent_bias", "KX_VAD_GATES", (240,)),
    ("l2_wx", "kx_vad_layer2_input_weights", "KX_VAD_GATES * KX_VAD_UNITS", (240, 80)),
    ("l2_bx", "kx_vad_layer2_input_bias", "KX_VAD_GATES", (240,)),
    ("l2_wh", "kx_vad_layer2_recurrent_weights", "KX_VAD_GATES * KX_VAD_UNITS", (240, 80)),
    ("l2_bh", "kx_vad_layer2_recurrent_bias", "KX_VAD_GATES", (240,)),
    ("out_w", "kx_vad_output_weights", "2 * KX_VAD_UNITS", (2, 80)),
]


class Model:
    """Everything a .kx file holds."""

    def __init__(self, window_frames, lookahead_frames, thresholds, hop_length,
                 log_floor, band_mean, band_std, norm_epsilon, fwd, bwd,
                 projection=None, frame_length=512, projection_kind=None):
        self.window_frames = int(window_frames)
        self.lookahead_frames = int(lookahead_frames)
        self.thresholds = [float(t) for t in thresholds]
        self.frame_length = int(frame_length)
        self.hop_length = int(hop_length)
        self.log_floor = float(log_floor)
        self.band_mean = np.asarray(band_mean, np.float32)
        self.band_std = np.asarray(band_std, np.float32)
        self.norm_epsilon = float(norm_epsilon)
        self.fwd = fwd      # [(H, I, w int8 [3H, H+I], b int8 [3H])]
        self.bwd = bwd
        self.projection = None if projection is None else np.asarray(projection, np.float32)
        if projection_kind is None:
            projection_kind = 0 if projection is None else 1
        self.projection_kind = int(projection_kind)

    @property
    def num_bands(self):
        return len(self.band_mean)

    @property
    def pooled_size(self):
        return self.fwd[-1][0] if self.fwd else self.num_bands

    @property
    def embedding_size(self):
        return self.pooled_size if self.projection is None else self.projection.shape[0]

    def parameter_count(self):
        n = sum(w.size + b.size for _, _, w, b in self.fwd + self.bwd)
        return n + (0 if self.projection is None else self.projection.size)


def _layer_bytes(layer):
    H, I, w, b = layer
    w = np.asarray(w, np.int8)
    b = np.asarray(b, np.int8)
    if w.shape != (3 * H, H + I) or b.shape != (3 * H,):
        raise ValueError("layer shape mismatch")
    return struct.pack("<ii", H, I) + w.tobytes() + b.tobytes()


def model_bytes(m):
    out = io.BytesIO()
    out.write(MAGIC + VERSION)
    out.write(struct.pack("<ii3f", m.window_frames, m.lookahead_frames, *m.thresholds))
    if len(m.band_std) != m.num_bands:
        raise ValueError("band_mean and band_std differ in length")
    out.write(struct.pack("<iiif", m.frame_length, m.hop_length, m.num_bands, m.log_floor))
    out.write(m.band_mean.astype("<f4").tobytes())
    out.write(m.band_std.astype("<f4").tobytes())
    if len(m.fwd) != len(m.bwd):
        raise ValueError("forward and backward layer counts differ")
    out.write(struct.pack("<if", len(m.fwd), m.norm_epsilon))
    for layer in m.fwd + m.bwd:
        out.write(_layer_bytes(layer))
    out.write(struct.pack("<iii", m.embedding_size, m.pooled_size, m.projection_kind))
    if m.projection_kind != 0:
        out.write(m.projection.astype("<f4").tobytes())
    return out.getvalue()


def write_model(path, m):
    data = model_bytes(m)
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("file ends inside a field at offset %d" % self.pos)
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def unpack(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))


def read_model(src):
    if isinstance(src, str):
        with open(src, "rb") as fh:
            data = fh.read()
    else:
        data = bytes(src)
    r = _Reader(data)
    if r.take(5) != MAGIC:
        raise ValueError("not a model file")
    ver = r.take(5)
    if ver != VERSION:
        raise ValueError("version %r" % ver)
    wf, la, lo, mid, hi = r.unpack("<ii3f")
    frame_length, hop, nb, floor = r.unpack("<iiif")
    mean = np.frombuffer(r.take(4 * nb), "<f4").copy()
    std = np.frombuffer(r.take(4 * nb), "<f4").copy()
    L, eps = r.unpack("<if")
    layers = []
    for _ in range(2 * L):
        H, I = r.unpack("<ii")
        w = np.frombuffer(r.take(3 * H * (H + I)), np.int8).reshape(3 * H, H + I).copy()
        b = np.frombuffer(r.take(3 * H), np.int8).copy()
        layers.append((H, I, w, b))
    R, C, kind = r.unpack("<iii")
    proj = None
    if kind != 0:
        proj = np.frombuffer(r.take(4 * R * C), "<f4").reshape(R, C).copy()
    return Model(wf, la, (lo, mid, hi), hop, floor, mean, std, eps, layers[:L], layers[L:],
                 proj, frame_length=frame_length, projection_kind=kind)


# ---------------------------------------------------------------- detector source

def _c_array(values, per_line=20):
    vals = [str(int(v)) for v in np.asarray(values).reshape(-1)]
    lines = []
    for i in range(0, len(vals), per_line):
        lines.append("    " + ", ".join(vals[i:i + per_line]) + ",")
    return "\n".join(lines)


def vad_source(weights, note=""):
    """Detector weights (dict of int8 arrays) -> text of vad_weights.cpp."""
    out = ["// Generated by training/train_vad.py; do not edit." + (" " + note if note else ""),
           '#include "frontend/vad_weights.h"', ""]
    for key, name, size, shape in VAD_ARRAYS:
        a = np.asarray(weights[key])
        if a.shape != shape:
            raise ValueError("%s has shape %s, expected %s" % (key, a.shape, shape))
        if a.min() < -128 or a.max() > 127:
            raise ValueError("%s out of int8 range" % key)
        out.append("const int8_t %s[%s] = {" % (name, size))
        out.append(_c_array(a))
        out.append("};")
        out.append("")
    return "\n".join(out)


def write_vad_source(path, weights, note=""):
    with open(path, "w") as f:
        f.write(vad_source(weights, note))


def parse_vad_source(text):
    """Text of vad_weights.cpp -> dict of int8 arrays (empty braces mean zeros)."""
    import re
    res = {}
    for key, name, _, shape in VAD_ARRAYS:
        m = re.search(r"%s\[[^\]]*\]\s*=\s*\{([^}]*)\}" % re.escape(name), text)
        if not m:
            raise ValueError("missing " + name)
        body = m.group(1)
        body = re.sub(r"//[^\n]*", "", body)
        vals = [int(v) for v in body.replace("\n", " ").split(",") if v.strip()]
        if not vals:
            vals = [0] * int(np.prod(shape))
        if len(vals) != int(np.prod(shape)):
            raise ValueError("%s has %d values" % (name, len(vals)))
        res[key] = np.array(vals, np.int8).reshape(shape)
    return res
