#include "frontend/mel_tables.h"

static_assert(kx_mel_band_edges[0] == 0 && kx_mel_band_edges[41] == 257, "mel edges must span bins 0..256");
static_assert(kx_log10_q10_table[0] == -617 && kx_log10_q10_table[512] == -308, "log table ends");

float kx_mel_band_energy(const float* power, int32_t band) {
    const int lo = kx_mel_band_edges[band];
    const int peak = kx_mel_band_edges[band + 1];
    const int hi = kx_mel_band_edges[band + 2];
    const float rise = kx_mel_rise[band];
    const float fall = kx_mel_fall[band];
    float sum = 0.0f, w = 0.0f;
    for (int j = lo; j < peak; ++j) {
        sum += power[j] * w;
        w += rise;
    }
    if (lo >= peak) w = 0.0f;
    for (int j = peak; j < hi; ++j) {
        sum += power[j] * w;
        w -= fall;
    }
    return sum;
}

void kx_mel_band_energies(const float* power, int32_t num_bands, float* energies) {
    for (int32_t b = 0; b < num_bands; ++b) energies[b] = kx_mel_band_energy(power, b);
}
