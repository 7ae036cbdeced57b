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

namespace {

// Every band's weights, bin by bin, as kx_mel_band_energy builds them: climbing by
// repeated addition, then falling by repeated subtraction (the same float operations,
// done once at compile time). Band b's weights start at kMelWeights.start[b].
constexpr int kMelWeightCount = 257 + kx_mel_band_edges[40] - kx_mel_band_edges[1] - kx_mel_band_edges[0];

struct MelWeights {
    std::array<float, kMelWeightCount> weight{};
    std::array<int16_t, KX_MEL_BANDS> start{};
};

constexpr MelWeights make_mel_weights() {
    MelWeights m{};
    int n = 0;
    for (int band = 0; band < KX_MEL_BANDS; ++band) {
        const int lo = kx_mel_band_edges[band], peak = kx_mel_band_edges[band + 1], hi = kx_mel_band_edges[band + 2];
        m.start[band] = static_cast<int16_t>(n);
        float w = 0.0f;
        for (int j = lo; j < peak; ++j) {
            m.weight[n++] = w;
            w += kx_mel_rise[band];
        }
        if (lo >= peak) w = 0.0f;
        for (int j = peak; j < hi; ++j) {
            m.weight[n++] = w;
            w -= kx_mel_fall[band];
        }
    }
    return m;
}

constexpr MelWeights kMelWeights = make_mel_weights();

}  // namespace

// The weights come from the table, so only the sums remain as dependency chains, and
// those of different bands overlap.
void kx_mel_band_energies(const float* power, int32_t num_bands, float* energies) {
    for (int32_t b = 0; b < num_bands; ++b) {
        const int lo = kx_mel_band_edges[b], hi = kx_mel_band_edges[b + 2];
        const float* w = kMelWeights.weight.data() + kMelWeights.start[b] - lo;
        float sum = 0.0f;
        for (int j = lo; j < hi; ++j) sum += power[j] * w[j];
        energies[b] = sum;
    }
}
