#include "frontend/feature_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr float kPreemphasis = 0.97f;

#if defined(__SSE2__)
// Four int16 samples from any address, converted exactly to float.
inline __m128 load4_samples(const int16_t* pcm) {
    const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pcm));
    return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(raw, raw), 16));
}
#endif

}  // namespace

void kx_preemphasis(const int16_t* pcm, int32_t count, float scale, float prev, float* out) {
    if (count <= 0) return;
    out[0] = static_cast<float>(pcm[0]) * scale - kPreemphasis * prev;
    int32_t j = 1;
#if defined(__SSE2__)
    const __m128 vscale = _mm_set1_ps(scale), vcoef = _mm_set1_ps(kPreemphasis);
    for (; j + 4 <= count; j += 4) {
        const __m128 x = _mm_mul_ps(load4_samples(pcm + j), vscale);
        const __m128 before = _mm_mul_ps(load4_samples(pcm + j - 1), vscale);
        _mm_storeu_ps(out + j, _mm_sub_ps(x, _mm_mul_ps(vcoef, before)));
    }
#endif
    for (; j < count; ++j)
        out[j] = static_cast<float>(pcm[j]) * scale - kPreemphasis * (static_cast<float>(pcm[j - 1]) * scale);
}

void kx_multiply(const float* a, const float* b, float* out, int32_t count) {
    int32_t k = 0;
#if defined(__SSE2__)
    for (; k + 4 <= count; k += 4) _mm_storeu_ps(out + k, _mm_mul_ps(_mm_loadu_ps(a + k), _mm_loadu_ps(b + k)));
#endif
    for (; k < count; ++k) out[k] = a[k] * b[k];
}
