#include "frontend/fft.h"

#include <cstring>

#include "base/memory.h"
#include "device/cpu_features.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define KX_FFT_SSE 1
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KX_FFT_AVX 1
#endif

namespace {

constexpr float kInverse512 = 0.001953125f;

// The butterfly twiddles of stage s (half = 2^s) gathered contiguously at
// [half, 2 half): the same rounded values as kx_fft_sin_table, laid out so that four
// butterflies load theirs at once.
struct StageTwiddles {
    std::array<float, 256> sin{};
    std::array<float, 256> cos{};
};

constexpr StageTwiddles make_stage_twiddles() {
    StageTwiddles t{};
    for (int half = 1; half <= 128; half *= 2) {
        const int stride = 256 / half;
        for (int j = 0; j < half; ++j) {
            t.sin[half + j] = kx_fft_sin_table[j * stride];
            t.cos[half + j] = kx_fft_sin_table[j * stride + 128];
        }
    }
    return t;
}

constexpr StageTwiddles kStageTwiddles = make_stage_twiddles();

void pack(const float* input, float* work) {
    for (int i = 0; i < 256; ++i) {
        work[kx_fft_bitrev_table[i]] = input[2 * i];
        work[kx_fft_bitrev_table[i] + 1] = input[2 * i + 1];
    }
}

// One butterfly; a and b are the float offsets of the two complex points.
inline void butterfly(float* w, int a, int b, float sn, float cs) {
    const float b_re = w[b], b_im = w[b + 1];
    const float a_re = w[a], a_im = w[a + 1];
    const float t_re = b_im * sn + b_re * cs;
    const float t_im = b_im * cs - b_re * sn;
    w[a] = a_re + t_re;
    w[a + 1] = a_im + t_im;
    w[b] = a_re - t_re;
    w[b + 1] = a_im - t_im;
}

void stage_plain(float* w, int s) {
    const int half = 1 << s, groups = 128 >> s, stride = 256 >> s;
    for (int g = 0; g < groups; ++g) {
        const int base = g * 2 * half;
        for (int j = 0; j < half; ++j) {
            const float sn = kx_fft_sin_table[j * stride];
            const float cs = kx_fft_sin_table[j * stride + 128];
            butterfly(w, 2 * (base + j), 2 * (base + half + j), sn, cs);
        }
    }
}

inline void split_bin(const float* w, float* out, int k) {
    const float a_re = w[2 * k], a_im = w[2 * k + 1];
    const float b_re = w[2 * (256 - k)], b_im = w[2 * (256 - k) + 1];
    const float sn = kx_fft_sin_table[k], cs = kx_fft_sin_table[k + 128];
    out[2 * k] = (b_re + a_re + cs * (a_im + b_im) + sn * (b_re - a_re)) * kInverse512;
    out[2 * k + 1] = (a_im - b_im + cs * (b_re - a_re) - sn * (a_im + b_im)) * kInverse512;
}

void split_ends(const float* w, float* out) {
    out[0] = (w[0] + w[1]) * kInverse512;
    out[1] = 0.0f;
    out[512] = (w[0] - w[1]) * kInverse512;
    out[513] = 0.0f;
}

void split_plain(const float* w, float* out) {
    split_ends(w, out);
    for (int k = 1; k <= 255; ++k) split_bin(w, out, k);
}

#if KX_FFT_SSE

// Four butterflies at once from the stage's own twiddle row; each lane performs
// exactly the scalar operations, so the result is bit-identical.
void stage_sse(float* w, int s) {
    const int half = 1 << s, groups = 128 >> s;
    const float* tw_sin = kStageTwiddles.sin.data() + half;
    const float* tw_cos = kStageTwiddles.cos.data() + half;
    for (int g = 0; g < groups; ++g) {
        float* pa = w + 2 * (g * 2 * half);
        float* pb = pa + 2 * half;
        for (int j = 0; j < half; j += 4) {
            const __m128 a01 = _mm_loadu_ps(pa + 2 * j), a23 = _mm_loadu_ps(pa + 2 * j + 4);
            const __m128 b01 = _mm_loadu_ps(pb + 2 * j), b23 = _mm_loadu_ps(pb + 2 * j + 4);
            const __m128 a_re = _mm_shuffle_ps(a01, a23, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 a_im = _mm_shuffle_ps(a01, a23, _MM_SHUFFLE(3, 1, 3, 1));
            const __m128 b_re = _mm_shuffle_ps(b01, b23, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 b_im = _mm_shuffle_ps(b01, b23, _MM_SHUFFLE(3, 1, 3, 1));
            const __m128 sn = _mm_loadu_ps(tw_sin + j), cs = _mm_loadu_ps(tw_cos + j);
            const __m128 t_re = _mm_add_ps(_mm_mul_ps(b_im, sn), _mm_mul_ps(b_re, cs));
            const __m128 t_im = _mm_sub_ps(_mm_mul_ps(b_im, cs), _mm_mul_ps(b_re, sn));
            const __m128 x_re = _mm_add_ps(a_re, t_re), x_im = _mm_add_ps(a_im, t_im);
            const __m128 y_re = _mm_sub_ps(a_re, t_re), y_im = _mm_sub_ps(a_im, t_im);
            _mm_storeu_ps(pa + 2 * j, _mm_unpacklo_ps(x_re, x_im));
            _mm_storeu_ps(pa + 2 * j + 4, _mm_unpackhi_ps(x_re, x_im));
            _mm_storeu_ps(pb + 2 * j, _mm_unpacklo_ps(y_re, y_im));
            _mm_storeu_ps(pb + 2 * j + 4, _mm_unpackhi_ps(y_re, y_im));
        }
    }
}

// One butterfly per lane on split real / imaginary vectors: the scalar operations.
inline void butterfly4(__m128& a_re, __m128& a_im, __m128& b_re, __m128& b_im, __m128 sn, __m128 cs) {
    const __m128 t_re = _mm_add_ps(_mm_mul_ps(b_im, sn), _mm_mul_ps(b_re, cs));
    const __m128 t_im = _mm_sub_ps(_mm_mul_ps(b_im, cs), _mm_mul_ps(b_re, sn));
    const __m128 x_re = _mm_add_ps(a_re, t_re), x_im = _mm_add_ps(a_im, t_im);
    b_re = _mm_sub_ps(a_re, t_re);
    b_im = _mm_sub_ps(a_im, t_im);
    a_re = x_re;
    a_im = x_im;
}

// Stages 0, 1 and 2 of eight work points at a time, loaded straight from the input
// in bit-reversed order (work point q is input point rev8(q)), so that no packing
// pass precedes them and no stage reloads what the one before just stored. Each lane
// performs the scalar butterfly of its points with the plain loop's twiddles (stage 0:
// sin 0, cos 1; stage 1: j = 0, 1, 0, 1; stage 2: j = 0..3), so the result is
// bit-identical.
void first_stages_sse(const float* input, float* w) {
    const __m128 sn0 = _mm_set1_ps(kx_fft_sin_table[0]), cs0 = _mm_set1_ps(kx_fft_sin_table[128]);
    const float s0 = kx_fft_sin_table[0], s1 = kx_fft_sin_table[128];
    const float c0 = kx_fft_sin_table[128], c1 = kx_fft_sin_table[256];
    const __m128 sn1 = _mm_setr_ps(s0, s1, s0, s1), cs1 = _mm_setr_ps(c0, c1, c0, c1);
    const __m128 sn2 = _mm_loadu_ps(kStageTwiddles.sin.data() + 4), cs2 = _mm_loadu_ps(kStageTwiddles.cos.data() + 4);
    for (int m = 0; m < 32; ++m) {
        const int16_t* source = kx_fft_bitrev_table.data() + 8 * m;  // float offsets of the input points
        auto points = [&](int k) {
            const __m128 low = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(input + source[k]));
            return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(input + source[k + 1]));
        };
        // Stage 0: butterflies (0,1), (2,3), (4,5), (6,7) after a transpose.
        __m128 a_re = points(0), a_im = points(2), b_re = points(4), b_im = points(6);
        _MM_TRANSPOSE4_PS(a_re, a_im, b_re, b_im);
        butterfly4(a_re, a_im, b_re, b_im, sn0, cs0);
        // Lanes now hold points 0, 2, 4, 6 (a) and 1, 3, 5, 7 (b). Stage 1: a = 0, 1, 4, 5
        // and b = 2, 3, 6, 7.
        const __m128 lo_re = _mm_unpacklo_ps(a_re, b_re), hi_re = _mm_unpackhi_ps(a_re, b_re);
        const __m128 lo_im = _mm_unpacklo_ps(a_im, b_im), hi_im = _mm_unpackhi_ps(a_im, b_im);
        a_re = _mm_movelh_ps(lo_re, hi_re);
        b_re = _mm_movehl_ps(hi_re, lo_re);
        a_im = _mm_movelh_ps(lo_im, hi_im);
        b_im = _mm_movehl_ps(hi_im, lo_im);
        butterfly4(a_re, a_im, b_re, b_im, sn1, cs1);
        // Stage 2: a = points 0..3, b = 4..7.
        __m128 c_re = _mm_movelh_ps(a_re, b_re), d_re = _mm_movehl_ps(b_re, a_re);
        __m128 c_im = _mm_movelh_ps(a_im, b_im), d_im = _mm_movehl_ps(b_im, a_im);
        butterfly4(c_re, c_im, d_re, d_im, sn2, cs2);
        float* p = w + 16 * m;
        _mm_storeu_ps(p, _mm_unpacklo_ps(c_re, c_im));
        _mm_storeu_ps(p + 4, _mm_unpackhi_ps(c_re, c_im));
        _mm_storeu_ps(p + 8, _mm_unpacklo_ps(d_re, d_im));
        _mm_storeu_ps(p + 12, _mm_unpackhi_ps(d_re, d_im));
    }
}

// Bins from k on; bins k..k+3 pair with the mirrored points 256-k..253-k, loaded as
// one block and reversed.
void split_sse(const float* w, float* out, int k) {
    const __m128 scale = _mm_set1_ps(kInverse512);
    for (; k + 3 <= 255; k += 4) {
        const __m128 a01 = _mm_loadu_ps(w + 2 * k), a23 = _mm_loadu_ps(w + 2 * k + 4);
        // Points 253-k..256-k, ascending; reversed below to 256-k..253-k.
        const __m128 m01 = _mm_loadu_ps(w + 2 * (253 - k)), m23 = _mm_loadu_ps(w + 2 * (253 - k) + 4);
        const __m128 a_re = _mm_shuffle_ps(a01, a23, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 a_im = _mm_shuffle_ps(a01, a23, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 b_re = _mm_shuffle_ps(m23, m01, _MM_SHUFFLE(0, 2, 0, 2));
        const __m128 b_im = _mm_shuffle_ps(m23, m01, _MM_SHUFFLE(1, 3, 1, 3));
        const __m128 sn = _mm_loadu_ps(kx_fft_sin_table.data() + k);
        const __m128 cs = _mm_loadu_ps(kx_fft_sin_table.data() + k + 128);
        const __m128 sum_im = _mm_add_ps(a_im, b_im);
        const __m128 diff_re = _mm_sub_ps(b_re, a_re);
        __m128 re = _mm_add_ps(_mm_add_ps(b_re, a_re), _mm_mul_ps(cs, sum_im));
        re = _mm_mul_ps(_mm_add_ps(re, _mm_mul_ps(sn, diff_re)), scale);
        __m128 im = _mm_add_ps(_mm_sub_ps(a_im, b_im), _mm_mul_ps(cs, diff_re));
        im = _mm_mul_ps(_mm_sub_ps(im, _mm_mul_ps(sn, sum_im)), scale);
        _mm_storeu_ps(out + 2 * k, _mm_unpacklo_ps(re, im));
        _mm_storeu_ps(out + 2 * k + 4, _mm_unpackhi_ps(re, im));
    }
    for (; k <= 255; ++k) split_bin(w, out, k);
}

#endif

#if KX_FFT_AVX

// Stage twiddles in the lane order of an in-lane shuffle of eight points:
// j, j+1, j+4, j+5, j+2, j+3, j+6, j+7.
constexpr StageTwiddles make_avx_twiddles() {
    StageTwiddles t{};
    constexpr int kOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};
    for (int half = 8; half <= 128; half *= 2)
        for (int j = 0; j < half; j += 8)
            for (int l = 0; l < 8; ++l) {
                t.sin[half + j + l] = kStageTwiddles.sin[half + j + kOrder[l]];
                t.cos[half + j + l] = kStageTwiddles.cos[half + j + kOrder[l]];
            }
    return t;
}

constexpr StageTwiddles kAvxTwiddles = make_avx_twiddles();

// Eight butterflies at once (half at least 8); multiplies and adds stay separate
// (no fused multiply-add), so each lane equals the scalar butterfly.
__attribute__((target("avx"))) void stage_avx(float* w, int s) {
    const int half = 1 << s, groups = 128 >> s;
    const float* tw_sin = kAvxTwiddles.sin.data() + half;
    const float* tw_cos = kAvxTwiddles.cos.data() + half;
    for (int g = 0; g < groups; ++g) {
        float* pa = w + 2 * (g * 2 * half);
        float* pb = pa + 2 * half;
        for (int j = 0; j < half; j += 8) {
            const __m256 a0 = _mm256_loadu_ps(pa + 2 * j), a1 = _mm256_loadu_ps(pa + 2 * j + 8);
            const __m256 b0 = _mm256_loadu_ps(pb + 2 * j), b1 = _mm256_loadu_ps(pb + 2 * j + 8);
            const __m256 a_re = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0));
            const __m256 a_im = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1));
            const __m256 b_re = _mm256_shuffle_ps(b0, b1, _MM_SHUFFLE(2, 0, 2, 0));
            const __m256 b_im = _mm256_shuffle_ps(b0, b1, _MM_SHUFFLE(3, 1, 3, 1));
            const __m256 sn = _mm256_loadu_ps(tw_sin + j), cs = _mm256_loadu_ps(tw_cos + j);
            const __m256 t_re = _mm256_add_ps(_mm256_mul_ps(b_im, sn), _mm256_mul_ps(b_re, cs));
            const __m256 t_im = _mm256_sub_ps(_mm256_mul_ps(b_im, cs), _mm256_mul_ps(b_re, sn));
            const __m256 x_re = _mm256_add_ps(a_re, t_re), x_im = _mm256_add_ps(a_im, t_im);
            const __m256 y_re = _mm256_sub_ps(a_re, t_re), y_im = _mm256_sub_ps(a_im, t_im);
            _mm256_storeu_ps(pa + 2 * j, _mm256_unpacklo_ps(x_re, x_im));
            _mm256_storeu_ps(pa + 2 * j + 8, _mm256_unpackhi_ps(x_re, x_im));
            _mm256_storeu_ps(pb + 2 * j, _mm256_unpacklo_ps(y_re, y_im));
            _mm256_storeu_ps(pb + 2 * j + 8, _mm256_unpackhi_ps(y_re, y_im));
        }
    }
    _mm256_zeroupper();
}

// Split twiddles of bins 1..248 in the lane order of the same in-lane shuffle.
constexpr int kSplitAvxBins = 248;

constexpr StageTwiddles make_split_twiddles() {
    StageTwiddles t{};
    constexpr int kOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};
    for (int m = 0; m < kSplitAvxBins; m += 8)
        for (int l = 0; l < 8; ++l) {
            t.sin[m + l] = kx_fft_sin_table[1 + m + kOrder[l]];
            t.cos[m + l] = kx_fft_sin_table[1 + m + kOrder[l] + 128];
        }
    return t;
}

constexpr StageTwiddles kSplitTwiddles = make_split_twiddles();

// Bins k..k+7 (lanes in shuffle order) pair with the mirrored points 256-k..249-k:
// two blocks shuffled the same way, then their halves swapped. The lane operations
// are split_sse's; the last bins go through it.
__attribute__((target("avx"))) void split_avx(const float* w, float* out) {
    split_ends(w, out);
    const __m256 scale = _mm256_set1_ps(kInverse512);
    int k = 1;
    for (; k + 7 <= kSplitAvxBins; k += 8) {
        const __m256 a0 = _mm256_loadu_ps(w + 2 * k), a1 = _mm256_loadu_ps(w + 2 * k + 8);
        const __m256 m0 = _mm256_loadu_ps(w + 2 * (249 - k)), m1 = _mm256_loadu_ps(w + 2 * (253 - k));
        const __m256 a_re = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 a_im = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1));
        const __m256 r_re = _mm256_shuffle_ps(m1, m0, _MM_SHUFFLE(0, 2, 0, 2));
        const __m256 r_im = _mm256_shuffle_ps(m1, m0, _MM_SHUFFLE(1, 3, 1, 3));
        const __m256 b_re = _mm256_permute2f128_ps(r_re, r_re, 1), b_im = _mm256_permute2f128_ps(r_im, r_im, 1);
        const __m256 sn = _mm256_loadu_ps(kSplitTwiddles.sin.data() + (k - 1));
        const __m256 cs = _mm256_loadu_ps(kSplitTwiddles.cos.data() + (k - 1));
        const __m256 sum_im = _mm256_add_ps(a_im, b_im);
        const __m256 diff_re = _mm256_sub_ps(b_re, a_re);
        __m256 re = _mm256_add_ps(_mm256_add_ps(b_re, a_re), _mm256_mul_ps(cs, sum_im));
        re = _mm256_mul_ps(_mm256_add_ps(re, _mm256_mul_ps(sn, diff_re)), scale);
        __m256 im = _mm256_add_ps(_mm256_sub_ps(a_im, b_im), _mm256_mul_ps(cs, diff_re));
        im = _mm256_mul_ps(_mm256_sub_ps(im, _mm256_mul_ps(sn, sum_im)), scale);
        _mm256_storeu_ps(out + 2 * k, _mm256_unpacklo_ps(re, im));
        _mm256_storeu_ps(out + 2 * k + 8, _mm256_unpackhi_ps(re, im));
    }
    _mm256_zeroupper();
    split_sse(w, out, k);
}

bool avx_usable() { return (kx_cpu_detect_features() & KX_CPU_AVX) != 0; }

#endif

template <bool kSimd>
kx_status_t transform(const float* input, float* output) {
    // On the stack: the transform runs for every hop and must not allocate.
    alignas(32) float work[512];
#if KX_FFT_SSE
    if (kSimd) {
        first_stages_sse(input, work);
#if KX_FFT_AVX
        if (avx_usable()) {
            for (int s = 3; s < 8; ++s) stage_avx(work, s);
            split_avx(work, output);
            return KX_STATUS_SUCCESS;
        }
#endif
        for (int s = 3; s < 8; ++s) stage_sse(work, s);
        split_ends(work, output);
        split_sse(work, output, 1);
        return KX_STATUS_SUCCESS;
    }
#endif
    pack(input, work);
    for (int s = 0; s < 8; ++s) stage_plain(work, s);
    split_plain(work, output);
    return KX_STATUS_SUCCESS;
}

}  // namespace

kx_status_t kx_fft_context_create(kx_fft_context_t** out) {
    *out = nullptr;
    auto* context = static_cast<kx_fft_context_t*>(kx_host_calloc(1, sizeof(kx_fft_context_t)));
    if (!context) return KX_STATUS_OUT_OF_MEMORY;
    context->size = KX_FFT_SIZE;
    *out = context;
    return KX_STATUS_SUCCESS;
}

void kx_fft_context_delete(kx_fft_context_t* context) { kx_host_free(context); }

kx_status_t kx_rfft512(const kx_fft_context_t* /*context*/, const float* input, float* output) {
    return transform<true>(input, output);
}

kx_status_t kx_rfft512_plain(const kx_fft_context_t* /*context*/, const float* input, float* output) {
    return transform<false>(input, output);
}

void kx_power_spectrum(const float* spectrum, float* power) {
    int k = 0;
#if KX_FFT_SSE
    for (; k + 4 <= KX_FFT_BINS; k += 4) {
        const __m128 v01 = _mm_loadu_ps(spectrum + 2 * k), v23 = _mm_loadu_ps(spectrum + 2 * k + 4);
        const __m128 re = _mm_shuffle_ps(v01, v23, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 im = _mm_shuffle_ps(v01, v23, _MM_SHUFFLE(3, 1, 3, 1));
        _mm_storeu_ps(power + k, _mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im)));
    }
#endif
    for (; k < KX_FFT_BINS; ++k) power[k] = spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1];
}
