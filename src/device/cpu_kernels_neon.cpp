// NEON code paths of the CPU kernels (32-bit ARM and AArch64): 128-bit vectors.
// Every load and store goes through byte vectors, which need no alignment.
#include <arm_neon.h>

#include "device/cpu_kernels_paths.h"
#include "device/operators.h"

using kx_cpu::load;
using kx_cpu::store;

namespace {

inline int16x8_t load16(const uint8_t* p) { return vreinterpretq_s16_u8(vld1q_u8(p)); }
inline int32x4_t load32(const uint8_t* p) { return vreinterpretq_s32_u8(vld1q_u8(p)); }
inline void store16(uint8_t* p, int16x8_t v) { vst1q_u8(p, vreinterpretq_u8_s16(v)); }
inline void store32(uint8_t* p, int32x4_t v) { vst1q_u8(p, vreinterpretq_u8_s32(v)); }

inline uint32_t hsum(int32x4_t v) {
    const int32x2_t pair = vadd_s32(vget_low_s32(v), vget_high_s32(v));
    return static_cast<uint32_t>(vget_lane_s32(vpadd_s32(pair, pair), 0));
}

// acc + w·x over 8 columns: int8 weights widened to 16 bits, products summed in
// 32-bit lanes that wrap like the reference's sum.
inline int32x4_t madd8(int32x4_t acc, const int8_t* w, int16x8_t x) {
    const int16x8_t wv = vmovl_s8(vld1_s8(w));
    acc = vmlal_s16(acc, vget_low_s16(wv), vget_low_s16(x));
    return vmlal_s16(acc, vget_high_s16(wv), vget_high_s16(x));
}

// Dot products of two weight rows with one input, 8 columns per step.
void dot2(const uint8_t* x, const int8_t* w0, const int8_t* w1, int64_t k, uint32_t* s0, uint32_t* s1) {
    int32x4_t a0 = vdupq_n_s32(0), a1 = vdupq_n_s32(0);
    int64_t c = 0;
    for (; c + 8 <= k; c += 8) {
        const int16x8_t xv = load16(x + 2 * c);
        a0 = madd8(a0, w0 + c, xv);
        a1 = madd8(a1, w1 + c, xv);
    }
    uint32_t r0 = hsum(a0), r1 = hsum(a1);
    for (; c < k; ++c) {
        const int32_t xc = load<int16_t>(x, c);
        r0 += static_cast<uint32_t>(w0[c] * xc);
        r1 += static_cast<uint32_t>(w1[c] * xc);
    }
    *s0 = r0;
    *s1 = r1;
}

uint32_t dot1(const uint8_t* x, const int8_t* w, int64_t k) {
    int32x4_t a = vdupq_n_s32(0);
    int64_t c = 0;
    for (; c + 8 <= k; c += 8) a = madd8(a, w + c, load16(x + 2 * c));
    uint32_t r = hsum(a);
    for (; c < k; ++c) r += static_cast<uint32_t>(w[c] * int32_t{load<int16_t>(x, c)});
    return r;
}

// Fixed-point sigmoid of 4 int32 lanes: clamp, table pair T[i], T[i+1], interpolate
// as (T[i]·(64 - f) + T[i+1]·f) >> 6.
inline int32x4_t sigmoid4(int32x4_t x) {
    x = vminq_s32(vmaxq_s32(x, vdupq_n_s32(-8192)), vdupq_n_s32(8128));
    const int32x4_t u = vandq_s32(x, vdupq_n_s32(0x3FFF));
    const int32x4_t f = vandq_s32(u, vdupq_n_s32(63));
    int32_t index[4], t0[4], t1[4];
    vst1q_s32(index, vshrq_n_s32(u, 6));
    for (int j = 0; j < 4; ++j) {
        t0[j] = kx_sigmoid_table[index[j]];
        t1[j] = kx_sigmoid_table[index[j] + 1];
    }
    const int32x4_t mix = vmlaq_s32(vmulq_s32(vld1q_s32(t0), vsubq_s32(vdupq_n_s32(64), f)), vld1q_s32(t1), f);
    return vshrq_n_s32(mix, 6);
}

inline int32x4_t tanh4(int32x4_t x) {
    const int32x4_t s = sigmoid4(vaddq_s32(x, x));
    return vsubq_s32(vaddq_s32(s, s), vdupq_n_s32(32768));
}

template <int kShift>
inline int32x4_t round_shift(int32x4_t a, int32x4_t b, int32_t bias) {
    return vshrq_n_s32(vaddq_s32(vmulq_s32(a, b), vdupq_n_s32(bias)), kShift);
}

struct CellHalf {
    int32x4_t cell, t, o, hidden;
};

inline CellHalf cell4(int32x4_t gi, int32x4_t gc, int32x4_t go, int32x4_t c) {
    const int32x4_t i = sigmoid4(gi);
    const int32x4_t g = tanh4(gc);
    CellHalf r;
    r.o = sigmoid4(go);
    r.cell = vaddq_s32(round_shift<15>(c, vsubq_s32(vdupq_n_s32(32767), i), 16384), round_shift<20>(i, g, 524288));
    r.cell = vminq_s32(vmaxq_s32(r.cell, vdupq_n_s32(-32768)), vdupq_n_s32(32767));
    r.t = tanh4(r.cell);
    r.hidden = round_shift<20>(r.t, r.o, 524288);
    return r;
}

inline int16x8_t pack(int32x4_t lo, int32x4_t hi) { return vcombine_s16(vqmovn_s32(lo), vqmovn_s32(hi)); }

// 8 lanes of the cell; pointers at lane k of each operand.
void cell8(uint8_t* hidden, uint8_t* cell, uint8_t* gi, const uint8_t* gc, uint8_t* go) {
    const int16x8_t vi = load16(gi), vc = load16(gc), vo = load16(go), vcell = load16(cell);
    const CellHalf lo = cell4(vmovl_s16(vget_low_s16(vi)), vmovl_s16(vget_low_s16(vc)), vmovl_s16(vget_low_s16(vo)),
                              vmovl_s16(vget_low_s16(vcell)));
    const CellHalf hi = cell4(vmovl_s16(vget_high_s16(vi)), vmovl_s16(vget_high_s16(vc)),
                              vmovl_s16(vget_high_s16(vo)), vmovl_s16(vget_high_s16(vcell)));
    store16(cell, pack(lo.cell, hi.cell));
    store16(gi, pack(lo.t, hi.t));
    store16(go, pack(lo.o, hi.o));
    store16(hidden, pack(lo.hidden, hi.hidden));
}

inline int16_t hmax16(int16x8_t v) {
    int16x4_t m = vmax_s16(vget_low_s16(v), vget_high_s16(v));
    m = vpmax_s16(m, m);
    m = vpmax_s16(m, m);
    return vget_lane_s16(m, 0);
}

// (p·f + 2^30) >> 31 for 4 lanes of p in [0, 2^31) and f in [0, 2^31); the result
// stays below 2^31, so the reference's clamp to 2^31 - 1 never applies.
inline int32x4_t scale_q31(int32x4_t p, uint32_t f) {
    const uint32x4_t pu = vreinterpretq_u32_s32(p);
    const uint32x2_t fv = vdup_n_u32(f);
    const uint64x2_t half = vdupq_n_u64(uint64_t{1} << 30);
    const uint32x2_t lo = vshrn_n_u64(vaddq_u64(vmull_u32(vget_low_u32(pu), fv), half), 31);
    const uint32x2_t hi = vshrn_n_u64(vaddq_u64(vmull_u32(vget_high_u32(pu), fv), half), 31);
    return vreinterpretq_s32_u32(vcombine_u32(lo, hi));
}

}  // namespace

void kx_cpu_add_neon(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n) {
    for (int64_t k = 0; k < n; k += 8) store16(out + 2 * k, vqaddq_s16(load16(a + 2 * k), load16(b + 2 * k)));
}

void kx_cpu_linear_rows_neon(const kx_cpu_linear_block_t* b, uint64_t item) {
    const int64_t m = b->rows, k = b->columns;
    const int64_t step = 2 * static_cast<int64_t>(b->count);
    for (int64_t r = 2 * static_cast<int64_t>(item); r + 1 < m; r += step) {
        uint32_t s0, s1;
        dot2(b->in, b->weights + r * k, b->weights + (r + 1) * k, k, &s0, &s1);
        kx_cpu::linear_finish(b, b->out, r, s0);
        kx_cpu::linear_finish(b, b->out, r + 1, s1);
    }
    if (item == 0 && (m & 1)) kx_cpu::linear_finish(b, b->out, m - 1, dot1(b->in, b->weights + (m - 1) * k, k));
}

void kx_cpu_linear_outputs_neon(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->rows, k = b->columns;
    for (int64_t i = first; i < last; ++i) {
        const int64_t v = i / m, r = i - v * m;
        kx_cpu::linear_finish(b, b->out + 2 * m * v, r, dot1(b->in + 2 * k * v, b->weights + r * k, k));
    }
}

void kx_cpu_lstm_neon(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n) {
    kx_cpu::cell_lanes<8>(b, first, n, b->size % 8 == 0 && n % 8 == 0, cell8);
}

void kx_cpu_softmax_neon(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last) {
    const int64_t length = b->length;
    for (int64_t row = first; row < last; ++row) {
        const uint8_t* x = b->in + 2 * length * row;
        uint8_t* y = b->out + 4 * length * row;
        int16x8_t vmax = vdupq_n_s16(-32768);
        for (int64_t j = 0; j < length; j += 8) vmax = vmaxq_s16(vmax, load16(x + 2 * j));
        const int32x4_t max = vdupq_n_s32(hmax16(vmax));
        // g = min(max - x, 16383); a difference below -32767 also lands on 16383,
        // whose table value is the 242 the reference stores for it.
        int64_t sum = 0;
        for (int64_t j = 0; j < length; j += 8) {
            const int16x8_t xv = load16(x + 2 * j);
            int32_t gs[8];
            vst1q_s32(gs, vminq_s32(vsubq_s32(max, vmovl_s16(vget_low_s16(xv))), vdupq_n_s32(16383)));
            vst1q_s32(gs + 4, vminq_s32(vsubq_s32(max, vmovl_s16(vget_high_s16(xv))), vdupq_n_s32(16383)));
            for (int l = 0; l < 8; ++l) {
                const int64_t p = kx_softmax_exponent(gs[l]);
                store<int32_t>(y, j + l, static_cast<int32_t>(p));
                sum += p;
            }
        }
        int64_t f = (int64_t{1} << 62) / sum;
        if (f > 2147483647) f = 2147483647;
        for (int64_t j = 0; j < length; j += 4)
            store32(y + 4 * j, scale_q31(load32(y + 4 * j), static_cast<uint32_t>(f)));
    }
}

void kx_cpu_standardize_neon(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->width;
    for (int64_t t = first; t < last; ++t) {
        const uint8_t* x = b->in + 2 * m * t;
        uint8_t* y = b->out + 2 * m * t;
        for (int64_t f = 0; f < m; f += 8) {
            // The difference is taken in 32 bits: it may exceed the 16-bit range.
            const int16x8_t xv = load16(x + 2 * f), mv = load16(b->mean + 2 * f), sv = load16(b->scale + 2 * f);
            const int32x4_t lo = vshrq_n_s32(
                vmulq_s32(vsubl_s16(vget_low_s16(xv), vget_low_s16(mv)), vmovl_s16(vget_low_s16(sv))), 10);
            const int32x4_t hi = vshrq_n_s32(
                vmulq_s32(vsubl_s16(vget_high_s16(xv), vget_high_s16(mv)), vmovl_s16(vget_high_s16(sv))), 10);
            store16(y + 2 * f, pack(lo, hi));
        }
    }
}
