#include "support/audio.h"

#include <algorithm>
#include <cmath>

#include "support/random.h"

namespace kxtest {

std::vector<int16_t> make_test_audio(size_t samples, uint32_t seed, int32_t amplitude) {
    Random random(seed);
    std::vector<int16_t> pcm(samples);
    float level = 0.5f;
    float previous = 0.0f;
    for (size_t n = 0; n < samples; ++n) {
        if (n % 256 == 0) level = random.real(0.1f, 1.0f);
        // Noise with some low-pass colour so the bands differ.
        const float noise = random.real(-1.0f, 1.0f);
        previous = 0.6f * previous + 0.4f * noise;
        const long v = std::lround(previous * level * static_cast<float>(amplitude));
        pcm[n] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
    }
    return pcm;
}

std::vector<int16_t> speech_like(size_t samples, uint32_t seed) {
    constexpr double kRate = 16000;
    std::vector<int16_t> pcm(samples);
    uint32_t state = seed;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0;
    };
    const double pi = 3.141592653589793;
    double phase = 0, pitch = 120, syllable_left = 0, syllable_length = 1, gap_left = 0;
    for (size_t n = 0; n < samples; ++n) {
        if (syllable_left <= 0 && gap_left <= 0) {
            syllable_length = syllable_left = (0.15 + 0.15 * next()) * kRate;
            gap_left = (0.02 + 0.15 * next()) * kRate;
            pitch = 100 + 120 * next();
        }
        double v = 0;
        if (syllable_left > 0) {
            const double progress = 1.0 - syllable_left / syllable_length;
            const double envelope = std::sin(pi * progress);
            const double f0 = pitch * (1.0 + 0.2 * progress);
            phase += 2 * pi * f0 / kRate;
            for (int h = 1; h <= 12; ++h) {
                const double f = h * f0;
                const double formant =
                    std::exp(-std::pow((f - 700) / 300, 2)) + 0.6 * std::exp(-std::pow((f - 1800) / 400, 2)) + 0.1;
                v += formant * std::sin(h * phase) / h;
            }
            v *= 9000 * envelope;
            --syllable_left;
        } else {
            --gap_left;
        }
        v += 200 * (next() - 0.5);
        pcm[n] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
    }
    return pcm;
}

}  // namespace kxtest
