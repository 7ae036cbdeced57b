// Test helpers: front-end blocks as bytes, and both feature pipelines written as the
// plain loops that define them (the library's versions must agree bit for bit).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "frontend/fft.h"
#include "frontend/frontend.h"
#include "frontend/mel_tables.h"

struct BlockFields {
    int32_t frame_length = 512;
    int32_t hop_length = 160;
    int32_t num_bands = 40;
    float log_floor = 1e-6f;
    std::vector<float> band_mean;
    std::vector<float> band_std;
};

inline BlockFields typical_fields(int32_t hop = 160, int32_t bands = 40) {
    BlockFields f;
    f.hop_length = hop;
    f.num_bands = bands;
    for (int32_t b = 0; b < bands; ++b) {
        f.band_mean.push_back(-4.0f + 0.05f * b);
        f.band_std.push_back(0.5f + 0.01f * b);
    }
    return f;
}

inline std::vector<uint8_t> block_bytes(const BlockFields& f) {
    std::vector<uint8_t> bytes;
    auto put = [&](const void* p, size_t n) {
        const auto* c = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), c, c + n);
    };
    put(&f.frame_length, 4);
    put(&f.hop_length, 4);
    put(&f.num_bands, 4);
    put(&f.log_floor, 4);
    put(f.band_mean.data(), 4 * f.band_mean.size());
    put(f.band_std.data(), 4 * f.band_std.size());
    return bytes;
}

// A temporary file holding bytes, positioned at its start.
inline FILE* file_holding(const std::vector<uint8_t>& bytes) {
    FILE* file = std::tmpfile();
    if (!file) return nullptr;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

inline kx_orvel_frontend_t* load_frontend(const BlockFields& f) {
    FILE* file = file_holding(block_bytes(f));
    kx_orvel_frontend_t* fe = nullptr;
    if (file && kx_orvel_frontend_read(file, &fe) != KX_STATUS_SUCCESS) fe = nullptr;
    if (file) std::fclose(file);
    return fe;
}

inline void reference_power(std::vector<float> frame, std::vector<float>& power) {
    std::vector<float> spectrum(514);
    kx_rfft512_plain(nullptr, frame.data(), spectrum.data());
    power.resize(257);
    for (int k = 0; k < 257; ++k) power[k] = spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1];
}

inline std::vector<float> reference_embedding_features(const kx_orvel_frontend_t& fe, const int16_t* pcm,
                                                       int32_t num_samples) {
    const int32_t L = fe.frame_length, H = fe.hop_length, B = fe.num_bands;
    const int32_t frames = num_samples / H;
    std::vector<float> out, ring(L, 0.0f), frame(L), power;
    float prev = 0.0f;
    for (int32_t t = 0; t < frames; ++t) {
        for (int32_t j = 0; j < H; ++j) {
            const float x = pcm[t * H + j] * 0.000030517578125f;
            ring[(t * H + j) % L] = x - 0.97f * prev;
            prev = x;
        }
        for (int32_t k = 0; k < L; ++k) frame[k] = ring[((t + 1) * H + k) % L] * fe.window[k];
        reference_power(frame, power);
        for (int32_t b = 0; b < B; ++b)
            out.push_back((std::log10(kx_mel_band_energy(power.data(), b) + fe.log_floor) - fe.band_mean[b]) /
                          fe.band_std[b]);
    }
    return out;
}

// The voice-activity stream state and one hop of it.
struct ReferenceVad {
    int32_t hop;
    int16_t last_sample = 0;
    std::vector<float> history;
    explicit ReferenceVad(int32_t hop_length) : hop(hop_length), history(512 - hop_length, 0.0f) {}

    std::vector<int16_t> step(const int16_t* pcm) {
        std::vector<float> frame(history);
        for (int32_t n = 0; n < hop; ++n)
            frame.push_back(pcm[n] - 0.97f * static_cast<float>(n == 0 ? last_sample : pcm[n - 1]));
        last_sample = pcm[hop - 1];
        history.assign(frame.begin() + hop, frame.end());
        for (int k = 0; k < 256; ++k) {
            frame[k] *= kx_hann_half_window[k];
            frame[511 - k] *= kx_hann_half_window[k];
        }
        std::vector<float> power;
        reference_power(frame, power);
        std::vector<int16_t> out;
        for (int b = 0; b < 40; ++b) out.push_back(kx_log10_q10(kx_mel_band_energy(power.data(), b)));
        return out;
    }
};

// Speech-like test signal: a few partials with an envelope, plus noise.
inline std::vector<int16_t> test_signal(size_t count, uint32_t seed) {
    std::vector<int16_t> pcm(count);
    uint32_t state = seed;
    for (size_t n = 0; n < count; ++n) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / (1 << 24) - 0.5;
        const double envelope = 0.5 + 0.5 * std::sin(2.0 * M_PI * n / 4000.0);
        const double tone = std::sin(2.0 * M_PI * 220.0 * n / 16000.0) + 0.5 * std::sin(2.0 * M_PI * 1330.0 * n / 16000.0);
        pcm[n] = static_cast<int16_t>(std::lround(9000.0 * envelope * tone + 2000.0 * noise));
    }
    return pcm;
}
