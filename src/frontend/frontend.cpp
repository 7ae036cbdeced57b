// Embedding features: the model's front-end block and the stateless log mel
// features of one stretch of PCM.
#include "frontend/frontend.h"

#include <cmath>
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "frontend/feature_kernels.h"
#include "frontend/fft.h"
#include "frontend/mel_tables.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr float kSampleScale = 0.000030517578125f;  // 1 / 32768

bool read_items(FILE* file, void* items, size_t count) {
    return std::fread(items, sizeof(int32_t), count, file) == count;
}

// Records 107 naming the field.
template <typename... Args>
kx_status_t reject(const char* format, Args... args) {
    kx_error_push_unusable(format, args...);
    return KX_STATUS_INVALID_ARGUMENT;
}

kx_status_t read_failed() {
    kx_error_push(&KX_ERR_FILE_READ);
    return KX_STATUS_IO_ERROR;
}

kx_status_t out_of_memory() {
    kx_error_push(&KX_ERR_OUT_OF_MEMORY);
    return KX_STATUS_OUT_OF_MEMORY;
}

// Reads the block into the zeroed object. Each size is checked before anything
// is allocated from it, each value as soon as it has been read.
kx_status_t read_block(FILE* file, kx_orvel_frontend_t* fe) {
    if (!read_items(file, &fe->frame_length, 1)) return read_failed();
    if (fe->frame_length != KX_FFT_SIZE) return reject("`frame_length` is %d, expected 512", fe->frame_length);
    if (!read_items(file, &fe->hop_length, 1)) return read_failed();
    if (fe->hop_length < 1 || fe->hop_length > KX_FFT_SIZE)
        return reject("`hop_length` is %d, expected 1 to 512", fe->hop_length);
    if (!read_items(file, &fe->num_bands, 1)) return read_failed();
    if (fe->num_bands < 1 || fe->num_bands > KX_MEL_BANDS)
        return reject("`num_bands` is %d, expected 1 to 40", fe->num_bands);
    if (!read_items(file, &fe->log_floor, 1)) return read_failed();
    if (!std::isfinite(fe->log_floor) || !(fe->log_floor > 0.0f))
        return reject("`log_floor` is %.9g, expected a positive finite number", static_cast<double>(fe->log_floor));

    const size_t bands = static_cast<size_t>(fe->num_bands);
    fe->band_mean = static_cast<float*>(kx_host_malloc(bands * sizeof(float)));
    if (!fe->band_mean) return out_of_memory();
    fe->band_std = static_cast<float*>(kx_host_malloc(bands * sizeof(float)));
    if (!fe->band_std) return out_of_memory();
    fe->window = static_cast<float*>(kx_host_malloc(static_cast<size_t>(fe->frame_length) * sizeof(float)));
    if (!fe->window) return out_of_memory();

    if (!read_items(file, fe->band_mean, bands)) return read_failed();
    for (int32_t b = 0; b < fe->num_bands; ++b)
        if (!std::isfinite(fe->band_mean[b]))
            return reject("`band_mean[%d]` is %.9g, expected a finite number", b, static_cast<double>(fe->band_mean[b]));
    if (!read_items(file, fe->band_std, bands)) return read_failed();
    for (int32_t b = 0; b < fe->num_bands; ++b)
        if (!std::isfinite(fe->band_std[b]) || fe->band_std[b] == 0.0f)
            return reject("`band_std[%d]` is %.9g, expected a non-zero finite number", b,
                          static_cast<double>(fe->band_std[b]));

    if (kx_fft_context_create(&fe->fft) != KX_STATUS_SUCCESS) {
        kx_error_trace("6dd680f");
        return KX_STATUS_OUT_OF_MEMORY;
    }

    // Symmetric Hann window, evaluated in double; unlike the detector's half window
    // it is not rounded to 7 decimals.
    for (int32_t i = 0; i < fe->frame_length; ++i)
        fe->window[i] = static_cast<float>((1.0 - std::cos(i * kTwoPi / (fe->frame_length - 1))) * 0.5);
    return KX_STATUS_SUCCESS;
}

}  // namespace

kx_status_t kx_orvel_frontend_read(FILE* file, kx_orvel_frontend_t** out) {
    if (!kx_check_not_null(out, "out")) return KX_STATUS_INVALID_ARGUMENT;
    *out = nullptr;
    if (!kx_check_not_null(file, "file")) return KX_STATUS_INVALID_ARGUMENT;
    auto* fe = static_cast<kx_orvel_frontend_t*>(kx_host_calloc(1, sizeof(kx_orvel_frontend_t)));
    if (!fe) return out_of_memory();
    const kx_status_t status = read_block(file, fe);
    if (status != KX_STATUS_SUCCESS) {
        kx_orvel_frontend_delete(fe);
        return status;
    }
    *out = fe;
    return KX_STATUS_SUCCESS;
}

void kx_orvel_frontend_delete(kx_orvel_frontend_t* frontend) {
    if (!frontend) return;
    kx_fft_context_delete(frontend->fft);
    kx_host_free(frontend->window);
    kx_host_free(frontend->band_std);
    kx_host_free(frontend->band_mean);
    kx_host_free(frontend);
}

kx_status_t kx_orvel_frontend_compute(const kx_orvel_frontend_t* frontend, float* out, const int16_t* pcm,
                                      int32_t num_samples) {
    if (!kx_check_not_null(frontend, "frontend")) return KX_STATUS_INVALID_ARGUMENT;
    const int32_t length = frontend->frame_length;
    const int32_t hop = frontend->hop_length;
    const int32_t bands = frontend->num_bands;
    // Only a block the reader accepted can be processed; guard against hand-made ones.
    if (length != KX_FFT_SIZE || hop < 1 || hop > KX_FFT_SIZE || bands < 1 || bands > KX_MEL_BANDS ||
        !frontend->band_mean || !frontend->band_std || !frontend->window) {
        kx_error_push(&KX_ERR_ARG_INVALID, "frontend");
        return KX_STATUS_INVALID_ARGUMENT;
    }
    const int32_t frames = num_samples > 0 ? num_samples / hop : 0;
    if (frames == 0) return KX_STATUS_SUCCESS;
    if (!out || !pcm) {
        kx_error_push(&KX_ERR_ARG_NULL, out ? "pcm" : "out");
        return KX_STATUS_INVALID_ARGUMENT;
    }

    // Scratch on the stack (frame_length is the transform's 512): windows are
    // embedded on several threads at once, and nothing here allocates.
    alignas(32) float ring[KX_FFT_SIZE] = {};  // zero: the left padding of the first frames
    alignas(32) float frame[KX_FFT_SIZE];
    alignas(32) float spectrum[2 * KX_FFT_BINS];
    alignas(32) float power[KX_FFT_BINS];
    float prev = 0.0f;  // pre-emphasis memory, scaled
    int32_t pos = 0;    // ring position of the next sample: (t * hop) mod length
    float energies[KX_MEL_BANDS];
    for (int32_t t = 0; t < frames; ++t) {
        const int16_t* hop_pcm = pcm + static_cast<int64_t>(t) * hop;
        // Pre-emphasised samples into the ring, wrapping at its end.
        const int32_t first = hop < length - pos ? hop : length - pos;
        kx_preemphasis(hop_pcm, first, kSampleScale, prev, ring + pos);
        if (first < hop)
            kx_preemphasis(hop_pcm + first, hop - first, kSampleScale, hop_pcm[first - 1] * kSampleScale, ring);
        prev = hop_pcm[hop - 1] * kSampleScale;
        pos = (pos + hop) % length;

        // The last frame_length samples, oldest first (ring from pos), windowed.
        kx_multiply(ring + pos, frontend->window, frame, length - pos);
        kx_multiply(ring, frontend->window + (length - pos), frame + (length - pos), pos);

        const kx_status_t status = kx_rfft512(frontend->fft, frame, spectrum);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_trace("e23e2d2");
            return status;
        }
        kx_power_spectrum(spectrum, power);
        kx_mel_band_energies(power, bands, energies);
        float* row = out + static_cast<int64_t>(t) * bands;
        for (int32_t b = 0; b < bands; ++b) {
            const float v = std::log10(energies[b] + frontend->log_floor);
            row[b] = (v - frontend->band_mean[b]) / frontend->band_std[b];
        }
    }
    return KX_STATUS_SUCCESS;
}
