// AVX2 code paths of the CPU kernels: 256-bit vectors, unaligned loads and stores.
// Only the float product uses FMA; it runs only where the processor reports FMA.
#include <immintrin.h>

#include "device/cpu_kernels_paths.h"
#include "device/operators.h"

#define KX_AVX2 __attribute__((target("avx2")))
#define KX_AVX2_FMA __attribute__((target("avx2,fma")))

using kx_cpu::load;
using kx_cpu::store;

namespace {

KX_AVX2 inline __m256i loadu(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
KX_AVX2 inline void storeu(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
KX_AVX2 inline __m128i loadu128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
// 16 int8 weights widened to 16 bits.
KX_AVX2 inline __m256i weights16(const int8_t* w) { return _mm256_cvtepi8_epi16(loadu128(w)); }
KX_AVX2 inline __m128i weights8(const int8_t* w) {
    return _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(w)));
}

// Lane sums of four accumulators: [sum a0, sum a1, sum a2, sum a3].
KX_AVX2 inline __m128i hsum4(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
    const __m256i h = _mm256_hadd_epi32(_mm256_hadd_epi32(a0, a1), _mm256_hadd_epi32(a2, a3));
    return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

// Sums of products of four weight rows with one input, 16 columns per step; each
// loaded input block serves all four rows. The tail variant finishes with one
// 8-column step and single columns.
template <bool kTail>
KX_AVX2 __m128i dot4(const uint8_t* x, const int8_t* w0, const int8_t* w1, const int8_t* w2, const int8_t* w3,
                     int64_t k) {
    __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
    __m256i a2 = _mm256_setzero_si256(), a3 = _mm256_setzero_si256();
    int64_t c = 0;
    for (; c + 16 <= k; c += 16) {
        const __m256i xv = loadu(x + 2 * c);
        a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(weights16(w0 + c), xv));
        a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(weights16(w1 + c), xv));
        a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(weights16(w2 + c), xv));
        a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(weights16(w3 + c), xv));
    }
    if (kTail && c + 8 <= k) {
        const __m128i xv = loadu128(x + 2 * c);
        a0 = _mm256_add_epi32(a0, _mm256_zextsi128_si256(_mm_madd_epi16(weights8(w0 + c), xv)));
        a1 = _mm256_add_epi32(a1, _mm256_zextsi128_si256(_mm_madd_epi16(weights8(w1 + c), xv)));
        a2 = _mm256_add_epi32(a2, _mm256_zextsi128_si256(_mm_madd_epi16(weights8(w2 + c), xv)));
        a3 = _mm256_add_epi32(a3, _mm256_zextsi128_si256(_mm_madd_epi16(weights8(w3 + c), xv)));
        c += 8;
    }
    __m128i s = hsum4(a0, a1, a2, a3);
    if (kTail && c < k) {
        uint32_t t[4] = {};
        for (; c < k; ++c) {
            const int32_t xc = load<int16_t>(x, c);
            t[0] += static_cast<uint32_t>(w0[c] * xc);
            t[1] += static_cast<uint32_t>(w1[c] * xc);
            t[2] += static_cast<uint32_t>(w2[c] * xc);
            t[3] += static_cast<uint32_t>(w3[c] * xc);
        }
        s = _mm_add_epi32(s, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
    }
    return s;
}

// Rounds the sums of rows r0, r0+1 (lanes 0, 1) and r1, r1+1 (lanes 2, 3) into y;
// with pairs = 1 only the first two.
KX_AVX2 inline void finish4(const kx_cpu_linear_block_t* b, uint8_t* y, __m128i s, int64_t r0, int64_t r1,
                            int pairs) {
    const int8_t* bias = b->bias;
    const __m128i bias_q10 = _mm_slli_epi32(_mm_setr_epi32(bias[r0], bias[r0 + 1], bias[r1], bias[r1 + 1]), 10);
    __m128i v = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(s, bias_q10), _mm_set1_epi32(64)), 7);
    if (b->accumulate)
        v = _mm_add_epi32(v, _mm_setr_epi32(load<int16_t>(y, r0), load<int16_t>(y, r0 + 1),
                                            pairs > 1 ? load<int16_t>(y, r1) : 0,
                                            pairs > 1 ? load<int16_t>(y, r1 + 1) : 0));
    const __m128i packed = _mm_packs_epi32(v, v);
    store<int32_t>(y + 2 * r0, 0, _mm_cvtsi128_si32(packed));
    if (pairs > 1) store<int32_t>(y + 2 * r1, 0, _mm_extract_epi32(packed, 1));
}

template <bool kTail>
KX_AVX2 uint32_t dot1(const uint8_t* x, const int8_t* w, int64_t k) {
    __m256i a = _mm256_setzero_si256();
    int64_t c = 0;
    for (; c + 16 <= k; c += 16) a = _mm256_add_epi32(a, _mm256_madd_epi16(weights16(w + c), loadu(x + 2 * c)));
    if (kTail && c + 8 <= k) {
        a = _mm256_add_epi32(a, _mm256_zextsi128_si256(_mm_madd_epi16(weights8(w + c), loadu128(x + 2 * c))));
        c += 8;
    }
    uint32_t r = static_cast<uint32_t>(_mm_cvtsi128_si32(hsum4(a, a, a, a)));
    if (kTail)
        for (; c < k; ++c) r += static_cast<uint32_t>(w[c] * int32_t{load<int16_t>(x, c)});
    return r;
}

// Row pairs 2t, 2t + step, 2t + 2·step, ... two pairs at a time; then row M-1 for
// item 0 when M is odd.
template <bool kTail>
KX_AVX2 void rows(const kx_cpu_linear_block_t* b, uint64_t item) {
    const int64_t m = b->rows, k = b->columns;
    const int64_t step = 2 * static_cast<int64_t>(b->count);
    const int8_t* w = b->weights;
    uint8_t* y = b->out;
    int64_t r = 2 * static_cast<int64_t>(item);
    for (; r + step + 1 < m; r += 2 * step) {
        const int64_t r1 = r + step;
        finish4(b, y, dot4<kTail>(b->in, w + r * k, w + (r + 1) * k, w + r1 * k, w + (r1 + 1) * k, k), r, r1, 2);
    }
    if (r + 1 < m) finish4(b, y, dot4<kTail>(b->in, w + r * k, w + (r + 1) * k, w + r * k, w + (r + 1) * k, k), r, r, 1);
    if (item == 0 && (m & 1)) kx_cpu::linear_finish(b, y, m - 1, dot1<true>(b->in, w + (m - 1) * k, k));
}

// Outputs [first, last) in memory order, four neighbouring rows of a vector at a time.
template <bool kTail>
KX_AVX2 void outputs(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->rows, k = b->columns;
    const int8_t* w = b->weights;
    int64_t v = first / m;
    int64_t r = first - v * m;
    for (int64_t i = first; i < last;) {
        const uint8_t* x = b->in + 2 * k * v;
        uint8_t* y = b->out + 2 * m * v;
        if (r + 3 < m && i + 3 < last) {
            finish4(b, y, dot4<kTail>(x, w + r * k, w + (r + 1) * k, w + (r + 2) * k, w + (r + 3) * k, k), r, r + 2, 2);
            i += 4;
            r += 4;
        } else if (r + 1 < m && i + 1 < last) {
            finish4(b, y, dot4<kTail>(x, w + r * k, w + (r + 1) * k, w + r * k, w + (r + 1) * k, k), r, r, 1);
            i += 2;
            r += 2;
        } else {
            kx_cpu::linear_finish(b, y, r, dot1<kTail>(x, w + r * k, k));
            ++i;
            ++r;
        }
        if (r == m) {
            r = 0;
            ++v;
        }
    }
}

// Fixed-point sigmoid of 8 int32 lanes. One 32-bit gather at T + i yields the pair
// T[i], T[i+1]; a multiply-add with (64 - f, f) interpolates between them.
KX_AVX2 inline __m256i sigmoid8(__m256i x) {
    x = _mm256_min_epi32(_mm256_max_epi32(x, _mm256_set1_epi32(-8192)), _mm256_set1_epi32(8128));
    const __m256i u = _mm256_and_si256(x, _mm256_set1_epi32(0x3FFF));
    const __m256i f = _mm256_and_si256(u, _mm256_set1_epi32(63));
    const __m256i pairs =
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(kx_sigmoid_table), _mm256_srli_epi32(u, 6), 2);
    const __m256i weights = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(64), f), _mm256_slli_epi32(f, 16));
    return _mm256_srai_epi32(_mm256_madd_epi16(pairs, weights), 6);
}

KX_AVX2 inline __m256i tanh8(__m256i x) {
    const __m256i s = sigmoid8(_mm256_add_epi32(x, x));
    return _mm256_sub_epi32(_mm256_add_epi32(s, s), _mm256_set1_epi32(32768));
}

KX_AVX2 inline __m256i round_shift(__m256i a, __m256i b, int bias, int shift) {
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(a, b), _mm256_set1_epi32(bias)), shift);
}

struct CellHalf {
    __m256i cell, t, o, hidden;
};

KX_AVX2 inline CellHalf cell8(__m256i gi, __m256i gc, __m256i go, __m256i c) {
    const __m256i i = sigmoid8(gi);
    const __m256i g = tanh8(gc);
    CellHalf r;
    r.o = sigmoid8(go);
    r.cell = _mm256_add_epi32(round_shift(c, _mm256_sub_epi32(_mm256_set1_epi32(32767), i), 16384, 15),
                              round_shift(i, g, 524288, 20));
    r.cell = _mm256_min_epi32(_mm256_max_epi32(r.cell, _mm256_set1_epi32(-32768)), _mm256_set1_epi32(32767));
    r.t = tanh8(r.cell);
    r.hidden = round_shift(r.t, r.o, 524288, 20);
    return r;
}

// Saturating pack of two 8-lane int32 vectors into 16 int16 in lane order.
KX_AVX2 inline __m256i pack16(__m256i lo, __m256i hi) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), _MM_SHUFFLE(3, 1, 2, 0));
}

KX_AVX2 inline __m256i lo32(__m256i v) { return _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v)); }
KX_AVX2 inline __m256i hi32(__m256i v) { return _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1)); }

// 16 lanes of the cell; pointers at lane k of each operand.
KX_AVX2 void cell16(uint8_t* hidden, uint8_t* cell, uint8_t* gi, const uint8_t* gc, uint8_t* go) {
    const __m256i vi = loadu(gi), vc = loadu(gc), vo = loadu(go), vcell = loadu(cell);
    const CellHalf lo = cell8(lo32(vi), lo32(vc), lo32(vo), lo32(vcell));
    const CellHalf hi = cell8(hi32(vi), hi32(vc), hi32(vo), hi32(vcell));
    storeu(cell, pack16(lo.cell, hi.cell));
    storeu(gi, pack16(lo.t, hi.t));
    storeu(go, pack16(lo.o, hi.o));
    storeu(hidden, pack16(lo.hidden, hi.hidden));
}

KX_AVX2 inline int16_t hmax16(__m256i v) {
    __m128i t = _mm_max_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    t = _mm_max_epi16(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(1, 0, 3, 2)));
    t = _mm_max_epi16(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(2, 3, 0, 1)));
    t = _mm_max_epi16(t, _mm_shufflelo_epi16(t, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<int16_t>(_mm_extract_epi16(t, 0));
}

// Q31 exponents of 8 lanes of g in [0, 16383]: fine[g & 127] * coarse[g >> 7],
// rounded; the products stay below 2^62, so the result fits 31 bits.
KX_AVX2 inline __m256i exponents8(__m256i g, __m256i* sum) {
    const __m256i fine = _mm256_i32gather_epi32(kx_softmax_fine_table, _mm256_and_si256(g, _mm256_set1_epi32(127)), 4);
    const __m256i coarse = _mm256_i32gather_epi32(kx_softmax_coarse_table, _mm256_srli_epi32(g, 7), 4);
    const __m256i half = _mm256_set1_epi64x(int64_t{1} << 30);
    const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(fine, coarse), half), 31);
    const __m256i odd = _mm256_srli_epi64(
        _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(fine, 32), _mm256_srli_epi64(coarse, 32)), half), 31);
    *sum = _mm256_add_epi64(*sum, _mm256_add_epi64(even, odd));
    return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

// (p * f + 2^30) >> 31 for p, f in [0, 2^31): below 2^31, so no clamp is needed.
KX_AVX2 inline __m256i scale_q31(__m256i p, __m256i f) {
    const __m256i half = _mm256_set1_epi64x(int64_t{1} << 30);
    const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(p, f), half), 31);
    const __m256i odd =
        _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(p, 32), f), half), 31);
    return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

KX_AVX2 inline __m256i standardize8(__m128i x, __m128i mean, __m128i scale) {
    const __m256i d = _mm256_sub_epi32(_mm256_cvtepi16_epi32(x), _mm256_cvtepi16_epi32(mean));
    return _mm256_srai_epi32(_mm256_mullo_epi32(d, _mm256_cvtepi16_epi32(scale)), 10);
}

}  // namespace

KX_AVX2 void kx_cpu_add_avx2(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n) {
    for (int64_t k = 0; k < n; k += 16) storeu(out + 2 * k, _mm256_adds_epi16(loadu(a + 2 * k), loadu(b + 2 * k)));
}

KX_AVX2 void kx_cpu_linear_rows_avx2(const kx_cpu_linear_block_t* b, uint64_t item) {
    if (b->columns % 16 == 0 && b->rows % 2 == 0)
        rows<false>(b, item);
    else
        rows<true>(b, item);
}

KX_AVX2 void kx_cpu_linear_outputs_avx2(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    if (b->columns % 16 == 0)
        outputs<false>(b, first, last);
    else
        outputs<true>(b, first, last);
}

KX_AVX2 void kx_cpu_lstm_avx2(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n) {
    kx_cpu::cell_lanes<16>(b, first, n, b->size % 16 == 0 && n % 16 == 0, cell16);
}

KX_AVX2_FMA void kx_cpu_matmul_avx2(const kx_cpu_matmul_block_t* b, int64_t first, int64_t last) {
    const int64_t rows = b->rows, k = b->columns;
    for (int64_t i = first; i < last; ++i) {
        const int64_t v = i / rows;
        const int64_t r = i - v * rows;
        const float* x = reinterpret_cast<const float*>(b->in + 4 * k * v);
        const float* m = reinterpret_cast<const float*>(b->matrix + 4 * k * r);
        __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(),
               a3 = _mm256_setzero_ps();
        for (int64_t c = 0; c < k; c += 32) {
            a0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c), _mm256_loadu_ps(m + c), a0);
            a1 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c + 8), _mm256_loadu_ps(m + c + 8), a1);
            a2 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c + 16), _mm256_loadu_ps(m + c + 16), a2);
            a3 = _mm256_fmadd_ps(_mm256_loadu_ps(x + c + 24), _mm256_loadu_ps(m + c + 24), a3);
        }
        // S = (A2 + A3) + (A0 + A1); U[j] = S[j] + S[j+4]; (U0 + U1) + (U2 + U3).
        const __m256 s = _mm256_add_ps(_mm256_add_ps(a2, a3), _mm256_add_ps(a0, a1));
        const __m128 u = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
        const __m128 pairs = _mm_add_ps(u, _mm_shuffle_ps(u, u, _MM_SHUFFLE(2, 3, 0, 1)));
        store<float>(b->out, i, _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs))));
    }
}

KX_AVX2 void kx_cpu_softmax_avx2(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last) {
    const int64_t length = b->length;
    for (int64_t row = first; row < last; ++row) {
        const uint8_t* x = b->in + 2 * length * row;
        uint8_t* y = b->out + 4 * length * row;
        __m256i vmax = _mm256_set1_epi16(-32768);
        for (int64_t j = 0; j < length; j += 16) vmax = _mm256_max_epi16(vmax, loadu(x + 2 * j));
        const __m256i max = _mm256_set1_epi32(hmax16(vmax));
        // g = min(max - x, 16383); a difference below -32767 also lands on 16383,
        // whose table value is the 242 the reference stores for it.
        const __m256i limit = _mm256_set1_epi32(16383);
        __m256i sums = _mm256_setzero_si256();
        for (int64_t j = 0; j < length; j += 8) {
            const __m256i xv = _mm256_cvtepi16_epi32(loadu128(x + 2 * j));
            storeu(y + 4 * j, exponents8(_mm256_min_epi32(_mm256_sub_epi32(max, xv), limit), &sums));
        }
        const __m128i s2 = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        const int64_t sum = _mm_cvtsi128_si64(s2) + _mm_extract_epi64(s2, 1);
        int64_t f = (int64_t{1} << 62) / sum;
        if (f > 2147483647) f = 2147483647;
        const __m256i fv = _mm256_set1_epi64x(f);
        for (int64_t j = 0; j < length; j += 8) storeu(y + 4 * j, scale_q31(loadu(y + 4 * j), fv));
    }
}

KX_AVX2 void kx_cpu_standardize_avx2(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->width;
    for (int64_t t = first; t < last; ++t) {
        const uint8_t* x = b->in + 2 * m * t;
        uint8_t* y = b->out + 2 * m * t;
        for (int64_t f = 0; f < m; f += 16) {
            // The difference is taken in 32 bits: it may exceed the 16-bit range.
            const __m256i xv = loadu(x + 2 * f), mv = loadu(b->mean + 2 * f), sv = loadu(b->scale + 2 * f);
            const __m256i lo = standardize8(_mm256_castsi256_si128(xv), _mm256_castsi256_si128(mv),
                                            _mm256_castsi256_si128(sv));
            const __m256i hi = standardize8(_mm256_extracti128_si256(xv, 1), _mm256_extracti128_si256(mv, 1),
                                            _mm256_extracti128_si256(sv, 1));
            storeu(y + 2 * f, pack16(lo, hi));
        }
    }
}
