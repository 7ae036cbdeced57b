"""PyTorch versions of the engine's networks for (quantisation-aware) training.

With quant=True the forward pass runs on the engine's grids: int8 weights with
7 fraction bits, Q10 activations with saturation, the table sigmoid/tanh and
the cell's rounding; gradients pass straight through the rounding.  The
integer emulation in kxemu.py stays the bit-exact reference.
"""
import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

import kxemu

W_MIN, W_MAX = -1.0, 127.0 / 128.0
_SIG = torch.tensor(kxemu.SIGMOID_TABLE, dtype=torch.float32)


def ste(x, q):
    """Value of q, gradient of x."""
    return x + (q - x).detach()


def quant_weight(w):
    return ste(w, torch.clamp(torch.round(w * 128.0), -128, 127) / 128.0)


def quant_q10(x):
    q = torch.clamp(torch.floor(x * 1024.0 + 0.5), -32768, 32767) / 1024.0
    return ste(x, q)


def fsig(x):
    return torch.sigmoid(x)


def ftanh(x):
    # Debian's torch tanh is slow on CPU
    return 2.0 * torch.sigmoid(2.0 * x) - 1.0


def table_sigmoid(x):
    """x real (on the Q10 grid) -> table sigmoid value, straight-through."""
    with torch.no_grad():
        xi = torch.clamp(torch.round(x * 1024.0), -8192, 8128).long()
        u = xi & 0x3FFF
        i = u >> 6
        f = (u & 63).float()
        j = (u + 63) >> 6
        t = _SIG.to(x.device)
        q = torch.floor((t[i] * (64 - f) + t[j] * f) / 64.0) / 32768.0
    return ste(torch.sigmoid(x), q)


def table_tanh(x):
    with torch.no_grad():
        y = torch.clamp(2.0 * x, -32.0, 32767.0 / 1024.0)
    s = table_sigmoid(ste(2.0 * x, y))
    return 2.0 * s - 1.0


def clip_(module):
    """Keep every int8-stored parameter representable."""
    with torch.no_grad():
        for name, p in module.named_parameters():
            if not name.startswith("proj"):
                p.clamp_(W_MIN, W_MAX)


def q15_round(x):
    return ste(x, torch.floor(x * 32768.0) / 32768.0)


class CellMath:
    """One coupled-gate step given gate inputs.

    quant False: float cell.  quant True: Q10 rounding of gates, cell and
    hidden state with float nonlinearities (cheap enough to train with).
    quant "exact": additionally the table sigmoid/tanh (slow; for checks).
    """

    def __init__(self, quant):
        self.quant = quant

    def __call__(self, gates, c, H):
        if self.quant == "exact":
            gates = quant_q10(gates)
            i = table_sigmoid(gates[:, :H])
            g = table_tanh(gates[:, H:2 * H])
            o = table_sigmoid(gates[:, 2 * H:])
            c = quant_q10(c * (1.0 - i) + i * g)
            c = torch.clamp(c, -32.0, 32767.0 / 1024.0)
            return quant_q10(table_tanh(c) * o), c
        if self.quant:
            gates = quant_q10(gates)
        i = fsig(gates[:, :H])
        g = ftanh(gates[:, H:2 * H])
        o = fsig(gates[:, 2 * H:])
        c = c - c * i + i * g
        h = ftanh(c) * o
        if self.quant:
            c = quant_q10(c)
            h = quant_q10(h)
        return h, c


def _q10_(x):
    # Q10 grid, in place: floor(x*1024+0.5)/1024 saturated
    return x.mul_(1024.0).add_(0.5).floor_().clamp_(-32768, 32767).div_(1024.0)


class CellSequence(torch.autograd.Function):
    """One recurrent direction over a whole sequence, time-major.

    x [T, B, I], wh [3H, H], wx [3H, I], b [3H] -> h [T, B, H].
    Same values as the step-by-step chain; the backward pass is written out
    (straight-through on the Q10 rounding when quant)."""

    @staticmethod
    def forward(ctx, x, wh, wx, b, reverse, quant):
        T, B, I = x.shape
        H = wh.shape[1]
        xp = torch.addmm(b, x.reshape(T * B, I), wx.t()).view(T, B, 3 * H)
        sc = torch.ones(3 * H, dtype=x.dtype)
        sc[H:2 * H] = 2.0
        S = x.new_empty(T, B, 3 * H)     # sigmoid(sc * gates)
        TC = x.new_empty(T, B, H)        # tanh(c) before rounding
        C = x.new_empty(T + 1, B, H)     # cell entering each step (processing order)
        out = x.new_empty(T, B, H)
        C[0].zero_()
        h = x.new_zeros(B, H)
        whT = wh.t()
        order = range(T - 1, -1, -1) if reverse else range(T)
        g = x.new_empty(B, 3 * H)
        for k, t in enumerate(order):
            torch.addmm(xp[t], h, whT, out=g)
            if quant:
                _q10_(g)
            s = S[t]
            torch.sigmoid(g.mul_(sc), out=s)
            i, gg, o = s[:, :H], s[:, H:2 * H] * 2.0 - 1.0, s[:, 2 * H:]
            c = C[k]
            cn = C[k + 1]
            torch.addcmul(c - c * i, i, gg, out=cn)
            tc = TC[t]
            torch.sigmoid(cn * 2.0, out=tc).mul_(2.0).sub_(1.0)
            h = out[t]
            torch.mul(tc, o, out=h)
            if quant:
                _q10_(cn)
                _q10_(h)
        ctx.save_for_backward(x, wh, wx, S, TC, C, out)
        ctx.reverse = reverse
        return out

    @staticmethod
    def backward(ctx, dout):
        x, wh, wx, S, TC, C, out = ctx.saved_tensors
        T, B, I = x.shape
        H = wh.shape[1]
        reverse = ctx.reverse
        dG = x.new_empty(T, B, 3 * H)
        Hprev = x.new_zeros(T, B, H)     # h entering each step, by time index
        if reverse:
            Hprev[:-1] = out[1:]
        else:
            Hprev[1:] = out[:-1]
        dh = x.new_zeros(B, H)
        dc = x.new_zeros(B, H)
        order = list(range(T - 1, -1, -1) if reverse else range(T))
        for k in range(T - 1, -1, -1):
            t = order[k]
            s = S[t]
            i, sg, o = s[:, :H], s[:, H:2 * H], s[:, 2 * H:]
            tc = TC[t]
            dh = dh + dout[t]
            d = dG[t]
            # output gate and cell through h = tanh(c) * o
            torch.mul(dh, tc, out=d[:, 2 * H:])
            dc = torch.addcmul(dc, dh * o, 1.0 - tc * tc)
            cp = C[k]
            gg = sg * 2.0 - 1.0
            torch.mul(dc, gg - cp, out=d[:, :H])
            torch.mul(dc, i, out=d[:, H:2 * H]).mul_(4.0)   # gg = 2 sigmoid(2 g) - 1
            dc = dc - dc * i
            d.mul_(s * (1.0 - s))       # through the sigmoids (and straight through the rounding)
            dh = torch.mm(d, wh)
        dGf = dG.view(T * B, 3 * H)
        dwh = torch.mm(dGf.t(), Hprev.view(T * B, H))
        dwx = torch.mm(dGf.t(), x.reshape(T * B, I))
        db = dGf.sum(0)
        dx = torch.mm(dGf, wx).view(T, B, I)
        return dx, dwh, dwx, db, None, None


# ---------------------------------------------------------------- speaker network

class Direction(nn.Module):
    def __init__(self, I, H):
        super().__init__()
        self.H, self.I = H, I
        k = 1.0 / np.sqrt(H + I)
        self.w = nn.Parameter(torch.empty(3 * H, H + I).uniform_(-k, k))
        self.b = nn.Parameter(torch.zeros(3 * H))
        with torch.no_grad():
            self.b[:H] = -0.5        # keep more of the cell early on

    def forward(self, x, reverse, quant):
        """x [B, T, I] -> [B, T, H]."""
        H = self.H
        w = quant_weight(self.w) if quant else self.w
        b = quant_weight(self.b) if quant else self.b
        wh, wx = w[:, :H], w[:, H:]
        xp = torch.matmul(x, wx.t()) + b
        steps = list(torch.unbind(xp, dim=1))
        B = x.shape[0]
        h = x.new_zeros(B, H)
        c = x.new_zeros(B, H)
        cell = CellMath(quant)
        out = [None] * len(steps)
        order = range(len(steps) - 1, -1, -1) if reverse else range(len(steps))
        for t in order:
            g = steps[t] + torch.matmul(h, wh.t())
            h, c = cell(g, c, H)
            out[t] = h
        return torch.stack(out, dim=1)

    def sequence(self, x, reverse, quant):
        """x [T, B, I] -> [T, B, H], the same values as forward() with one graph node."""
        H = self.H
        w = quant_weight(self.w) if quant else self.w
        b = quant_weight(self.b) if quant else self.b
        return CellSequence.apply(x, w[:, :H], w[:, H:], b, reverse, bool(quant))


class SpeakerNet(nn.Module):
    def __init__(self, bands=40, hidden=(64, 64), emb=128, norm_epsilon=1e-3):
        super().__init__()
        self.norm_epsilon = norm_epsilon
        sizes = [bands] + list(hidden)
        self.fwd = nn.ModuleList([Direction(sizes[i], sizes[i + 1]) for i in range(len(hidden))])
        self.bwd = nn.ModuleList([Direction(sizes[i], sizes[i + 1]) for i in range(len(hidden))])
        self.proj = nn.Parameter(torch.randn(emb, hidden[-1]) / np.sqrt(hidden[-1]))
        self.quant = False
        self.fast = True    # whole-sequence cells; False: the step-by-step reference chain

    def normalize(self, feats):
        m = feats.mean(dim=1, keepdim=True)
        v = ((feats - m) ** 2).mean(dim=1, keepdim=True)
        x = (feats - m) / torch.sqrt(v + self.norm_epsilon)
        if self.quant:
            x = ste(x, torch.clamp(torch.trunc(x * 1024.0), -32768, 32767) / 1024.0)
        return x

    def forward(self, feats):
        """feats [B, T, F] float -> [B, emb] (not normalised)."""
        x = self.normalize(feats)
        if self.fast and self.quant != "exact":
            x = x.transpose(0, 1).contiguous()      # time-major for the whole-sequence cells
            for f, b in zip(self.fwd, self.bwd):
                x = f.sequence(x, False, self.quant) + b.sequence(x, True, self.quant)
                if self.quant:
                    x = torch.clamp(x, -32.0, 32767.0 / 1024.0)
            pooled = x.sum(dim=0)
        else:
            for f, b in zip(self.fwd, self.bwd):
                x = f(x, False, self.quant) + b(x, True, self.quant)
                if self.quant:
                    x = torch.clamp(x, -32.0, 32767.0 / 1024.0)
            pooled = x.sum(dim=1)
        return torch.matmul(pooled, self.proj.t())

    def load_model(self, m):
        """Weights of a kxformat.Model of the same shape (int8 values back on their grid)."""
        with torch.no_grad():
            for mine, theirs in ((self.fwd, m.fwd), (self.bwd, m.bwd)):
                for d, (H, I, w, b) in zip(mine, theirs):
                    if (H, I) != (d.H, d.I):
                        raise ValueError("layer shape %s differs from the model's %s" % ((d.H, d.I), (H, I)))
                    d.w.copy_(torch.from_numpy(w.astype(np.float32) / 128.0))
                    d.b.copy_(torch.from_numpy(b.astype(np.float32) / 128.0))
            self.proj.copy_(torch.from_numpy(m.projection))

    def widen_from(self, narrow):
        """Start from a network with the same layer count and fewer units per layer.

        The narrow network's weights fill the leading units, which read nothing from
        the new ones; the new units keep their fresh weights, and the projection starts
        at zero for them, so the wider network computes the same embedding until
        training moves it."""
        if len(narrow.fwd) != len(self.fwd) or narrow.proj.shape[0] != self.proj.shape[0]:
            raise ValueError("layer count or embedding size differs")
        with torch.no_grad():
            for mine, theirs in ((self.fwd, narrow.fwd), (self.bwd, narrow.bwd)):
                for d, n in zip(mine, theirs):
                    if n.H > d.H or n.I > d.I:
                        raise ValueError("layer %s is wider than %s" % ((n.H, n.I), (d.H, d.I)))
                    for k in range(3):
                        rows, old = slice(k * d.H, k * d.H + n.H), slice(k * n.H, (k + 1) * n.H)
                        d.w[rows] = 0.0
                        d.w[rows, :n.H] = n.w[old, :n.H]
                        d.w[rows, d.H:d.H + n.I] = n.w[old, n.H:]
                        d.b[rows] = n.b[old]
            self.proj.zero_()
            self.proj[:, :narrow.proj.shape[1]] = narrow.proj

    def export_layers(self):
        def q(p):
            return np.clip(np.round(p.detach().cpu().numpy() * 128.0), -128, 127).astype(np.int8)
        fwd = [(d.H, d.I, q(d.w), q(d.b)) for d in self.fwd]
        bwd = [(d.H, d.I, q(d.w), q(d.b)) for d in self.bwd]
        return fwd, bwd, self.proj.detach().cpu().numpy().astype(np.float32)


class AAMSoftmax(nn.Module):
    def __init__(self, emb, classes, margin=0.2, scale=30.0):
        super().__init__()
        self.w = nn.Parameter(torch.randn(classes, emb) * 0.01)
        self.m, self.s = margin, scale

    def forward(self, e, y):
        cos = F.linear(F.normalize(e), F.normalize(self.w)).clamp(-1 + 1e-6, 1 - 1e-6)
        th = torch.acos(cos)
        target = torch.cos(th + self.m)
        onehot = F.one_hot(y, cos.shape[1]).bool()
        logits = torch.where(onehot, target, cos) * self.s
        return F.cross_entropy(logits, y), (cos.argmax(1) == y).float().mean()


# ---------------------------------------------------------------- detector

class DetectorLayer(nn.Module):
    def __init__(self, I, H=80):
        super().__init__()
        k = 1.0 / np.sqrt(H + I)
        self.H = H
        self.wx = nn.Parameter(torch.empty(3 * H, I).uniform_(-k, k))
        self.bx = nn.Parameter(torch.zeros(3 * H))
        self.wh = nn.Parameter(torch.empty(3 * H, H).uniform_(-k, k))
        self.bh = nn.Parameter(torch.zeros(3 * H))

    def forward(self, x, quant):
        H = self.H
        qw = quant_weight if quant else (lambda t: t)
        wx, bx, wh, bh = qw(self.wx), qw(self.bx), qw(self.wh), qw(self.bh)
        xp = torch.matmul(x, wx.t()) + bx
        if quant:
            xp = quant_q10(xp)
        steps = torch.unbind(xp, dim=1)
        B = x.shape[0]
        h = x.new_zeros(B, H)
        c = x.new_zeros(B, H)
        cell = CellMath(quant)
        out = []
        for s in steps:
            r = torch.matmul(h, wh.t()) + bh
            if quant:
                r = quant_q10(r)
            h, c = cell(s + r, c, H)
            out.append(h)
        return torch.stack(out, dim=1)


class Detector(nn.Module):
    """80 standardised inputs -> P(speech) per frame."""

    def __init__(self):
        super().__init__()
        self.l1 = DetectorLayer(80)
        self.l2 = DetectorLayer(80)
        self.out_w = nn.Parameter(torch.randn(2, 80) * 0.05)
        self.register_buffer("out_b", torch.tensor([127.0 / 128.0, -1.0]))
        self.quant = False

    def forward(self, x):
        """x [B, N, 80] standardised features (real units) -> logits [B, N, 2]."""
        h = self.l2(self.l1(x, self.quant), self.quant)
        w = quant_weight(self.out_w) if self.quant else self.out_w
        z = torch.matmul(h, w.t()) + self.out_b
        if self.quant:
            z = quant_q10(z)
        return z

    def params(self):
        return {"l1_wx": self.l1.wx, "l1_bx": self.l1.bx, "l1_wh": self.l1.wh, "l1_bh": self.l1.bh,
                "l2_wx": self.l2.wx, "l2_bx": self.l2.bx, "l2_wh": self.l2.wh, "l2_bh": self.l2.bh,
                "out_w": self.out_w}

    def load_int8(self, weights):
        with torch.no_grad():
            for k, p in self.params().items():
                p.copy_(torch.from_numpy(np.asarray(weights[k], np.float32) / 128.0))

    def export(self):
        def q(p):
            return np.clip(np.round(p.detach().cpu().numpy() * 128.0), -128, 127).astype(np.int8)
        return {"l1_wx": q(self.l1.wx), "l1_bx": q(self.l1.bx), "l1_wh": q(self.l1.wh),
                "l1_bh": q(self.l1.bh), "l2_wx": q(self.l2.wx), "l2_bx": q(self.l2.bx),
                "l2_wh": q(self.l2.wh), "l2_bh": q(self.l2.bh), "out_w": q(self.out_w)}
