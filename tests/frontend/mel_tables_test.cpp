#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "frontend/frontend.h"
#include "frontend/mel_tables.h"

namespace {

float rounded7(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.7f", value);
    return std::strtof(text, nullptr);
}

TEST(MelTables, BandEdgesAreTheQuotedValues) {
    const int16_t quoted[42] = {0,  1,  3,  5,  6,  8,  10, 12,  14,  17,  19,  22,  25,  28,  31,  34,  38,  41,  45,  50,  54,
                                59, 64, 70, 76, 82, 89, 96, 103, 111, 120, 129, 138, 148, 159, 171, 183, 196, 210, 225, 240, 257};
    for (int i = 0; i < 42; ++i) EXPECT_EQ(kx_mel_band_edges[i], quoted[i]) << i;
}

TEST(MelTables, SlopesWindowAndLogTableMatchTheirFormulas) {
    for (int b = 0; b < 40; ++b) {
        EXPECT_EQ(kx_mel_rise[b], rounded7(1.0 / (kx_mel_band_edges[b + 1] - kx_mel_band_edges[b]))) << b;
        EXPECT_EQ(kx_mel_fall[b], rounded7(1.0 / (kx_mel_band_edges[b + 2] - kx_mel_band_edges[b + 1]))) << b;
    }
    EXPECT_EQ(kx_mel_rise[0], 1.0f);
    EXPECT_EQ(kx_mel_fall[0], 0.5f);
    EXPECT_EQ(kx_mel_rise[8], 0.3333333f);

    EXPECT_EQ(kx_hann_half_window[0], 0.0f);
    for (int k = 0; k < 256; ++k)
        EXPECT_EQ(kx_hann_half_window[k], rounded7(0.5 * (1.0 - std::cos(2.0 * M_PI * k / 511.0)))) << k;

    EXPECT_EQ(kx_log10_q10_table[0], -617);
    EXPECT_EQ(kx_log10_q10_table[512], -308);
    for (int i = 0; i <= 512; ++i) {
        EXPECT_EQ(kx_log10_q10_table[i], std::lround(1024.0 * std::log10((512.0 + i) / 2048.0))) << i;
        if (i > 0) {
            EXPECT_GE(kx_log10_q10_table[i], kx_log10_q10_table[i - 1]) << i;
        }
    }
}

// Band 0 spans bins 0..2: weight 0 at its start, 1 at the peak, 1 - 1/2 after it.
TEST(MelBandEnergy, WeightsFollowTheTriangle) {
    std::vector<float> power(257, 0.0f);
    power[0] = 5.0f;
    EXPECT_EQ(kx_mel_band_energy(power.data(), 0), 0.0f);
    power[1] = 2.0f;
    power[2] = 4.0f;
    EXPECT_EQ(kx_mel_band_energy(power.data(), 0), 2.0f * 1.0f + 4.0f * 0.5f);
    // Bin 3 belongs to bands 1 and 2 but not to band 0.
    power.assign(257, 0.0f);
    power[3] = 1.0f;
    EXPECT_EQ(kx_mel_band_energy(power.data(), 0), 0.0f);
    EXPECT_GT(kx_mel_band_energy(power.data(), 1), 0.0f);
    EXPECT_EQ(kx_mel_band_energy(power.data(), 2), 0.0f);
}

// The peak weight is reached by repeated addition of the rounded rise, so with a
// rise of 0.3333333 it is not 1.
TEST(MelBandEnergy, PeakWeightIsARepeatedSum) {
    const int band = 8;  // edges 14, 17, 19
    ASSERT_EQ(kx_mel_band_edges[band + 1] - kx_mel_band_edges[band], 3);
    std::vector<float> power(257, 0.0f);
    power[kx_mel_band_edges[band + 1]] = 1.0f;
    const float third = kx_mel_rise[band];
    EXPECT_EQ(kx_mel_band_energy(power.data(), band), third + third + third);
    EXPECT_NE(kx_mel_band_energy(power.data(), band), 1.0f);
}

// The last band runs from bin 225 (weight 0) through bin 256 and reads no further.
TEST(MelBandEnergy, LastBandReachesTheNyquistBin) {
    std::vector<float> power(257, 0.0f);
    power[256] = 1.0f;
    float w = 0.0f;
    for (int j = 225; j < 240; ++j) w += kx_mel_rise[39];
    for (int j = 240; j < 256; ++j) w -= kx_mel_fall[39];
    EXPECT_EQ(kx_mel_band_energy(power.data(), 39), w);
    EXPECT_GT(w, 0.0f);
    power.assign(257, 1.0f);
    float energies[40];
    kx_mel_band_energies(power.data(), 40, energies);
    for (int b = 0; b < 40; ++b) {
        EXPECT_EQ(energies[b], kx_mel_band_energy(power.data(), b));
        EXPECT_GT(energies[b], 0.0f) << b;
    }
}

// All bands at once (weights from a table) equal the band-by-band definition bit for
// bit, on spectra with values across the float range, zeros and infinities.
TEST(MelBandEnergy, AllBandsEqualTheDefinition) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> exponent(-40.0f, 40.0f);
    for (int round = 0; round < 200; ++round) {
        std::vector<float> power(257);
        for (float& p : power) p = std::pow(2.0f, exponent(rng)) * static_cast<float>(rng() % 1000) / 999.0f;
        if (round == 1) power[100] = std::numeric_limits<float>::infinity();
        float energies[40];
        kx_mel_band_energies(power.data(), 40, energies);
        for (int b = 0; b < 40; ++b) {
            const float expected = kx_mel_band_energy(power.data(), b);
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(energies[b])) << round << " " << b;
                continue;
            }
            uint32_t got_bits, want_bits;
            std::memcpy(&got_bits, &energies[b], 4);
            std::memcpy(&want_bits, &expected, 4);
            EXPECT_EQ(got_bits, want_bits) << round << " " << b;
        }
    }
}

TEST(Log10Q10, DocumentedPoints) {
    const float one_step = std::ldexp(1.0f, -33);  // E * 2^33 == 1
    EXPECT_EQ(kx_log10_q10(one_step), -19405);
    EXPECT_EQ(kx_log10_q10(1.0f), -9241);
    EXPECT_EQ(kx_log10_q10(std::ldexp(1.0f, 30)), 0);  // E * 2^33 == 2^63
    EXPECT_EQ(kx_log10_q10(1e30f), 0);
    EXPECT_EQ(kx_log10_q10(INFINITY), 0);
    EXPECT_EQ(kx_log10_q10(0.0f), -32768);
    EXPECT_EQ(kx_log10_q10(one_step * 0.99f), -32768);
    // Just below 2^63: the top of the table, one octave above 2^62.
    EXPECT_EQ(kx_log10_q10(std::nextafter(std::ldexp(1.0f, 30), 0.0f)), 0);
    EXPECT_EQ(kx_log10_q10(std::ldexp(1.0f, 29)), -617 + 308);  // 2^62: table entry 0, one octave up
    // No logarithm exists for these; they read as "no energy".
    EXPECT_EQ(kx_log10_q10(-1.0f), -32768);
    EXPECT_EQ(kx_log10_q10(NAN), -32768);
}

TEST(Log10Q10, MonotonicAndCloseToTheLogarithm) {
    int previous = -32768;
    for (float e = std::ldexp(1.0f, -33); e < std::ldexp(1.0f, 30); e *= 1.0137f) {
        const int value = kx_log10_q10(e);
        EXPECT_GE(value, previous) << e;
        const double g = std::trunc(double(e) * 8589934592.0);
        // Each octave below 2^62 counts 308 rather than 1024 log10(2) = 308.25.
        const double octaves_below = std::max(0.0, 62.0 - std::log2(g));
        EXPECT_NEAR(value, 1024.0 * std::log10(g / 9223372036854775808.0), 1.0 + 0.25 * octaves_below) << e;
        previous = value;
    }
    // Each octave counts exactly 308.
    for (int octave = -12; octave < 28; ++octave)
        EXPECT_EQ(kx_log10_q10(std::ldexp(1.3f, octave + 1)) - kx_log10_q10(std::ldexp(1.3f, octave)), 308) << octave;
}

}  // namespace
