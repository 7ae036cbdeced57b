// Constant tables of the analysis shared by both feature pipelines: the 40
// triangular mel bands over the 257 power bins, the detector's half Hann window and
// its fixed-point logarithm table.
#pragma once

#include <array>
#include <cstdint>

#include "base/const_math.h"

constexpr int32_t KX_MEL_BANDS = 40;

namespace kx_mel_detail {

constexpr double mel(double hz) { return 2595.0 * kx_const_math::log10(1.0 + hz / 700.0); }
constexpr double mel_inverse(double m) { return 700.0 * (kx_const_math::pow10(m / 2595.0) - 1.0); }

// Edges are spaced evenly in mel from 0 to 8 kHz; the factor 514 / 16000 (not
// 512 / 16000) puts the last edge on 257 so that the last band reaches bin 256.
constexpr std::array<int16_t, 42> make_band_edges() {
    std::array<int16_t, 42> edges{};
    const double top = mel(8000.0);
    for (int i = 0; i < 42; ++i)
        edges[i] = static_cast<int16_t>(kx_const_math::round(mel_inverse(i * top / 41.0) * 514.0 / 16000.0));
    return edges;
}

constexpr std::array<int16_t, 42> kEdges = make_band_edges();

// offset 0: rise (1 / (edge b+1 - edge b)); offset 1: fall (1 / (edge b+2 - edge b+1)).
constexpr std::array<float, 40> make_slopes(int offset) {
    std::array<float, 40> slopes{};
    for (int b = 0; b < 40; ++b) slopes[b] = kx_const_math::round7(1.0 / (kEdges[b + offset + 1] - kEdges[b + offset]));
    return slopes;
}

constexpr std::array<float, 256> make_hann_half_window() {
    std::array<float, 256> window{};
    for (int k = 0; k < 256; ++k) window[k] = kx_const_math::round7(0.5 * (1.0 - kx_const_math::cos_turns(k, 511)));
    return window;
}

constexpr std::array<int16_t, 513> make_log10_q10_table() {
    std::array<int16_t, 513> table{};
    for (int i = 0; i <= 512; ++i)
        table[i] = static_cast<int16_t>(kx_const_math::round(1024.0 * kx_const_math::log10((512.0 + i) / 2048.0)));
    return table;
}

}  // namespace kx_mel_detail

// Band b starts at edge b (weight 0), peaks at edge b+1 and ends before edge b+2.
inline constexpr std::array<int16_t, 42> kx_mel_band_edges = kx_mel_detail::kEdges;
inline constexpr std::array<float, 40> kx_mel_rise = kx_mel_detail::make_slopes(0);
inline constexpr std::array<float, 40> kx_mel_fall = kx_mel_detail::make_slopes(1);
// Entry k weighs points k and 511 - k of the detector's 512-point frame.
inline constexpr std::array<float, 256> kx_hann_half_window = kx_mel_detail::make_hann_half_window();
// Entry i: round(1024 log10((512 + i) / 2048)); 1024 log10 of a mantissa's top ten bits.
inline constexpr std::array<int16_t, 513> kx_log10_q10_table = kx_mel_detail::make_log10_q10_table();

// Energy of band b (0..39) of a 257-bin power spectrum. The weights climb by
// repeated addition of the rise and fall by repeated subtraction, and the products
// are summed bin by bin in order: that order defines the result.
float kx_mel_band_energy(const float* power, int32_t band);

// Energies of bands 0..num_bands-1, equal to kx_mel_band_energy's bit for bit.
void kx_mel_band_energies(const float* power, int32_t num_bands, float* energies);
