// Per-window embeddings of a recording and the scoring of their sum: the recognition
// call's road, sliced.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "engine/recognizer.h"
#include "engine_support.h"

namespace {

using Texts = std::vector<std::string>;

struct Windows {
    kx_orvel_windows_t* w = nullptr;
    ~Windows() { kx_orvel_windows_delete(w); }
    const float* embedding(int32_t n) const { return w->embeddings + static_cast<size_t>(n) * w->embedding_size; }
    bool embedded(int32_t n) const {
        for (int32_t j = 0; j < w->embedding_size; ++j)
            if (embedding(n)[j] != 0.0f) return true;
        return false;
    }
};

// A profile as enrollment makes one: shorter than 1, pointing anywhere.
std::vector<float> test_profile(int32_t size, uint32_t seed) {
    std::vector<float> p(static_cast<size_t>(size));
    double squares = 0.0;
    for (float& v : p) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int32_t>(seed >> 8) % 2001 - 1000);
        squares += double{v} * v;
    }
    for (float& v : p) v = static_cast<float>(0.9 * v / std::sqrt(squares));
    return p;
}

std::vector<const float*> pointers(const std::vector<std::vector<float>>& profiles) {
    std::vector<const float*> out;
    for (const auto& p : profiles) out.push_back(p.data());
    return out;
}

TEST(WindowEmbeddingArguments, EachArgumentIsCheckedInOrder) {
    TestRecognizer r(model_for_scoring(2, 0));
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    std::vector<int16_t> pcm(1024, 0);
    kx_orvel_windows_t* out = reinterpret_cast<kx_orvel_windows_t*>(&pcm);
    EXPECT_EQ(kx_orvel_embed_windows(nullptr, pcm.data(), 1024, 0, &out), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_embed_windows(r.get(), nullptr, 1024, 0, &out), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `pcm` is NULL."});
    EXPECT_EQ(kx_orvel_embed_windows(r.get(), pcm.data(), 1023, 0, &out), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(),
              Texts{"Argument `num_samples` value `1023` is less than the minimum acceptable value of `1024`."});
    EXPECT_EQ(kx_orvel_embed_windows(r.get(), pcm.data(), 1024, -1, &out), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(),
              Texts{"Argument `hop_frames` value `-1` is less than the minimum acceptable value of `0`."});
    EXPECT_EQ(kx_orvel_embed_windows(r.get(), pcm.data(), 1024, 0, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `windows` is NULL."});
    EXPECT_EQ(out, reinterpret_cast<kx_orvel_windows_t*>(&pcm));
    kx_orvel_windows_delete(nullptr);

    const int32_t size = r.get()->network->embedding_size;
    std::vector<float> sum(static_cast<size_t>(size), 0.0f), profile(static_cast<size_t>(size), 0.0f);
    const float* profiles[2] = {profile.data(), nullptr};
    float scores[2];
    EXPECT_EQ(kx_orvel_score_embeddings(nullptr, sum.data(), 1, profiles, 1, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), nullptr, 1, profiles, 1, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `embedding_sum` is NULL."});
    sum[1] = std::nanf("");  // would score NaN
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 1, profiles, 1, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `embedding_sum` is invalid."});
    sum[1] = 0.0f;
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 0, profiles, 1, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(),
              Texts{"Argument `num_embeddings` value `0` is less than the minimum acceptable value of `1`."});
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 1, nullptr, 1, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `speaker_profiles` is NULL."});
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 1, profiles, 0, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(),
              Texts{"Argument `num_speakers` value `0` is less than the minimum acceptable value of `1`."});
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 1, profiles, 2, scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `speaker_profiles[1]` is NULL."});
    profile[0] = 2.0f;  // longer than any mean of unit vectors
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 1, profiles, 1, scores), KX_STATUS_INVALID_ARGUMENT);
    profile[0] = 0.0f;
    EXPECT_EQ(kx_orvel_score_embeddings(r.get(), sum.data(), 1, profiles, 1, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `scores` is NULL."});
}

// The windows of hop 0 are the ones a recognition call averages: their float sum, scored,
// is the call's result bit for bit, with look-ahead, a final flush, several threads and a
// voice threshold that leaves windows out.
TEST(WindowEmbeddings, SummedWindowsScoreExactlyAsTheRecognitionCall) {
    struct Case {
        int32_t window, lookahead, samples;
        const char* device;
        float voice_threshold;
    };
    for (const Case& c : {Case{2, 0, 9 * 512, "cpu:1", 0.0f}, Case{3, 2, 23 * 512 + 100, "cpu:1", 0.0f},
                          Case{2, 1, 40 * 512, "cpu:3", 0.0f}, Case{4, 2, 60 * 512, "cpu:1", 0.5f}}) {
        SCOPED_TRACE(c.window * 1000 + c.lookahead);
        const kxtest::ModelParams model = model_for_scoring(c.window, c.lookahead, 7);
        kxtest::TempFile file(model);
        kx_orvel_t* r = nullptr;
        ASSERT_EQ(kx_orvel_init(file.c_str(), c.device, c.voice_threshold, &r), KX_STATUS_SUCCESS);
        // Speech-like, so that several windows reach the detector's threshold: noise rarely does.
        std::vector<int16_t> pcm = kxtest::speech_like(static_cast<size_t>(c.samples), 31);
        for (size_t n = pcm.size() / 3; n < pcm.size() / 2; ++n) pcm[n] = 0;  // a pause
        std::vector<std::vector<float>> profiles;
        for (uint32_t seed : {3u, 5u}) profiles.push_back(test_profile(model.embedding_size, seed));
        const std::vector<const float*> ptrs = pointers(profiles);
        float* expected = nullptr;
        ASSERT_EQ(kx_orvel_process(r, pcm.data(), c.samples, ptrs.data(), 2, &expected), KX_STATUS_SUCCESS);

        Windows w;
        ASSERT_EQ(kx_orvel_embed_windows(r, pcm.data(), c.samples, 0, &w.w), KX_STATUS_SUCCESS);
        EXPECT_EQ(w.w->window_samples, c.window * 512);
        EXPECT_EQ(w.w->num_frames, c.samples / 512);
        std::vector<float> sum(static_cast<size_t>(model.embedding_size), 0.0f);
        int32_t count = 0;
        for (int32_t n = 0; n < w.w->num_windows; ++n) {
            if (n > 0) {
                EXPECT_GE(w.w->start_samples[n], w.w->start_samples[n - 1] + w.w->window_samples);
            }
            float voice = 0.0f;
            for (int32_t f = 0; f < c.window; ++f) voice += w.w->frame_voice_probabilities[w.w->start_samples[n] / 512 + f];
            EXPECT_EQ(w.w->voice_probabilities[n], voice / static_cast<float>(c.window));
            EXPECT_GE(w.w->voice_probabilities[n], c.voice_threshold);
            for (int32_t j = 0; j < model.embedding_size; ++j) sum[j] = sum[j] + w.embedding(n)[j];
            count += w.embedded(n);
        }
        if (!expected) {
            EXPECT_EQ(count, 0);
        } else {
            ASSERT_GT(count, 1);
            float scores[2];
            ASSERT_EQ(kx_orvel_score_embeddings(r, sum.data(), count, ptrs.data(), 2, scores), KX_STATUS_SUCCESS);
            EXPECT_EQ(std::memcmp(scores, expected, sizeof(scores)), 0) << scores[0] << " " << expected[0];
        }
        kx_orvel_scores_delete(expected);
        kx_orvel_delete(r);
    }
}

// A grid window every hop: embedded where its mean voice reaches the threshold, and then
// the very embedding the recognition call makes of that window alone.
TEST(WindowEmbeddings, GridWindowsEveryHopEmbedOnlyWhereVoiceReachesTheThreshold) {
    const kxtest::ModelParams model = model_for_scoring(3, 1, 9);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(20 * 512 + 37, 12);
    // Threshold 0, then the voice of one window (equal passes), then 1 (never reached).
    std::vector<float> thresholds{0.0f, 0.0f, 1.0f};
    for (const float& threshold : thresholds) {  // each read when its turn comes
        TestRecognizer r(model, threshold);
        ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
        Windows w;
        ASSERT_EQ(kx_orvel_embed_windows(r.get(), pcm.data(), static_cast<int32_t>(pcm.size()), 4, &w.w),
                  KX_STATUS_SUCCESS);
        ASSERT_EQ(w.w->num_windows, 5);  // frames 0, 4, 8, 12, 16; 20 frames in all
        if (&threshold == &thresholds[0]) thresholds[1] = w.w->voice_probabilities[2];
        for (int32_t n = 0; n < 5; ++n) {
            EXPECT_EQ(w.w->start_samples[n], n * 4 * 512);
            EXPECT_EQ(w.embedded(n), w.w->voice_probabilities[n] >= threshold) << n;
        }
        int32_t n = 0;
        while (n < 5 && !w.embedded(n)) ++n;
        if (n == 5) {
            EXPECT_EQ(threshold, 1.0f);  // the detector never reaches 1
            continue;
        }
        const std::vector<float> unit(w.embedding(n), w.embedding(n) + model.embedding_size);
        const float* profiles[1] = {unit.data()};
        float* whole = nullptr;
        TestRecognizer zero(model, 0.0f);
        ASSERT_EQ(kx_orvel_process(zero.get(), pcm.data() + n * 4 * 512, 3 * 512, profiles, 1, &whole),
                  KX_STATUS_SUCCESS);
        ASSERT_NE(whole, nullptr);
        EXPECT_EQ(*whole, 1.0f);  // dot product 1 with itself maps to the top
        kx_orvel_scores_delete(whole);
    }
}

TEST(WindowEmbeddings, EveryAllocationFailureLeavesNoRecord) {
    FaultGuard guard;
    const kxtest::ModelParams model = model_for_scoring(2, 1);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(7 * 512, 3);
    bool succeeded = false;
    for (int64_t n = 1; n < 2000 && !succeeded; ++n) {
        TestRecognizer r(model);
        ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
        kx_orvel_windows_t* out = nullptr;
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_embed_windows(r.get(), pcm.data(), static_cast<int32_t>(pcm.size()),
                                                          2, &out);
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            kx_orvel_windows_delete(out);
            EXPECT_GT(n, 3);  // the hook did make allocations fail
            succeeded = true;
            continue;
        }
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(out, nullptr) << n;
        EXPECT_FALSE(message_texts().empty()) << n;
    }
    EXPECT_TRUE(succeeded);
}

}  // namespace
