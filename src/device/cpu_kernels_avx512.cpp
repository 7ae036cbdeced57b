// AVX-512 code paths of the LINEAR kernels: int8 weights widened to 16 bits and
// multiply-accumulated into 32-bit lanes with VNNI (vpdpwssd), 32 columns per step;
// the tail is one masked step, so no element outside the operands is touched.
#include <immintrin.h>

#include "device/cpu_kernels_paths.h"

#define KX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))

namespace {

KX_AVX512 inline __m512i inputs(const uint8_t* x) { return _mm512_loadu_si512(x); }
KX_AVX512 inline __m512i weights(const int8_t* w) {
    return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
}
KX_AVX512 inline __m512i inputs_masked(const uint8_t* x, __mmask32 m) { return _mm512_maskz_loadu_epi16(m, x); }
KX_AVX512 inline __m512i weights_masked(const int8_t* w, __mmask32 m) {
    return _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, w));
}

// Lane sum with wrap-around (_mm512_reduce_add_epi32 adds signed ints in C, which
// overflows for wide rows).
KX_AVX512 inline uint32_t hsum(__m512i a) {
    const __m256i s = _mm256_add_epi32(_mm512_castsi512_si256(a), _mm512_extracti64x4_epi64(a, 1));
    __m128i t = _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    t = _mm_add_epi32(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(1, 0, 3, 2)));
    t = _mm_add_epi32(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(t));
}

KX_AVX512 inline void dot2(const uint8_t* x, const int8_t* w0, const int8_t* w1, int64_t k, uint32_t* s0,
                           uint32_t* s1) {
    __m512i a0 = _mm512_setzero_si512(), a1 = _mm512_setzero_si512();
    __m512i c0 = _mm512_setzero_si512(), c1 = _mm512_setzero_si512();
    int64_t c = 0;
    for (; c + 64 <= k; c += 64) {
        const __m512i xa = inputs(x + 2 * c), xb = inputs(x + 2 * c + 64);
        a0 = _mm512_dpwssd_epi32(a0, weights(w0 + c), xa);
        a1 = _mm512_dpwssd_epi32(a1, weights(w1 + c), xa);
        c0 = _mm512_dpwssd_epi32(c0, weights(w0 + c + 32), xb);
        c1 = _mm512_dpwssd_epi32(c1, weights(w1 + c + 32), xb);
    }
    if (c + 32 <= k) {
        const __m512i xa = inputs(x + 2 * c);
        a0 = _mm512_dpwssd_epi32(a0, weights(w0 + c), xa);
        a1 = _mm512_dpwssd_epi32(a1, weights(w1 + c), xa);
        c += 32;
    }
    if (c < k) {
        const __mmask32 m = static_cast<__mmask32>((uint64_t{1} << (k - c)) - 1);
        const __m512i xa = inputs_masked(x + 2 * c, m);
        c0 = _mm512_dpwssd_epi32(c0, weights_masked(w0 + c, m), xa);
        c1 = _mm512_dpwssd_epi32(c1, weights_masked(w1 + c, m), xa);
    }
    *s0 = hsum(_mm512_add_epi32(a0, c0));
    *s1 = hsum(_mm512_add_epi32(a1, c1));
}

KX_AVX512 inline uint32_t dot1(const uint8_t* x, const int8_t* w, int64_t k) {
    __m512i a = _mm512_setzero_si512();
    int64_t c = 0;
    for (; c + 32 <= k; c += 32) a = _mm512_dpwssd_epi32(a, weights(w + c), inputs(x + 2 * c));
    if (c < k) {
        const __mmask32 m = static_cast<__mmask32>((uint64_t{1} << (k - c)) - 1);
        a = _mm512_dpwssd_epi32(a, weights_masked(w + c, m), inputs_masked(x + 2 * c, m));
    }
    return hsum(a);
}

}  // namespace

KX_AVX512 void kx_cpu_linear_rows_avx512(const kx_cpu_linear_block_t* b, uint64_t item) {
    const int64_t m = b->rows, k = b->columns;
    const int64_t step = 2 * static_cast<int64_t>(b->count);
    uint8_t* y = b->out;
    for (int64_t r = 2 * static_cast<int64_t>(item); r + 1 < m; r += step) {
        uint32_t s0, s1;
        dot2(b->in, b->weights + r * k, b->weights + (r + 1) * k, k, &s0, &s1);
        kx_cpu::linear_finish(b, y, r, s0);
        kx_cpu::linear_finish(b, y, r + 1, s1);
    }
    if (item == 0 && (m & 1)) kx_cpu::linear_finish(b, y, m - 1, dot1(b->in, b->weights + (m - 1) * k, k));
}

KX_AVX512 void kx_cpu_linear_outputs_avx512(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->rows, k = b->columns;
    int64_t v = first / m;
    int64_t r = first - v * m;
    for (int64_t i = first; i < last;) {
        const uint8_t* x = b->in + 2 * k * v;
        uint8_t* y = b->out + 2 * m * v;
        if (r + 1 < m && i + 1 < last) {
            uint32_t s0, s1;
            dot2(x, b->weights + r * k, b->weights + (r + 1) * k, k, &s0, &s1);
            kx_cpu::linear_finish(b, y, r, s0);
            kx_cpu::linear_finish(b, y, r + 1, s1);
            i += 2;
            r += 2;
        } else {
            kx_cpu::linear_finish(b, y, r, dot1(x, b->weights + r * k, k));
            ++i;
            ++r;
        }
        if (r == m) {
            r = 0;
            ++v;
        }
    }
}
