// The 512-point real FFT shared by both feature pipelines: 256 complex points,
// eight radix-2 decimation-in-time stages, then the split into 257 bins.
#pragma once

#include <array>
#include <cstdint>

#include "base/const_math.h"
#include "kx_orvel.h"

constexpr int32_t KX_FFT_SIZE = 512;
constexpr int32_t KX_FFT_BINS = KX_FFT_SIZE / 2 + 1;  // 257

// Owned by every feature pipeline and passed to the transform, which reads nothing
// from it; it exists so that a pipeline can later carry per-size state.
struct kx_fft_context_t {
    int32_t size;
};

// OUT_OF_MEMORY (nothing recorded) when the context cannot be allocated.
kx_status_t kx_fft_context_create(kx_fft_context_t** out);
void kx_fft_context_delete(kx_fft_context_t* context);

namespace kx_fft_detail {

constexpr std::array<int16_t, 256> make_bitrev_table() {
    std::array<int16_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (i & (1 << bit)) reversed |= 1 << (7 - bit);
        table[i] = static_cast<int16_t>(2 * reversed);
    }
    return table;
}

constexpr std::array<float, 384> make_sin_table() {
    std::array<float, 384> table{};
    for (int k = 0; k < 384; ++k) table[k] = kx_const_math::round7(kx_const_math::sin_turns(k, 512));
    return table;
}

}  // namespace kx_fft_detail

// Entry i: the float offset in the work buffer of complex point i, 2 * rev8(i).
inline constexpr std::array<int16_t, 256> kx_fft_bitrev_table = kx_fft_detail::make_bitrev_table();
// Entry k: sin(2 pi k / 512) rounded to 7 decimals; the cosine is entry k + 128.
inline constexpr std::array<float, 384> kx_fft_sin_table = kx_fft_detail::make_sin_table();

// input: 512 floats, only read. output: 257 bins as 514 floats, real then imaginary;
// bins 1..255 are DFT / 256, bins 0 and 256 are DFT / 512 with imaginary 0.
// Allocates nothing. Input and output may overlap.
kx_status_t kx_rfft512(const kx_fft_context_t* context, const float* input, float* output);

// The same transform as plain loops; kx_rfft512 equals it bit for bit.
kx_status_t kx_rfft512_plain(const kx_fft_context_t* context, const float* input, float* output);

// P[k] = re[k]^2 + im[k]^2 for the 257 bins of a transform's output.
void kx_power_spectrum(const float* spectrum, float* power);
