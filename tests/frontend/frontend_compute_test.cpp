#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "feature_reference.h"
#include "support/error_stack.h"

namespace {

struct Frontend {
    kx_orvel_frontend_t* fe;
    explicit Frontend(const BlockFields& f) : fe(load_frontend(f)) {}
    ~Frontend() { kx_orvel_frontend_delete(fe); }

    std::vector<float> compute(const std::vector<int16_t>& pcm, int32_t num_samples) const {
        std::vector<float> out(static_cast<size_t>(num_samples / fe->hop_length) * fe->num_bands, -99.0f);
        EXPECT_EQ(kx_orvel_frontend_compute(fe, out.data(), pcm.data(), num_samples), KX_STATUS_SUCCESS);
        return out;
    }
};

TEST(EmbeddingFeatures, SilenceGivesTheNormalisedFloor) {
    Frontend f(typical_fields(160, 40));
    ASSERT_NE(f.fe, nullptr);
    const auto out = f.compute(std::vector<int16_t>(24000, 0), 24000);
    ASSERT_EQ(out.size(), 150u * 40u);
    for (size_t i = 0; i < out.size(); ++i) {
        const int b = static_cast<int>(i % 40);
        EXPECT_EQ(out[i], (std::log10(f.fe->log_floor) - f.fe->band_mean[b]) / f.fe->band_std[b]) << i;
    }
}

// Ring with left zero-padding, pre-emphasis across hops and across the ring's wrap,
// window, transform and bands: the library equals the plain definition bit for bit.
TEST(EmbeddingFeatures, EqualTheDefinitionBitForBit) {
    const auto pcm = test_signal(24000, 1);
    for (int32_t hop : {160, 512, 100, 7, 1}) {
        for (int32_t bands : {40, 23}) {
            Frontend f(typical_fields(hop, bands));
            ASSERT_NE(f.fe, nullptr);
            const int32_t n = hop == 1 ? 1500 : 24000;
            const auto out = f.compute(pcm, n);
            const auto expected = reference_embedding_features(*f.fe, pcm.data(), n);
            ASSERT_EQ(out.size(), expected.size());
            EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
                << "hop " << hop << " bands " << bands;
        }
    }
}

// The first frame sees 512 - hop zeros and then the first hop samples: prefixing the
// PCM with zeros shifts the frames without changing them.
TEST(EmbeddingFeatures, FirstFramesArePaddedOnTheLeft) {
    Frontend f(typical_fields(128, 40));
    const auto pcm = test_signal(4096, 2);
    std::vector<int16_t> padded(384, 0);
    padded.insert(padded.end(), pcm.begin(), pcm.end());
    const auto plain = f.compute(pcm, 4096);
    const auto shifted = f.compute(padded, 384 + 4096);
    ASSERT_EQ(shifted.size(), plain.size() + 3 * 40);
    EXPECT_EQ(std::vector<float>(shifted.begin() + 3 * 40, shifted.end()), plain);
}

TEST(EmbeddingFeatures, StatelessAndIgnoresThePartialHop) {
    Frontend f(typical_fields(160, 40));
    const auto pcm = test_signal(24159, 3);
    const auto first = f.compute(pcm, 24000);
    EXPECT_EQ(f.compute(pcm, 24000), first);
    // 150 whole hops either way; the 159 extra samples are not used.
    EXPECT_EQ(f.compute(pcm, 24159), first);
    EXPECT_EQ(f.compute(pcm, 23999), std::vector<float>(first.begin(), first.begin() + 149 * 40));
}

TEST(EmbeddingFeatures, FewerSamplesThanAHopGiveNoFrames) {
    Frontend f(typical_fields(160, 40));
    float untouched = 7.0f;
    const int16_t pcm[159] = {};
    EXPECT_EQ(kx_orvel_frontend_compute(f.fe, &untouched, pcm, 159), KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_orvel_frontend_compute(f.fe, &untouched, pcm, 0), KX_STATUS_SUCCESS);
    EXPECT_EQ(untouched, 7.0f);
}

// Windows are embedded on several threads at once: the features allocate nothing,
// so an allocation failure armed for the next allocation cannot reach them.
TEST(EmbeddingFeatures, ComputeAllocatesNothing) {
    Frontend f(typical_fields(160, 40));
    const auto pcm = test_signal(1600, 4);
    std::vector<float> expected(10 * 40), out(10 * 40);
    ASSERT_EQ(kx_orvel_frontend_compute(f.fe, expected.data(), pcm.data(), 1600), KX_STATUS_SUCCESS);
    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_orvel_frontend_compute(f.fe, out.data(), pcm.data(), 1600), KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_fault_allocation_count(), 0);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(out, expected);
}

TEST(EmbeddingFeatures, HandMadeUnusableFrontendIsRefused) {
    Frontend f(typical_fields(160, 40));
    kx_orvel_frontend_t broken = *f.fe;
    broken.num_bands = 41;
    std::vector<float> out(41 * 10);
    const auto pcm = test_signal(1600, 5);
    kx_error_stack_begin_call();
    EXPECT_EQ(kx_orvel_frontend_compute(&broken, out.data(), pcm.data(), 1600), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_orvel_frontend_compute(nullptr, out.data(), pcm.data(), 1600), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_orvel_frontend_compute(f.fe, nullptr, pcm.data(), 1600), KX_STATUS_INVALID_ARGUMENT);
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(message_text(messages[0]), "Argument `frontend` is invalid.");
    EXPECT_EQ(message_text(messages[1]), "Argument `frontend` is NULL.");
    EXPECT_EQ(message_text(messages[2]), "Argument `out` is NULL.");
}

}  // namespace
