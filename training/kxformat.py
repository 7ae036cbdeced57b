"""Model file (.kx) and detector-weight source writers and readers."""
import io
import struct

import numpy as np

MAGIC = b"orvel"
VERSION = b"3.0.0"

# The detector's source, src/generated/vad_weights.h: its fixed constants (band
# standardisation, output bias) and its trained int8 arrays, in the file's order.
VAD_CONSTANTS = [
    ("band_mean", "kx_vad_band_means", "int16_t", (40,)),
    ("band_scale", "kx_vad_band_scales", "int16_t", (40,)),
    ("out_b", "kx_vad_output_bias", "int8_t", (2,)),
]
VAD_ARRAYS = [
    ("l1_wx", "kx_vad_layer1_input_weights", "int8_t", (240, 80)),
    ("l1_bx", "kx_vad_layer1_input_bias", "int8_t", (240,)),
    ("l1_wh", "kx_vad_layer1_recurrent_weights", "int8_t", (240, 80)),
    ("l1_bh", "kx_vad_layer1_recurrent_bias", "int8_t", (240,)),
    ("l2_wx", "kx_vad_layer2_input_weights", "int8_t", (240, 80)),
    ("l2_bx", "kx_vad_layer2_input_bias", "int8_t", (240,)),
    ("l2_wh", "kx_vad_layer2_recurrent_weights", "int8_t", (240, 80)),
    ("l2_bh", "kx_vad_layer2_recurrent_bias", "int8_t", (240,)),
    ("out_w", "kx_vad_output_weights", "int8_t", (2, 80)),
]
_C_RANGE = {"int8_t": (-128, 127), "int16_t": (-32768, 32767)}


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


VAD_SOURCE_FIRST_LINE = "// Generated by training/train_vad.py; do not edit."


def vad_source(weights, constants, note=""):
    """Detector weights and constants (dicts of arrays) -> text of vad_weights.h."""
    out = [VAD_SOURCE_FIRST_LINE + (" " + note if note else ""),
           "// The built-in voice-activity detector: band standardisation, output bias and",
           "// trained weights. Included by the detector alone.",
           "#pragma once", "", "#include <cstdint>", ""]
    for table, values in ((VAD_CONSTANTS, constants), (VAD_ARRAYS, weights)):
        for key, name, ctype, shape in table:
            a = np.asarray(values[key])
            if a.shape != shape:
                raise ValueError("%s has shape %s, expected %s" % (key, a.shape, shape))
            low, high = _C_RANGE[ctype]
            if a.min() < low or a.max() > high:
                raise ValueError("%s out of %s range" % (key, ctype))
            out.append("inline constexpr %s %s[%d] = {" % (ctype, name, a.size))
            out.append(_c_array(a, 10 if ctype == "int16_t" else 20))
            out.append("};")
            out.append("")
    return "\n".join(out)


def write_vad_source(path, weights, constants, note=""):
    with open(path, "w") as f:
        f.write(vad_source(weights, constants, note))


def parse_vad_note(text):
    """The note after the generated-file marker on the first line ('' when none)."""
    first = text.split("\n", 1)[0]
    return first[len(VAD_SOURCE_FIRST_LINE):].strip() if first.startswith(VAD_SOURCE_FIRST_LINE) else ""


def parse_vad_constants(text):
    """Text of vad_weights.h -> dict of the fixed constants."""
    return _parse_arrays(text, VAD_CONSTANTS)


def parse_vad_source(text):
    """Text of vad_weights.h -> dict of int8 arrays (empty braces mean zeros)."""
    return _parse_arrays(text, VAD_ARRAYS)


def _parse_arrays(text, table):
    import re
    res = {}
    for key, name, ctype, shape in table:
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
        res[key] = np.array(vals, np.int16 if ctype == "int16_t" else np.int8).reshape(shape)
    return res
