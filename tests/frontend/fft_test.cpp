#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "base/memory.h"
#include "frontend/fft.h"

namespace {

struct Fft : ::testing::Test {
    kx_fft_context_t* context = nullptr;
    void SetUp() override { ASSERT_EQ(kx_fft_context_create(&context), KX_STATUS_SUCCESS); }
    void TearDown() override { kx_fft_context_delete(context); }

    std::vector<float> transform(const std::vector<float>& x) {
        std::vector<float> out(514, -1.0f);
        EXPECT_EQ(kx_rfft512(context, x.data(), out.data()), KX_STATUS_SUCCESS);
        return out;
    }
};

std::vector<float> random_frame(std::mt19937& rng, float scale) {
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> x(512);
    for (float& v : x) v = dist(rng);
    return x;
}

TEST(FftTables, MatchTheirFormulas) {
    const int16_t first[] = {0, 256, 128, 384, 64, 320};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(kx_fft_bitrev_table[i], first[i]);
    for (int i = 0; i < 256; ++i) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit) reversed |= ((i >> bit) & 1) << (7 - bit);
        EXPECT_EQ(kx_fft_bitrev_table[i], 2 * reversed) << i;
    }
    EXPECT_EQ(kx_fft_sin_table[0], 0.0f);
    EXPECT_EQ(kx_fft_sin_table[64], 0.7071068f);
    EXPECT_EQ(kx_fft_sin_table[128], 1.0f);
    EXPECT_EQ(kx_fft_sin_table[256], 0.0f);
    for (int k = 0; k < 384; ++k) {
        // The float nearest the 7-decimal value, as a literal would give it.
        char text[32];
        std::snprintf(text, sizeof(text), "%.7f", std::sin(2.0 * M_PI * k / 512.0));
        EXPECT_EQ(kx_fft_sin_table[k], std::strtof(text, nullptr)) << k;
    }
}

TEST_F(Fft, ImpulseIsFlat) {
    std::vector<float> x(512, 0.0f);
    x[0] = 1.0f;
    const auto out = transform(x);
    EXPECT_EQ(out[0], 1.0f / 512);
    EXPECT_EQ(out[512], 1.0f / 512);
    for (int k = 1; k <= 255; ++k) {
        EXPECT_FLOAT_EQ(out[2 * k], 1.0f / 256) << k;
        EXPECT_NEAR(out[2 * k + 1], 0.0f, 1e-9f) << k;
    }
}

TEST_F(Fft, ConstantAndAlternatingInputs) {
    const auto dc = transform(std::vector<float>(512, 1.0f));
    EXPECT_FLOAT_EQ(dc[0], 1.0f);
    for (int i = 2; i < 514; ++i) EXPECT_NEAR(dc[i], 0.0f, 1e-6f) << i;

    std::vector<float> alt(512);
    for (int n = 0; n < 512; ++n) alt[n] = n % 2 ? -1.0f : 1.0f;
    const auto out = transform(alt);
    EXPECT_FLOAT_EQ(out[512], 1.0f);
    for (int i = 0; i < 512; ++i) EXPECT_NEAR(out[i], 0.0f, 1e-6f) << i;
}

TEST_F(Fft, BinAlignedCosineHasUnitMagnitude) {
    for (int bin : {1, 10, 100, 255}) {
        std::vector<float> x(512);
        for (int n = 0; n < 512; ++n) x[n] = static_cast<float>(std::cos(2.0 * M_PI * bin * n / 512.0));
        const auto out = transform(x);
        for (int k = 0; k <= 256; ++k) {
            const float magnitude = std::hypot(out[2 * k], out[2 * k + 1]);
            EXPECT_NEAR(magnitude, k == bin ? 1.0f : 0.0f, 1e-5f) << "bin " << bin << " k " << k;
        }
    }
}

TEST_F(Fft, MatchesDoublePrecisionDft) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        const auto x = random_frame(rng, trial % 2 ? 1.0f : 30000.0f);
        const auto out = transform(x);
        double error = 0.0, norm = 0.0;
        for (int k = 0; k <= 256; ++k) {
            std::complex<double> sum = 0.0;
            for (int n = 0; n < 512; ++n) sum += double(x[n]) * std::polar(1.0, -2.0 * M_PI * k * n / 512.0);
            sum /= (k == 0 || k == 256) ? 512.0 : 256.0;
            error += std::norm(sum - std::complex<double>(out[2 * k], out[2 * k + 1]));
            norm += std::norm(sum);
        }
        EXPECT_LT(std::sqrt(error / norm), 1e-5) << trial;
    }
}

TEST_F(Fft, EndBinsHaveExactlyZeroImaginaryPart) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 10; ++trial) {
        const auto out = transform(random_frame(rng, 100.0f));
        EXPECT_EQ(out[1], 0.0f);
        EXPECT_EQ(out[513], 0.0f);
    }
}

// The four-wide stages and split must reproduce the plain loops bit for bit,
// whatever the alignment of input and output.
TEST_F(Fft, VectorisedFormEqualsPlainLoopsBitForBit) {
    std::mt19937 rng(3);
    std::vector<float> in(512 + 3), a(514 + 3), b(514 + 3);
    for (int trial = 0; trial < 50; ++trial) {
        const int offset = trial % 4;
        const auto x = random_frame(rng, trial % 3 ? 1.0f : 1e6f);
        std::memcpy(in.data() + offset, x.data(), 512 * sizeof(float));
        ASSERT_EQ(kx_rfft512(context, in.data() + offset, a.data() + offset), KX_STATUS_SUCCESS);
        ASSERT_EQ(kx_rfft512_plain(context, in.data() + offset, b.data() + offset), KX_STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(a.data() + offset, b.data() + offset, 514 * sizeof(float)), 0) << trial;
    }
}

TEST_F(Fft, OutputMayOverlapInput) {
    std::mt19937 rng(5);
    const auto x = random_frame(rng, 1.0f);
    const auto expected = transform(x);
    std::vector<float> buffer(514);
    std::memcpy(buffer.data(), x.data(), 512 * sizeof(float));
    ASSERT_EQ(kx_rfft512(context, buffer.data(), buffer.data()), KX_STATUS_SUCCESS);
    EXPECT_EQ(buffer, expected);
}

// The transform runs for every hop and allocates nothing.
TEST_F(Fft, TransformsAllocateNothing) {
    std::vector<float> x(512, 1.0f), a(514), b(514);
    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_rfft512(context, x.data(), a.data()), KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_rfft512_plain(context, x.data(), b.data()), KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_fault_allocation_count(), 0);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(a, b);
}

TEST(FftContext, CreateFailsCleanly) {
    kx_fft_context_t* context = reinterpret_cast<kx_fft_context_t*>(&context);
    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_fft_context_create(&context), KX_STATUS_OUT_OF_MEMORY);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(context, nullptr);
    kx_fft_context_delete(nullptr);
}

}  // namespace
