"""Bit-exact numpy model of the engine's fixed-point arithmetic and front ends.

Integer operators (LINEAR, LSTM cell, softmax, ...) reproduce the C++ reference
bit for bit.  Float stages follow the library's float32 operations in the same
order: the radix-2 FFT, the mel sums, log10f, per-window normalisation, the
projection's column-order sums and the L2 gain 1/sqrt(s).  log10f is the one
libm call on the path; `log10f` below reproduces glibc's (the fdlibm reduction
around the table-driven logf, glibc 2.27 and later), so features, and with them
exported profiles, are identical to the library's on a glibc build.  With a
different maths library (musl, macOS, a correctly rounded log10f) a feature may
differ in its last bit.
"""
import math
import os

import numpy as np

import kxformat

F32 = np.float32

# ---------------------------------------------------------------- tables

MEL_EDGES = np.array([
    0, 1, 3, 5, 6, 8, 10, 12, 14, 17, 19, 22, 25, 28, 31, 34, 38, 41, 45, 50,
    54, 59, 64, 70, 76, 82, 89, 96, 103, 111, 120, 129, 138, 148, 159, 171,
    183, 196, 210, 225, 240, 257], dtype=np.int64)


def _r7(x):
    return F32(round(x, 7))


MEL_RISE = np.array([_r7(1.0 / (MEL_EDGES[b + 1] - MEL_EDGES[b])) for b in range(40)], F32)
MEL_FALL = np.array([_r7(1.0 / (MEL_EDGES[b + 2] - MEL_EDGES[b + 1])) for b in range(40)], F32)
HANN_HALF = np.array([_r7(0.5 * (1 - math.cos(2 * math.pi * k / 511))) for k in range(256)], F32)
LOG10_Q10_TABLE = np.array([math.floor(1024 * math.log10((512 + i) / 2048) + 0.5)
                            for i in range(513)], np.int64)
FFT_SIN = np.array([_r7(math.sin(2 * math.pi * k / 512)) for k in range(384)], F32)


def _rev8(i):
    return int('{:08b}'.format(i)[::-1], 2)


FFT_REV = np.array([_rev8(i) for i in range(256)], np.int64)

SIGMOID_TABLE = np.array(
    [math.floor(32767.0 / (1.0 + math.exp(-(k if k < 128 else k - 256) / 16.0)) + 0.5)
     for k in range(256)] + [0], np.int64)
SIGMOID_TABLE[256] = SIGMOID_TABLE[0]

SOFTMAX_FINE = np.array([math.floor((2 ** 31 - 1) * math.exp(-k / 1024) + 0.5) for k in range(128)], np.int64)
SOFTMAX_COARSE = np.array([math.floor((2 ** 31 - 1) * math.exp(-k / 8) + 0.5) for k in range(128)], np.int64)

# The detector's fixed constants, read from the library's generated source.
VAD_SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "src", "generated", "vad_weights.h")
with open(VAD_SOURCE) as _f:
    VAD_CONSTANTS = kxformat.parse_vad_constants(_f.read())
VAD_MEAN = VAD_CONSTANTS["band_mean"].astype(np.int64)
VAD_SCALE = VAD_CONSTANTS["band_scale"].astype(np.int64)
VAD_OUT_BIAS = VAD_CONSTANTS["out_b"].astype(np.int64)


def sat16(v):
    return np.clip(v, -32768, 32767)


# ---------------------------------------------------------------- FFT

def rfft512(x):
    """Real FFT of [..., 512] float32 frames -> (re, im) each [..., 257] float32,
    same stages, twiddles and operation order as the library's transform."""
    x = np.asarray(x, F32)
    lead = x.shape[:-1]
    x = x.reshape(-1, 512)
    n = x.shape[0]
    wr = np.empty((n, 256), F32)
    wi = np.empty((n, 256), F32)
    wr[:, FFT_REV] = x[:, 0::2]
    wi[:, FFT_REV] = x[:, 1::2]
    for s in range(8):
        half = 1 << s
        groups = 128 >> s
        stride = 256 >> s
        j = np.arange(half) * stride
        sn = FFT_SIN[j]
        cs = FFT_SIN[j + 128]
        wr4 = wr.reshape(n, groups, 2, half)
        wi4 = wi.reshape(n, groups, 2, half)
        ar, ai = wr4[:, :, 0, :].copy(), wi4[:, :, 0, :].copy()
        br, bi = wr4[:, :, 1, :], wi4[:, :, 1, :]
        tr = bi * sn + br * cs
        ti = bi * cs - br * sn
        wr4[:, :, 1, :] = ar - tr
        wi4[:, :, 1, :] = ai - ti
        wr4[:, :, 0, :] = ar + tr
        wi4[:, :, 0, :] = ai + ti
    sc = F32(0.001953125)
    re = np.empty((n, 257), F32)
    im = np.zeros((n, 257), F32)
    re[:, 0] = (wr[:, 0] + wi[:, 0]) * sc
    re[:, 256] = (wr[:, 0] - wi[:, 0]) * sc
    k = np.arange(1, 256)
    Ar, Ai = wr[:, k], wi[:, k]
    Br, Bi = wr[:, 256 - k], wi[:, 256 - k]
    sn = FFT_SIN[k]
    cs = FFT_SIN[k + 128]
    re[:, 1:256] = (Br + Ar + cs * (Ai + Bi) + sn * (Br - Ar)) * sc
    im[:, 1:256] = (Ai - Bi + cs * (Br - Ar) - sn * (Ai + Bi)) * sc
    return re.reshape(lead + (257,)), im.reshape(lead + (257,))


def power_spectrum(frames):
    re, im = rfft512(frames)
    return re * re + im * im


def mel_energies(p, num_bands=40):
    """[..., 257] float32 power -> [..., num_bands] float32, sequential sums."""
    p = np.asarray(p, F32)
    out = np.empty(p.shape[:-1] + (num_bands,), F32)
    for b in range(num_bands):
        lo, pk, hi = MEL_EDGES[b], MEL_EDGES[b + 1], MEL_EDGES[b + 2]
        s = np.zeros(p.shape[:-1], F32)
        w = F32(0.0)
        for j in range(lo, pk):
            s = s + p[..., j] * w
            w = F32(w + MEL_RISE[b])
        if lo >= pk:
            w = F32(0.0)
        for j in range(pk, hi):
            s = s + p[..., j] * w
            w = F32(w - MEL_FALL[b])
        out[..., b] = s
    return out


# ---------------------------------------------------------------- detector features

def log10_q10(e):
    """Fixed-point log10 of float32 energies (1/1024 units), int64 result."""
    e = np.asarray(e, F32)
    v = e * F32(8589934592.0)
    big = v >= F32(9223372036854775808.0)
    vv = np.where(big, F32(0), v)
    g = vv.astype(np.int64)                 # truncation toward zero
    out = np.zeros(g.shape, np.int64)
    zero = g == 0
    top = g >= (1 << 62)
    gg = np.where(zero, 1, g)
    # k = number of doublings bringing g into [2^61, 2^62)
    bl = np.floor(np.log2(gg.astype(np.float64))).astype(np.int64)
    # exact fix-up of the bit length estimate
    bl = np.where((gg >> np.clip(bl, 0, 62)) == 0, bl - 1, bl)
    bl = np.where((gg >> np.clip(bl + 1, 0, 62)) >= 1, bl + 1, bl)
    k = 61 - bl
    m = np.where(top, gg >> 1, gg << np.clip(k, 0, 61))
    k = np.where(top, -1, k)
    i = ((m + (1 << 51)) >> 52) - 512
    r = LOG10_Q10_TABLE[np.clip(i, 0, 512)] - 308 * k
    out = sat16(r)
    out = np.where(zero, -32768, out)
    out = np.where(big, 0, out)
    return out


def vad_features(pcm):
    """int16 PCM -> [frames, 80] int16-valued features (two 40-band halves per
    512-sample frame), as a fresh detector computes them from sample 0."""
    pcm = np.asarray(pcm, np.int16)
    nh = len(pcm) // 256
    nf = nh // 2
    x = pcm[:nh * 256].astype(F32)
    prev = np.concatenate([[F32(0)], x[:-1]]).astype(F32)
    y = x - F32(0.97) * prev
    y = np.concatenate([np.zeros(256, F32), y])
    idx = np.arange(nh)[:, None] * 256 + np.arange(512)[None, :]
    fr = y[idx]
    win = np.concatenate([HANN_HALF, HANN_HALF[::-1]])
    fr = fr * win
    e = mel_energies(power_spectrum(fr))
    q = log10_q10(e)
    return q[:nf * 2].reshape(nf, 80)


# ---------------------------------------------------------------- log10f

# glibc's logf: 16-interval table of 1/c and log(c), ln2 and the polynomial
_LOGF_TAB = np.array([[float.fromhex(a), float.fromhex(b)] for a, b in (
    ('0x1.661ec79f8f3bep+0', '-0x1.57bf7808caadep-2'), ('0x1.571ed4aaf883dp+0', '-0x1.2bef0a7c06ddbp-2'),
    ('0x1.49539f0f010bp+0', '-0x1.01eae7f513a67p-2'), ('0x1.3c995b0b80385p+0', '-0x1.b31d8a68224e9p-3'),
    ('0x1.30d190c8864a5p+0', '-0x1.6574f0ac07758p-3'), ('0x1.25e227b0b8eap+0', '-0x1.1aa2bc79c81p-3'),
    ('0x1.1bb4a4a1a343fp+0', '-0x1.a4e76ce8c0e5ep-4'), ('0x1.12358f08ae5bap+0', '-0x1.1973c5a611cccp-4'),
    ('0x1.0953f419900a7p+0', '-0x1.252f438e10c1ep-5'), ('0x1p+0', '0x0p+0'),
    ('0x1.e608cfd9a47acp-1', '0x1.aa5aa5df25984p-5'), ('0x1.ca4b31f026aap-1', '0x1.c5e53aa362eb4p-4'),
    ('0x1.b2036576afce6p-1', '0x1.526e57720db08p-3'), ('0x1.9c2d163a1aa2dp-1', '0x1.bc2860d22477p-3'),
    ('0x1.886e6037841edp-1', '0x1.1058bc8a07ee1p-2'), ('0x1.767dcf5534862p-1', '0x1.4043057b6ee09p-2'))])
_LOGF_LN2 = float.fromhex('0x1.62e42fefa39efp-1')
_LOGF_A = [float.fromhex(v) for v in ('-0x1.00ea348b88334p-2', '0x1.5575b0be00b6ap-2', '-0x1.ffffef20a4123p-2')]


def _logf_normal(x):
    """glibc logf of positive normal float32 values (double evaluation, one rounding)."""
    ix = x.view(np.uint32).astype(np.int64)
    tmp = ix - 0x3f330000
    i = (tmp >> 19) & 15
    k = tmp.astype(np.uint32).view(np.int32).astype(np.int64) >> 23
    iz = ix - (tmp & (0x1ff << 23))
    z = iz.astype(np.uint32).view(F32).astype(np.float64)
    r = z * _LOGF_TAB[i, 0] - 1.0
    y0 = _LOGF_TAB[i, 1] + k * _LOGF_LN2
    r2 = r * r
    y = _LOGF_A[1] * r + _LOGF_A[2]
    y = _LOGF_A[0] * r2 + y
    y = y * r2 + (y0 + r)
    return np.where(ix == 0x3f800000, F32(0), y.astype(F32))


def log10f(x):
    """log10 of float32 values as glibc's log10f computes it (bit-identical on
    random inputs over the features' range; numpy's float32 log10 differs in the
    last bit for about half of them, a correctly rounded log10 for ~6 %)."""
    x = np.ascontiguousarray(x, F32)
    shape = x.shape
    x = x.reshape(-1)
    with np.errstate(divide='ignore', invalid='ignore'):
        out = np.log10(x)                    # zero, negative, inf, NaN: the usual values
    ok = np.isfinite(x) & (x > 0)
    v = x[ok]
    sub = v < F32(1.1754944e-38)
    v[sub] = v[sub] * F32(33554432.0)      # subnormal: scaled up by 2^25
    hx = v.view(np.int32)
    k = (hx >> 23) - 127 - np.where(sub, 25, 0)
    neg = (k < 0).astype(np.int32)
    m = ((hx & 0x007fffff) | ((0x7f - neg) << 23)).astype(np.int32).view(F32)
    y = (k + neg).astype(F32)
    z = y * F32(7.9034151668e-07) + F32(4.3429449201e-01) * _logf_normal(m)
    out[ok] = z + y * F32(3.0102920532e-01)
    return out.reshape(shape)


# ---------------------------------------------------------------- embedding features

def hann_window(n=512):
    i = np.arange(n, dtype=np.float64)
    return ((1.0 - np.cos(i * 2.0 * math.pi / (n - 1))) * 0.5).astype(F32)


def frontend_frames(pcm, hop):
    """Pre-emphasised, windowed analysis frames of one window ([T, 512])."""
    pcm = np.asarray(pcm, np.int16)
    t_count = len(pcm) // hop
    x = pcm[:t_count * hop].astype(F32) * F32(0.000030517578)
    prev = np.concatenate([[F32(0)], x[:-1]]).astype(F32)
    y = x - F32(0.97) * prev
    y = np.concatenate([np.zeros(512, F32), y])      # zeros stand before sample 0
    idx = (np.arange(t_count)[:, None] + 1) * hop + np.arange(512)[None, :]
    return y[idx] * hann_window()


def embedding_features(pcm, hop, log_floor, band_mean, band_std, num_bands=40, fast_fft=False):
    """One window of PCM -> [T, num_bands] float32 features."""
    fr = frontend_frames(pcm, hop)
    if fast_fft:
        spectrum = np.fft.rfft(fr.astype(np.float64), axis=-1)
        spectrum[:, 1:256] /= 256.0
        spectrum[:, [0, 256]] /= 512.0
        p = (spectrum.real ** 2 + spectrum.imag ** 2).astype(F32)
    else:
        p = power_spectrum(fr)
    e = mel_energies(p, num_bands)
    v = log10f(e + F32(log_floor))
    return ((v - np.asarray(band_mean, F32)) / np.asarray(band_std, F32)).astype(F32)


# ---------------------------------------------------------------- operators

def sigmoid_q15(x):
    x = np.clip(np.asarray(x, np.int64), -8192, 8128)
    u = x & 0x3FFF
    i = u >> 6
    f = u & 63
    j = (u + 63) >> 6
    return (SIGMOID_TABLE[i] * (64 - f) + SIGMOID_TABLE[j] * f) >> 6


def tanh_q15(x):
    y = sat16(2 * np.asarray(x, np.int64))
    return 2 * sigmoid_q15(y) - 32768


def lstm_cell(gates, c):
    """gates [..., 3H] Q10, cell [..., H] Q10 -> (h, c) Q10."""
    H = c.shape[-1]
    i = sigmoid_q15(gates[..., :H])
    g = tanh_q15(gates[..., H:2 * H])
    o = sigmoid_q15(gates[..., 2 * H:])
    c = sat16(((c * (32767 - i) + 16384) >> 15) + ((i * g + 524288) >> 20))
    t = tanh_q15(c)
    h = (t * o + 524288) >> 20
    return h, c


def linear(x, w, b):
    """x [..., C] int Q10, w [R, C] int8, b [R] int8 -> [..., R] Q10."""
    # float64 products/sums of these integers are exact (well below 2^53)
    acc = np.asarray(x, np.float64) @ np.asarray(w, np.float64).T
    acc = acc.astype(np.int64) + np.asarray(b, np.int64) * 1024
    return sat16((acc + 64) >> 7)


def linear_accumulate(y, x, w, b):
    acc = np.asarray(x, np.float64) @ np.asarray(w, np.float64).T
    acc = acc.astype(np.int64) + np.asarray(b, np.int64) * 1024
    return sat16(y + ((acc + 64) >> 7))


def normalize_quantize(x, eps):
    """x [T, F] float32 -> Q10 int64, sums in frame order."""
    x = np.asarray(x, F32)
    n = x.shape[0]
    s = np.zeros(x.shape[1:], F32)
    for t in range(n):
        s = s + x[t]
    mean = s / F32(n)
    s = np.zeros(x.shape[1:], F32)
    for t in range(n):
        d = x[t] - mean
        s = s + d * d
    var = s / F32(n)
    inv = F32(1.0) / np.sqrt(var + F32(eps))
    v = ((x - mean) * inv) * F32(1024.0)
    out = np.trunc(np.clip(v, -32768, 32767)).astype(np.int64)
    return out


def normalize_quantize_batch(x, eps):
    """x [B, T, F] -> [B, T, F] Q10 (the same per window)."""
    x = np.asarray(x, F32)
    n = x.shape[1]
    s = np.zeros((x.shape[0], x.shape[2]), F32)
    for t in range(n):
        s = s + x[:, t]
    mean = s / F32(n)
    s = np.zeros_like(mean)
    for t in range(n):
        d = x[:, t] - mean
        s = s + d * d
    var = s / F32(n)
    inv = F32(1.0) / np.sqrt(var + F32(eps))
    v = ((x - mean[:, None]) * inv[:, None]) * F32(1024.0)
    return np.trunc(np.clip(v, -32768, 32767)).astype(np.int64)


def standardize(x, mean, scale):
    return sat16(((np.asarray(x, np.int64) - mean) * scale) >> 10)


def sum_pool(x):
    """[..., T, C] Q10 -> [..., C] float32."""
    return (np.asarray(x, np.int64).sum(axis=-2).astype(F32) * F32(2.0 ** -10)).astype(F32)


def softmax_q31(x):
    x = np.asarray(x, np.int64)
    m = np.maximum(x.max(axis=-1, keepdims=True), -32768)
    d = x - m
    g = np.minimum(-d, 16383)
    p = np.minimum((SOFTMAX_FINE[g & 127] * SOFTMAX_COARSE[g >> 7] + (1 << 30)) >> 31, 2 ** 31 - 1)
    p = np.where(d < -32767, 242, p)
    s = p.sum(axis=-1, keepdims=True)
    f = np.clip((1 << 62) // s, -(1 << 31), (1 << 31) - 1)
    # p * f < 2^62: fits int64
    return np.minimum((p * f + (1 << 30)) >> 31, 2 ** 31 - 1)


# ---------------------------------------------------------------- networks

class SpeakerNet:
    """Quantised speaker network as stored in a model file."""

    def __init__(self, fwd, bwd, projection, norm_epsilon):
        self.fwd = fwd            # list of (H, I, w int8 [3H, H+I], b int8 [3H])
        self.bwd = bwd
        self.projection = projection   # float32 [R, C] or None
        self.norm_epsilon = float(norm_epsilon)

    @staticmethod
    def _direction(x, layer, reverse):
        H, I, w, b = layer
        B, T, _ = x.shape
        h = np.zeros((B, H), np.int64)
        c = np.zeros((B, H), np.int64)
        out = np.zeros((B, T, H), np.int64)
        steps = range(T - 1, -1, -1) if reverse else range(T)
        for t in steps:
            g = linear(np.concatenate([h, x[:, t]], axis=1), w, b)
            h, c = lstm_cell(g, c)
            out[:, t] = h
        return out

    def embed_features(self, feats):
        """[B, T, F] float32 features -> [B, R] float32 raw embeddings."""
        x = normalize_quantize_batch(feats, self.norm_epsilon)
        for lf, lb in zip(self.fwd, self.bwd):
            x = sat16(self._direction(x, lf, False) + self._direction(x, lb, True))
        pooled = sum_pool(x)
        if self.projection is None:
            return pooled
        return matmul_f32(pooled, self.projection)


def _cpu_has_avx2_fma():
    try:
        with open('/proc/cpuinfo') as fh:
            for line in fh:
                if line.startswith('flags'):
                    flags = line.split()
                    return 'avx2' in flags and 'fma' in flags
    except OSError:
        pass
    return False


# The library's CPU device sums the projection with fused multiply-adds in
# 4 x 8 lanes when the processor has AVX2 and FMA and the column count is a
# multiple of 32; elsewhere in column order.  The emulation follows this machine.
CPU_AVX2_FMA = _cpu_has_avx2_fma()


def fmaf(a, b, c):
    """float32 fused multiply-add, one rounding: a*b is exact in float64, the sum
    is taken exactly (two-sum) and rounded to odd before the float32 rounding."""
    a, b, c = (np.asarray(v, F32).astype(np.float64) for v in (a, b, c))
    p = a * b
    s = p + c
    bb = s - p
    t = (p - (s - bb)) + (c - bb)
    even = (s.view(np.int64) & 1) == 0
    s = np.where((t != 0) & even, np.nextafter(s, s + t), s)
    return s.astype(F32)


def matmul_f32(x, m, fma_path=None):
    """x [..., C] @ m[R, C].T in float32 as the library's MATMUL_F32 computes it."""
    x = np.asarray(x, F32)
    m = np.asarray(m, F32)
    C = m.shape[1]
    if fma_path is None:
        fma_path = CPU_AVX2_FMA
    if fma_path and C % 32 == 0:
        xa = x[..., None, :]                          # [..., 1, C]
        acc = np.zeros(x.shape[:-1] + (m.shape[0], 4, 8), F32)
        for c in range(0, C, 32):
            xs = xa[..., c:c + 32].reshape(x.shape[:-1] + (1, 4, 8))
            ms = m[:, c:c + 32].reshape(m.shape[0], 4, 8)
            acc = fmaf(xs, ms, acc)
        S = (acc[..., 2, :] + acc[..., 3, :]) + (acc[..., 0, :] + acc[..., 1, :])
        U = S[..., :4] + S[..., 4:]
        return (U[..., 0] + U[..., 1]) + (U[..., 2] + U[..., 3])
    s = np.zeros(x.shape[:-1] + (m.shape[0],), F32)
    for c in range(C):
        s = s + x[..., c:c + 1] * m[:, c]
    return s


def l2norm(e):
    """Unit length as the library scales: s = sum of squares in order, g = 1/sqrt(s), e * g."""
    e = np.asarray(e, F32)
    s = np.zeros(e.shape[:-1] + (1,), F32)
    for r in range(e.shape[-1]):
        s = s + e[..., r:r + 1] * e[..., r:r + 1]
    g = F32(1.0) / np.sqrt(s)
    return e * g


def dot_f32(a, b):
    """Sequential float32 dot products of a [..., C] with b [C] (the library's scores)."""
    a = np.asarray(a, F32)
    b = np.asarray(b, F32)
    s = np.zeros(a.shape[:-1], F32)
    for j in range(b.shape[-1]):
        s = s + a[..., j] * b[j]
    return s


class Detector:
    """The built-in voice-activity network; runs B streams in lockstep."""

    def __init__(self, weights):
        self.w = {k: np.asarray(v, np.int64) for k, v in weights.items()}

    def probabilities(self, feats):
        """feats [B, N, 80] int -> [B, N] float voice probabilities."""
        w = self.w
        B, N, _ = feats.shape
        h1 = np.zeros((B, 80), np.int64)
        c1 = np.zeros((B, 80), np.int64)
        h2 = np.zeros((B, 80), np.int64)
        c2 = np.zeros((B, 80), np.int64)
        xs = standardize(feats.reshape(B, N, 2, 40), VAD_MEAN, VAD_SCALE).reshape(B, N, 80)
        probs = np.zeros((B, N))
        for n in range(N):
            g = linear(xs[:, n], w['l1_wx'], w['l1_bx'])
            g = linear_accumulate(g, h1, w['l1_wh'], w['l1_bh'])
            h1, c1 = lstm_cell(g, c1)
            g = linear(h1, w['l2_wx'], w['l2_bx'])
            g = linear_accumulate(g, h2, w['l2_wh'], w['l2_bh'])
            h2, c2 = lstm_cell(g, c2)
            z = linear(h2, w['out_w'], VAD_OUT_BIAS)
            p = softmax_q31(z)
            probs[:, n] = (p[:, 1].astype(F32) * F32(4.656613e-10)).astype(F32)
        return probs


# ---------------------------------------------------------------- window selector

class WindowSelector:
    def __init__(self, window_frames, lookahead_frames, voice_threshold):
        self.W, self.A = window_frames, lookahead_frames
        self.thr = F32(voice_threshold)
        self.seen = 0
        self.probs = []

    def push(self, p):
        L = self.W + self.A
        self.seen += 1
        if len(self.probs) >= L:
            self.probs.pop(0)
        self.probs.append(F32(p))
        if len(self.probs) != L:
            return -1
        s = F32(0)
        for v in self.probs[:self.W]:
            s = F32(s + v)
        if F32(s / F32(self.W)) < self.thr:
            return -1
        run = s
        for i in range(self.A):
            run = F32(F32(run - self.probs[i]) + self.probs[i + self.W])
            if run > s:
                return -1
        self.probs = []
        return self.seen - self.A - 1

    def flush(self):
        W = self.W
        fill = len(self.probs)
        if fill < W:
            return -1
        s = F32(0)
        for v in self.probs[:W]:
            s = F32(s + v)
        if F32(s / F32(W)) < self.thr:
            return -1
        best, bsum, run = 0, s, s
        for i in range(1, fill - W + 1):
            run = F32(F32(run - self.probs[i - 1]) + self.probs[i - 1 + W])
            if run > bsum:
                best, bsum = i, run
        idx = self.seen - fill + best + W - 1
        self.probs = []
        return idx


def select_windows(probs, window_frames, lookahead_frames, voice_threshold):
    """Frame probabilities of one stream -> list of chosen window end frames."""
    sel = WindowSelector(window_frames, lookahead_frames, voice_threshold)
    ends = []
    for p in probs:
        k = sel.push(p)
        if k >= 0:
            ends.append(k)
    k = sel.flush()
    if k >= 0:
        ends.append(k)
    return ends


def score_map(s, thresholds):
    low, mid, high = (float(t) for t in thresholds)
    s = float(s)
    if s <= low:
        return 0.0
    if s >= high:
        return 1.0
    if s <= mid:
        return float(F32(0.5 * (s - low) / (mid - low)))
    return float(F32(0.5 + 0.5 * (s - mid) / (high - mid)))
