#include <gtest/gtest.h>

#include <vector>

#include "base/memory.h"
#include "feature_reference.h"

namespace {

struct VadFrontend {
    kx_vad_frontend_t* state = nullptr;
    explicit VadFrontend(int32_t hop = 256) { EXPECT_EQ(kx_vad_frontend_init(hop, &state), KX_STATUS_SUCCESS); }
    ~VadFrontend() { kx_vad_frontend_delete(state); }

    std::vector<int16_t> process(const int16_t* pcm) {
        std::vector<int16_t> out(40, 1234);
        EXPECT_EQ(kx_vad_frontend_process(state, pcm, out.data()), KX_STATUS_SUCCESS);
        return out;
    }
};

// Features of one analysis frame of pre-emphasised samples.
std::vector<int16_t> features_of_frame(std::vector<float> frame) {
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

TEST(VadFeatures, SilenceHasNoEnergyInAnyBand) {
    VadFrontend vad;
    const std::vector<int16_t> zeros(256, 0);
    for (int call = 0; call < 3; ++call) EXPECT_EQ(vad.process(zeros.data()), std::vector<int16_t>(40, -32768));
}

// Call c analyses the stream's pre-emphasised samples (c + 1) * 256 - 512 up to
// (c + 1) * 256, with zeros before the stream and a zero before its first sample.
TEST(VadFeatures, HopsFollowTheStreamFrameLayout) {
    const auto pcm = test_signal(256 * 12, 9);
    std::vector<float> y(pcm.size());
    for (size_t n = 0; n < pcm.size(); ++n) y[n] = pcm[n] - 0.97f * static_cast<float>(n ? pcm[n - 1] : 0);

    VadFrontend vad;
    for (int c = 0; c < 12; ++c) {
        std::vector<float> frame(512, 0.0f);
        for (int k = 0; k < 512; ++k) {
            const int n = (c + 1) * 256 - 512 + k;
            if (n >= 0) frame[k] = y[n];
        }
        EXPECT_EQ(vad.process(pcm.data() + 256 * c), features_of_frame(frame)) << "call " << c;
    }
}

TEST(VadFeatures, OtherHopLengthsCarryTheirHistory) {
    for (int32_t hop : {160, 512, 1}) {
        const int calls = hop == 1 ? 600 : 20;
        const auto pcm = test_signal(static_cast<size_t>(hop) * calls, 10);
        VadFrontend vad(hop);
        ReferenceVad reference(hop);
        for (int c = 0; c < calls; ++c) {
            const auto expected = reference.step(pcm.data() + hop * c);
            ASSERT_EQ(vad.process(pcm.data() + hop * c), expected) << "hop " << hop << " call " << c;
        }
    }
}

// A step runs for every hop: it allocates nothing, so an allocation failure armed
// for the next allocation cannot touch it, and the stream continues unchanged.
TEST(VadFeatures, StepsAllocateNothing) {
    const auto pcm = test_signal(256 * 3, 11);
    VadFrontend vad;
    ReferenceVad reference(256);
    std::vector<int16_t> out(40);
    kx_fault_fail_allocation(1);
    for (int hop = 0; hop < 3; ++hop) {
        ASSERT_EQ(kx_vad_frontend_process(vad.state, pcm.data() + 256 * hop, out.data()), KX_STATUS_SUCCESS);
        EXPECT_EQ(out, reference.step(pcm.data() + 256 * hop)) << hop;
    }
    EXPECT_EQ(kx_fault_allocation_count(), 0);
    kx_fault_fail_allocation(0);
}

TEST(VadFeatures, InitRejectsBadArgumentsAndFailsCleanly) {
    kx_vad_frontend_t* state = reinterpret_cast<kx_vad_frontend_t*>(&state);
    EXPECT_EQ(kx_vad_frontend_init(0, &state), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(state, nullptr);
    EXPECT_EQ(kx_vad_frontend_init(513, &state), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_vad_frontend_init(256, nullptr), KX_STATUS_INVALID_ARGUMENT);
    // State, history, transform context.
    for (int n = 1; n <= 3; ++n) {
        state = reinterpret_cast<kx_vad_frontend_t*>(&state);
        kx_fault_fail_allocation(n);
        EXPECT_EQ(kx_vad_frontend_init(256, &state), KX_STATUS_OUT_OF_MEMORY) << n;
        kx_fault_fail_allocation(0);
        EXPECT_EQ(state, nullptr);
    }
    kx_vad_frontend_delete(nullptr);
    int16_t out[40];
    const int16_t pcm[256] = {};
    EXPECT_EQ(kx_vad_frontend_process(nullptr, pcm, out), KX_STATUS_INVALID_ARGUMENT);
}

}  // namespace
