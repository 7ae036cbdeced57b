// Voice-activity features: fixed-point log mel energies of a stream, hop by hop.
#include <cstring>

#include "base/memory.h"
#include "frontend/feature_kernels.h"
#include "frontend/fft.h"
#include "frontend/frontend.h"
#include "frontend/mel_tables.h"

struct kx_vad_frontend_t {
    int32_t hop_length;
    int16_t last_sample;     // last raw sample of the previous call
    float* history;          // 512 - hop_length pre-emphasised samples before the next hop
    kx_fft_context_t* fft;
};

namespace {

// The 512-point window both halves of kx_hann_half_window describe, so that windowing
// is one element-wise product (the same float multiplications).
constexpr std::array<float, KX_FFT_SIZE> make_full_window() {
    std::array<float, KX_FFT_SIZE> window{};
    for (int k = 0; k < 256; ++k) {
        window[k] = kx_hann_half_window[k];
        window[511 - k] = kx_hann_half_window[k];
    }
    return window;
}

constexpr std::array<float, KX_FFT_SIZE> kFullWindow = make_full_window();

}  // namespace

kx_status_t kx_vad_frontend_init(int32_t hop_length, kx_vad_frontend_t** out) {
    if (!out) return KX_STATUS_INVALID_ARGUMENT;
    *out = nullptr;
    if (hop_length < 1 || hop_length > KX_FFT_SIZE) return KX_STATUS_INVALID_ARGUMENT;
    auto* state = static_cast<kx_vad_frontend_t*>(kx_host_calloc(1, sizeof(kx_vad_frontend_t)));
    if (!state) return KX_STATUS_OUT_OF_MEMORY;
    state->hop_length = hop_length;
    state->history = static_cast<float*>(kx_host_calloc(static_cast<size_t>(KX_FFT_SIZE - hop_length), sizeof(float)));
    if (!state->history || kx_fft_context_create(&state->fft) != KX_STATUS_SUCCESS) {
        kx_vad_frontend_delete(state);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    *out = state;
    return KX_STATUS_SUCCESS;
}

void kx_vad_frontend_delete(kx_vad_frontend_t* state) {
    if (!state) return;
    kx_fft_context_delete(state->fft);
    kx_host_free(state->history);
    kx_host_free(state);
}

kx_status_t kx_vad_frontend_process(kx_vad_frontend_t* state, const int16_t* pcm, int16_t* out) {
    if (!state || !pcm || !out) return KX_STATUS_INVALID_ARGUMENT;
    const int32_t hop = state->hop_length;
    const int32_t kept = KX_FFT_SIZE - hop;

    // Scratch on the stack: a step runs for every hop and allocates nothing.
    alignas(32) float frame[KX_FFT_SIZE];
    alignas(32) float spectrum[2 * KX_FFT_BINS];
    alignas(32) float power[KX_FFT_BINS];
    // The new pre-emphasised samples land behind the kept history.
    std::memcpy(frame, state->history, static_cast<size_t>(kept) * sizeof(float));
    kx_preemphasis(pcm, hop, 1.0f, static_cast<float>(state->last_sample), frame + kept);
    state->last_sample = pcm[hop - 1];
    std::memcpy(state->history, frame + hop, static_cast<size_t>(kept) * sizeof(float));

    kx_multiply(frame, kFullWindow.data(), frame, KX_FFT_SIZE);
    const kx_status_t status = kx_rfft512(state->fft, frame, spectrum);
    if (status != KX_STATUS_SUCCESS) return status;
    kx_power_spectrum(spectrum, power);
    float energies[KX_MEL_BANDS];
    kx_mel_band_energies(power, KX_MEL_BANDS, energies);
    for (int32_t b = 0; b < KX_MEL_BANDS; ++b) out[b] = kx_log10_q10(energies[b]);
    return KX_STATUS_SUCCESS;
}

int16_t kx_log10_q10(float energy) {
    const float v = energy * 8589934592.0f;  // 2^33
    if (v >= 9223372036854775808.0f) return 0;  // 2^63
    // Truncates to 0 (also NaN and negative energies, which have no logarithm).
    if (!(v >= 1.0f)) return -32768;
    const auto g = static_cast<int64_t>(v);
    int64_t m;
    int32_t k;
    if (g >= (int64_t{1} << 62)) {
        m = g >> 1;
        k = -1;
    } else {
        // Doublings that bring g into [2^61, 2^62).
#if defined(__GNUC__)
        k = __builtin_clzll(static_cast<unsigned long long>(g)) - 2;
#else
        k = 0;
        while ((g << k) < (int64_t{1} << 61)) ++k;
#endif
        m = g << k;
    }
    const auto i = static_cast<int32_t>(((m + (int64_t{1} << 51)) >> 52) - 512);
    const int32_t result = kx_log10_q10_table[i] - 308 * k;
    return static_cast<int16_t>(result < -32768 ? -32768 : result > 32767 ? 32767 : result);
}
