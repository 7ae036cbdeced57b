// SSE4.1 code paths of the CPU kernels: 128-bit vectors, unaligned loads and stores.
#include <immintrin.h>

#include "device/cpu_kernels_paths.h"
#include "device/operators.h"

#define KX_SSE41 __attribute__((target("sse4.1")))

using kx_cpu::load;
using kx_cpu::store;

namespace {

KX_SSE41 inline __m128i loadu(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
KX_SSE41 inline void storeu(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
// 8 int8 weights widened to 16 bits.
KX_SSE41 inline __m128i weights8(const int8_t* w) {
    return _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(w)));
}

KX_SSE41 inline uint32_t hsum(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// Dot products of two weight rows with one input, 8 columns per step.
template <bool kTail>
KX_SSE41 void dot2(const uint8_t* x, const int8_t* w0, const int8_t* w1, int64_t k, uint32_t* s0, uint32_t* s1) {
    __m128i a0 = _mm_setzero_si128(), a1 = _mm_setzero_si128();
    int64_t c = 0;
    for (; c + 8 <= k; c += 8) {
        const __m128i xv = loadu(x + 2 * c);
        a0 = _mm_add_epi32(a0, _mm_madd_epi16(weights8(w0 + c), xv));
        a1 = _mm_add_epi32(a1, _mm_madd_epi16(weights8(w1 + c), xv));
    }
    uint32_t r0 = hsum(a0), r1 = hsum(a1);
    if (kTail) {
        for (; c < k; ++c) {
            const int32_t xc = load<int16_t>(x, c);
            r0 += static_cast<uint32_t>(w0[c] * xc);
            r1 += static_cast<uint32_t>(w1[c] * xc);
        }
    }
    *s0 = r0;
    *s1 = r1;
}

template <bool kTail>
KX_SSE41 uint32_t dot1(const uint8_t* x, const int8_t* w, int64_t k) {
    __m128i a = _mm_setzero_si128();
    int64_t c = 0;
    for (; c + 8 <= k; c += 8) a = _mm_add_epi32(a, _mm_madd_epi16(weights8(w + c), loadu(x + 2 * c)));
    uint32_t r = hsum(a);
    if (kTail)
        for (; c < k; ++c) r += static_cast<uint32_t>(w[c] * int32_t{load<int16_t>(x, c)});
    return r;
}

template <bool kTail>
KX_SSE41 void rows(const kx_cpu_linear_block_t* b, uint64_t item) {
    const int64_t m = b->rows, k = b->columns;
    const int64_t step = 2 * static_cast<int64_t>(b->count);
    uint8_t* y = b->out;
    for (int64_t r = 2 * static_cast<int64_t>(item); r + 1 < m; r += step) {
        uint32_t s0, s1;
        dot2<kTail>(b->in, b->weights + r * k, b->weights + (r + 1) * k, k, &s0, &s1);
        kx_cpu::linear_finish(b, y, r, s0);
        kx_cpu::linear_finish(b, y, r + 1, s1);
    }
    if (item == 0 && (m & 1)) kx_cpu::linear_finish(b, y, m - 1, dot1<true>(b->in, b->weights + (m - 1) * k, k));
}

template <bool kTail>
KX_SSE41 void outputs(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->rows, k = b->columns;
    int64_t v = first / m;
    int64_t r = first - v * m;
    for (int64_t i = first; i < last;) {
        const uint8_t* x = b->in + 2 * k * v;
        uint8_t* y = b->out + 2 * m * v;
        if (r + 1 < m && i + 1 < last) {
            uint32_t s0, s1;
            dot2<kTail>(x, b->weights + r * k, b->weights + (r + 1) * k, k, &s0, &s1);
            kx_cpu::linear_finish(b, y, r, s0);
            kx_cpu::linear_finish(b, y, r + 1, s1);
            i += 2;
            r += 2;
        } else {
            kx_cpu::linear_finish(b, y, r, dot1<kTail>(x, b->weights + r * k, k));
            ++i;
            ++r;
        }
        if (r == m) {
            r = 0;
            ++v;
        }
    }
}

// Fixed-point sigmoid of 4 int32 lanes: clamp, table pair T[i], T[i+1], interpolate.
KX_SSE41 inline __m128i sigmoid4(__m128i x) {
    x = _mm_min_epi32(_mm_max_epi32(x, _mm_set1_epi32(-8192)), _mm_set1_epi32(8128));
    const __m128i u = _mm_and_si128(x, _mm_set1_epi32(0x3FFF));
    const __m128i f = _mm_and_si128(u, _mm_set1_epi32(63));
    alignas(16) int32_t index[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(index), _mm_srli_epi32(u, 6));
    int32_t pair[4];
    for (int j = 0; j < 4; ++j) std::memcpy(&pair[j], kx_sigmoid_table + index[j], 4);
    const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pair));
    const __m128i weights = _mm_or_si128(_mm_sub_epi32(_mm_set1_epi32(64), f), _mm_slli_epi32(f, 16));
    return _mm_srai_epi32(_mm_madd_epi16(pairs, weights), 6);
}

KX_SSE41 inline __m128i tanh4(__m128i x) {
    const __m128i s = sigmoid4(_mm_add_epi32(x, x));
    return _mm_sub_epi32(_mm_add_epi32(s, s), _mm_set1_epi32(32768));
}

KX_SSE41 inline __m128i round_shift(__m128i a, __m128i b, int bias, int shift) {
    return _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(a, b), _mm_set1_epi32(bias)), shift);
}

struct CellHalf {
    __m128i cell, t, o, hidden;
};

KX_SSE41 inline CellHalf cell4(__m128i gi, __m128i gc, __m128i go, __m128i c) {
    const __m128i i = sigmoid4(gi);
    const __m128i g = tanh4(gc);
    CellHalf r;
    r.o = sigmoid4(go);
    r.cell = _mm_add_epi32(round_shift(c, _mm_sub_epi32(_mm_set1_epi32(32767), i), 16384, 15),
                           round_shift(i, g, 524288, 20));
    r.cell = _mm_min_epi32(_mm_max_epi32(r.cell, _mm_set1_epi32(-32768)), _mm_set1_epi32(32767));
    r.t = tanh4(r.cell);
    r.hidden = round_shift(r.t, r.o, 524288, 20);
    return r;
}

// 8 lanes of the cell; pointers at lane k of each operand.
KX_SSE41 void cell8(uint8_t* hidden, uint8_t* cell, uint8_t* gi, const uint8_t* gc, uint8_t* go) {
    const __m128i vi = loadu(gi), vc = loadu(gc), vo = loadu(go), vcell = loadu(cell);
    const CellHalf lo = cell4(_mm_cvtepi16_epi32(vi), _mm_cvtepi16_epi32(vc), _mm_cvtepi16_epi32(vo),
                              _mm_cvtepi16_epi32(vcell));
    const CellHalf hi = cell4(_mm_cvtepi16_epi32(_mm_srli_si128(vi, 8)), _mm_cvtepi16_epi32(_mm_srli_si128(vc, 8)),
                              _mm_cvtepi16_epi32(_mm_srli_si128(vo, 8)), _mm_cvtepi16_epi32(_mm_srli_si128(vcell, 8)));
    storeu(cell, _mm_packs_epi32(lo.cell, hi.cell));
    storeu(gi, _mm_packs_epi32(lo.t, hi.t));
    storeu(go, _mm_packs_epi32(lo.o, hi.o));
    storeu(hidden, _mm_packs_epi32(lo.hidden, hi.hidden));
}

KX_SSE41 inline int16_t hmax16(__m128i v) {
    v = _mm_max_epi16(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_max_epi16(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    v = _mm_max_epi16(v, _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<int16_t>(_mm_extract_epi16(v, 0));
}

// (p * f + 2^30) >> 31 for 4 lanes of p in [0, 2^31) and f in [0, 2^31); the result
// stays below 2^31, so the reference's clamp to 2^31 - 1 never applies.
KX_SSE41 inline __m128i scale_q31(__m128i p, __m128i f) {
    const __m128i half = _mm_set1_epi64x(int64_t{1} << 30);
    const __m128i even = _mm_srli_epi64(_mm_add_epi64(_mm_mul_epu32(p, f), half), 31);
    const __m128i odd = _mm_srli_epi64(_mm_add_epi64(_mm_mul_epu32(_mm_srli_epi64(p, 32), f), half), 31);
    return _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC);
}

}  // namespace

KX_SSE41 void kx_cpu_add_sse41(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n) {
    for (int64_t k = 0; k < n; k += 8) storeu(out + 2 * k, _mm_adds_epi16(loadu(a + 2 * k), loadu(b + 2 * k)));
}

KX_SSE41 void kx_cpu_linear_rows_sse41(const kx_cpu_linear_block_t* b, uint64_t item) {
    if (b->columns % 16 == 0 && b->rows % 2 == 0)
        rows<false>(b, item);
    else
        rows<true>(b, item);
}

KX_SSE41 void kx_cpu_linear_outputs_sse41(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    if (b->columns % 8 == 0)
        outputs<false>(b, first, last);
    else
        outputs<true>(b, first, last);
}

KX_SSE41 void kx_cpu_lstm_sse41(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n) {
    kx_cpu::cell_lanes<8>(b, first, n, b->size % 8 == 0 && n % 8 == 0, cell8);
}

KX_SSE41 void kx_cpu_softmax_sse41(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last) {
    const int64_t length = b->length;
    for (int64_t row = first; row < last; ++row) {
        const uint8_t* x = b->in + 2 * length * row;
        uint8_t* y = b->out + 4 * length * row;
        __m128i vmax = _mm_set1_epi16(-32768);
        for (int64_t j = 0; j < length; j += 8) vmax = _mm_max_epi16(vmax, loadu(x + 2 * j));
        const __m128i max = _mm_set1_epi32(hmax16(vmax));
        // g = min(max - x, 16383); a difference below -32767 also lands on 16383,
        // whose table value is the 242 the reference stores for it.
        int64_t sum = 0;
        for (int64_t j = 0; j < length; j += 4) {
            const __m128i xv = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * j)));
            const __m128i g = _mm_min_epi32(_mm_sub_epi32(max, xv), _mm_set1_epi32(16383));
            alignas(16) int32_t gs[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(gs), g);
            for (int l = 0; l < 4; ++l) {
                const int64_t p = kx_softmax_exponent(gs[l]);
                store<int32_t>(y, j + l, static_cast<int32_t>(p));
                sum += p;
            }
        }
        int64_t f = (int64_t{1} << 62) / sum;
        if (f > 2147483647) f = 2147483647;
        const __m128i fv = _mm_set1_epi64x(f);
        for (int64_t j = 0; j < length; j += 4) storeu(y + 4 * j, scale_q31(loadu(y + 4 * j), fv));
    }
}

KX_SSE41 void kx_cpu_standardize_sse41(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->width;
    for (int64_t t = first; t < last; ++t) {
        const uint8_t* x = b->in + 2 * m * t;
        uint8_t* y = b->out + 2 * m * t;
        for (int64_t f = 0; f < m; f += 8) {
            // The difference is taken in 32 bits: it may exceed the 16-bit range.
            const __m128i xv = loadu(x + 2 * f), mv = loadu(b->mean + 2 * f), sv = loadu(b->scale + 2 * f);
            const __m128i lo = _mm_srai_epi32(
                _mm_mullo_epi32(_mm_sub_epi32(_mm_cvtepi16_epi32(xv), _mm_cvtepi16_epi32(mv)), _mm_cvtepi16_epi32(sv)),
                10);
            const __m128i hi = _mm_srai_epi32(_mm_mullo_epi32(_mm_sub_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(xv, 8)),
                                                                            _mm_cvtepi16_epi32(_mm_srli_si128(mv, 8))),
                                                              _mm_cvtepi16_epi32(_mm_srli_si128(sv, 8))),
                                              10);
            storeu(y + 2 * f, _mm_packs_epi32(lo, hi));
        }
    }
}
