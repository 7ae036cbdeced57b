// Scoring utterances through the public interface.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "engine/embedding.h"
#include "engine/recognizer.h"
#include "engine_support.h"
#include "reference.h"

namespace {

using Texts = std::vector<std::string>;

// Unit vectors e_0 .. e_{n-1}: their scores reveal the mean embedding.
struct BasisProfiles {
    explicit BasisProfiles(int32_t n) : storage(static_cast<size_t>(n) * n, 0.0f) {
        for (int32_t i = 0; i < n; ++i) {
            storage[static_cast<size_t>(i) * n + i] = 1.0f;
            pointers.push_back(&storage[static_cast<size_t>(i) * n]);
        }
    }
    std::vector<float> storage;
    std::vector<const float*> pointers;
};

std::vector<float> scores_of(kx_orvel_t* recognizer, const std::vector<int16_t>& pcm,
                             const std::vector<const float*>& profiles, int32_t samples = -1) {
    float* scores = nullptr;
    const int32_t n = samples < 0 ? static_cast<int32_t>(pcm.size()) : samples;
    EXPECT_EQ(kx_orvel_process(recognizer, pcm.data(), n, profiles.data(), static_cast<int32_t>(profiles.size()),
                               &scores),
              KX_STATUS_SUCCESS);
    std::vector<float> out;
    if (scores) out.assign(scores, scores + profiles.size());
    kx_orvel_scores_delete(scores);
    return out;
}

TEST(RecognitionArguments, EachArgumentIsCheckedInOrder) {
    TestRecognizer r(model_for_scoring(2, 0));
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    std::vector<int16_t> pcm(1024, 0);
    const float profile[5] = {};
    const float* profiles[1] = {profile};
    float* scores = reinterpret_cast<float*>(&pcm);

    EXPECT_EQ(kx_orvel_process(nullptr, nullptr, 0, nullptr, 0, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_process(r.get(), nullptr, 1024, profiles, 1, &scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `pcm` is NULL."});
    EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), 1023, profiles, 1, &scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fetch_error_stack(), Texts{"a01eaf2 00000065: Argument `num_samples` value `1023` is less than the "
                                         "minimum acceptable value of `1024`."});
    EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), -5, profiles, 1, &scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(),
              Texts{"Argument `num_samples` value `-5` is less than the minimum acceptable value of `1024`."});
    EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), 1024, nullptr, 0, &scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `speaker_profiles` is NULL."});
    EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), 1024, profiles, 0, &scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(),
              Texts{"Argument `num_speakers` value `0` is less than the minimum acceptable value of `1`."});
    const float* with_gap[2] = {profile, nullptr};
    EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), 1024, with_gap, 2, &scores), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `speaker_profiles[1]` is NULL."});
    EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), 1024, profiles, 1, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `scores` is NULL."});
    // Argument errors leave the caller's pointer alone.
    EXPECT_EQ(scores, reinterpret_cast<float*>(&pcm));

    int32_t samples = 0;
    EXPECT_EQ(kx_orvel_process_min_audio_length_samples(nullptr, &samples), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_process_min_audio_length_samples(r.get(), nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `num_samples` is NULL."});
    kx_orvel_scores_delete(nullptr);
}

// No enrollment yields a profile holding NaN or infinity, or longer than 1 (it is a mean
// of unit vectors): such a profile would score outside [0, 1] or accept everyone.
TEST(RecognitionArguments, ProfilesNoEnrollmentCanProduceAreRejected) {
    const kxtest::ModelParams model = model_for_scoring(2, 0);
    kxtest::TempFile file(model);
    kx_orvel_profiler_t* profiler = nullptr;
    ASSERT_EQ(kx_orvel_profiler_init(file.c_str(), "cpu:1", 2, 0.0f, &profiler), KX_STATUS_SUCCESS);
    const std::vector<int16_t> enrolled = kxtest::make_test_audio(8 * 512, 3);
    float percentage = 0.0f;
    for (size_t f = 0; f < enrolled.size(); f += 512)
        ASSERT_EQ(kx_orvel_profiler_enroll(profiler, &enrolled[f], &percentage), KX_STATUS_SUCCESS);
    ASSERT_EQ(percentage, 100.0f);
    std::vector<float> genuine(static_cast<size_t>(model.embedding_size));
    ASSERT_EQ(kx_orvel_profiler_export(profiler, genuine.data()), KX_STATUS_SUCCESS);
    kx_orvel_profiler_delete(profiler);

    TestRecognizer r(model);
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> other = kxtest::make_test_audio(8 * 512, 99);
    BasisProfiles basis(model.embedding_size);
    std::vector<float> slightly_long(basis.storage.begin(), basis.storage.begin() + model.embedding_size);
    slightly_long[0] = 1.0009f;  // rounding of a unit vector
    EXPECT_EQ(scores_of(r.get(), other, {genuine.data(), basis.pointers[0], slightly_long.data()}).size(), 3u);

    struct Case {
        void (*change)(std::vector<float>&);
        std::string message;
    };
    const std::vector<Case> cases = {
        {[](std::vector<float>& p) { p[2] = std::nanf(""); },
         "Argument `speaker_profiles[1]` element 2 is `nan`, not a finite number."},
        {[](std::vector<float>& p) { p[4] = -INFINITY; },
         "Argument `speaker_profiles[1]` element 4 is `-inf`, not a finite number."},
        {[](std::vector<float>& p) {
             for (float& v : p) v *= 1000.0f;
         },
         ""},
        {[](std::vector<float>& p) {
             p.assign(p.size(), 0.0f);
             p[0] = 1.0011f;
         },
         "Argument `speaker_profiles[1]` has length `1.0011`, above the 1.001 that a speaker profile can have."},
    };
    for (const Case& c : cases) {
        std::vector<float> edited = genuine;
        c.change(edited);
        const float* profiles[2] = {genuine.data(), edited.data()};
        float* scores = nullptr;
        EXPECT_EQ(kx_orvel_process(r.get(), other.data(), static_cast<int32_t>(other.size()), profiles, 2, &scores),
                  KX_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(scores, nullptr);
        const Texts texts = message_texts();
        ASSERT_EQ(texts.size(), 1u);
        if (c.message.empty())
            EXPECT_EQ(texts[0].rfind("Argument `speaker_profiles[1]` has length `", 0), 0u) << texts[0];
        else
            EXPECT_EQ(texts[0], c.message);
    }
}

TEST(ScoreMap, BreakpointsAndLinearPieces) {
    const float t[3] = {0.2f, 0.5f, 0.8f};
    EXPECT_EQ(kx_orvel_score_map(t, 0.2f), 0.0f);
    EXPECT_EQ(kx_orvel_score_map(t, -3.0f), 0.0f);
    EXPECT_EQ(kx_orvel_score_map(t, 0.5f), 0.5f);
    EXPECT_EQ(kx_orvel_score_map(t, 0.8f), 1.0f);
    EXPECT_EQ(kx_orvel_score_map(t, 7.0f), 1.0f);
    EXPECT_EQ(kx_orvel_score_map(t, 0.35f), static_cast<float>(0.5 * (double{0.35f} - double{0.2f}) / (double{0.5f} - double{0.2f})));
    EXPECT_EQ(kx_orvel_score_map(t, 0.65f),
              static_cast<float>(0.5 + 0.5 * (double{0.65f} - double{0.5f}) / (double{0.8f} - double{0.5f})));
}

TEST(Recognition, ScoresAreTheMappedDotProductsWithTheMeanWindowEmbedding) {
    // Threshold 0 and no look-ahead: frames 0-1, 2-3, 4-5 and 6-7 form the windows;
    // frame 8 alone is too short for the final flush.
    const kxtest::ModelParams model = model_for_scoring(2, 0);
    TestRecognizer r(model);
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(9 * 512, 17);

    std::vector<float> mean(static_cast<size_t>(model.embedding_size), 0.0f);
    const int frames = 2 * 512 / model.hop_length;
    for (int w = 0; w < 4; ++w) {
        std::vector<float> features(static_cast<size_t>(frames) * model.num_bands);
        ASSERT_EQ(kx_orvel_frontend_compute(r.get()->frontend, features.data(), pcm.data() + 1024 * w, 1024),
                  KX_STATUS_SUCCESS);
        const std::vector<float> e = ref::unit(ref::network(model, features, frames));
        for (size_t j = 0; j < mean.size(); ++j) mean[j] += e[j];
    }
    for (float& m : mean) m /= 4.0f;

    BasisProfiles basis(model.embedding_size);
    const std::vector<float> scores = scores_of(r.get(), pcm, basis.pointers);
    ASSERT_EQ(scores.size(), mean.size());
    for (size_t j = 0; j < mean.size(); ++j) EXPECT_NEAR(scores[j], 0.5f + 0.5f * mean[j], 1e-6f) << j;
}

TEST(Recognition, ScoresAreDeterministicAndIgnoreSamplesAfterTheLastFrame) {
    const kxtest::ModelParams model = model_for_scoring(2, 2);
    TestRecognizer r(model);
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    std::vector<int16_t> pcm = kxtest::make_test_audio(11 * 512 + 300, 23);
    BasisProfiles basis(model.embedding_size);
    const std::vector<float> first = scores_of(r.get(), pcm, basis.pointers);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(scores_of(r.get(), pcm, basis.pointers), first);
    for (size_t n = 11 * 512; n < pcm.size(); ++n) pcm[n] = static_cast<int16_t>(n * 7919);
    EXPECT_EQ(scores_of(r.get(), pcm, basis.pointers), first);
    EXPECT_EQ(scores_of(r.get(), pcm, basis.pointers, 11 * 512), first);
}

TEST(Recognition, ThreadCountDoesNotChangeTheScores) {
    const kxtest::ModelParams model = model_for_scoring(2, 1, 4);
    kxtest::TempFile file(model);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(9 * 512, 41);
    BasisProfiles basis(model.embedding_size);
    std::vector<std::vector<float>> results;
    for (const char* device : {"cpu:1", "cpu:3"}) {
        kx_orvel_t* r = nullptr;
        ASSERT_EQ(kx_orvel_init(file.c_str(), device, 0.0f, &r), KX_STATUS_SUCCESS);
        results.push_back(scores_of(r, pcm, basis.pointers));
        kx_orvel_delete(r);
    }
    ASSERT_FALSE(results[0].empty());
    ASSERT_EQ(results[0].size(), results[1].size());
    // Fixed point is exact; only the float projection may sum in another order.
    for (size_t j = 0; j < results[0].size(); ++j) EXPECT_NEAR(results[0][j], results[1][j], 1e-6f) << j;
}

TEST(Recognition, NoWindowOfEnoughVoiceGivesANullScoreArray) {
    // A threshold of 1 needs every probability at exactly 1.0, which the detector's
    // softmax never reaches (each class keeps at least 242 / 2^31).
    TestRecognizer r(model_for_scoring(2, 1), 1.0f);
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    const float profile[5] = {1, 0, 0, 0, 0};
    const float* profiles[1] = {profile};
    for (const std::vector<int16_t>& pcm : {std::vector<int16_t>(8 * 512, 0), kxtest::make_test_audio(8 * 512, 4)}) {
        float* scores = reinterpret_cast<float*>(1);
        EXPECT_EQ(kx_orvel_process(r.get(), pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores),
                  KX_STATUS_SUCCESS);
        EXPECT_EQ(scores, nullptr);
    }
}

TEST(Recognition, ShortestAcceptedUtteranceIsOneWindow) {
    const kxtest::ModelParams model = model_for_scoring(3, 2);
    TestRecognizer r(model);
    ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(3 * 512, 8);
    BasisProfiles basis(model.embedding_size);
    // Too short for a push to choose; the flush takes the one window.
    const std::vector<float> scores = scores_of(r.get(), pcm, basis.pointers);
    ASSERT_EQ(scores.size(), basis.pointers.size());
    double squares = 0.0;
    for (float s : scores) squares += (2.0 * s - 1.0) * (2.0 * s - 1.0);
    EXPECT_NEAR(squares, 1.0, 1e-5);  // one unit-length window
}

TEST(Recognition, EveryAllocationFailureOfProcessLeavesNoScores) {
    FaultGuard guard;
    const kxtest::ModelParams model = model_for_scoring(2, 1);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(5 * 512, 3);
    BasisProfiles basis(model.embedding_size);
    bool succeeded = false;
    int64_t attempts = 0;
    for (int64_t n = 1; n < 2000 && !succeeded; ++n) {
        attempts = n;
        TestRecognizer r(model);  // fresh buffer cache
        ASSERT_EQ(r.status(), KX_STATUS_SUCCESS);
        float* scores = nullptr;
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_process(r.get(), pcm.data(), static_cast<int32_t>(pcm.size()),
                                                    basis.pointers.data(), model.embedding_size, &scores);
        const bool fault_hit = kx_fault_allocation_count() >= n;
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            EXPECT_FALSE(fault_hit);
            EXPECT_NE(scores, nullptr);
            kx_orvel_scores_delete(scores);
            succeeded = true;
            continue;
        }
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(scores, nullptr) << n;
        const Texts texts = message_texts();
        ASSERT_FALSE(texts.empty()) << n;
        const std::string& last = texts.back();
        EXPECT_TRUE(last == "f44583b" || last == "8fede03" || last == "316ae06" ||
                    last == "Failed to allocate, out of memory.")
            << n << ": " << last;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(attempts, 3);  // the hook did make allocations fail
}

// Windows are embedded into a small ring of slots: the memory of a call must not grow
// with the audio, and the sum must still come in window order on any thread count.
TEST(WindowRing, TenMinutesWithAWideProjectionStayWithinAFixedMemoryBound) {
    FaultGuard guard;
    kxtest::ModelShape shape;
    shape.window_frames = 1;
    shape.lookahead_frames = 0;
    shape.hidden_sizes = {16};
    shape.embedding_size = 65536;  // 256 KiB per window embedding
    const kxtest::ModelParams model = kxtest::make_random_model(shape, 7);
    kxtest::TempFile file(model);
    if (kx_fault_peak_bytes() < 0) GTEST_SKIP() << "this heap does not tell block sizes";
    const std::vector<int16_t> pcm = kxtest::make_test_audio(10 * 60 * 16000, 5);
    std::vector<float> profile(65536, 0.0f);
    profile[0] = 1.0f;
    const float* profiles[1] = {profile.data()};
    // Two threads: windows are embedded on both while the detector runs.
    kx_orvel_t* r = nullptr;
    ASSERT_EQ(kx_orvel_init(file.c_str(), "cpu:2", 0.0f, &r), KX_STATUS_SUCCESS);
    kx_fault_fail_allocation(0);  // counts from here
    float* scores = nullptr;
    EXPECT_EQ(kx_orvel_process(r, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores),
              KX_STATUS_SUCCESS);
    // One slot per window would be 18 751 x 256 KiB, almost 5 GB; the ring is 3 MB.
    EXPECT_LT(kx_fault_peak_bytes(), int64_t{16} << 20);
    kx_orvel_scores_delete(scores);
    kx_orvel_delete(r);
}

TEST(WindowRing, WrappedRingSumsInWindowOrderOnAnyThreadCount) {
    // One frame per window: 300 windows pass through a ring of a few slots per thread.
    const kxtest::ModelParams model = model_for_scoring(1, 0, 9);
    kxtest::TempFile file(model);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(300 * 512, 23);
    kx_orvel_t* single = nullptr;
    ASSERT_EQ(kx_orvel_init(file.c_str(), "cpu:1", 0.0f, &single), KX_STATUS_SUCCESS);
    // The sum as one thread adds the windows in order.
    std::vector<float> sum(static_cast<size_t>(model.embedding_size), 0.0f);
    int32_t windows = 0;
    for (int32_t w = 0; w < 300; ++w) {
        int32_t added = 0;
        ASSERT_EQ(kx_embedding_extract(single, pcm.data() + 512 * w, sum.data(), &added), KX_STATUS_SUCCESS);
        windows += added;
    }
    ASSERT_EQ(windows, 300);
    BasisProfiles basis(model.embedding_size);
    std::vector<float> expected;
    for (float s : sum) expected.push_back(kx_orvel_score_map(model.score_thresholds, s / 300.0f));
    kx_orvel_delete(single);
    for (const char* device : {"cpu:1", "cpu:2", "cpu:5"}) {
        kx_orvel_t* r = nullptr;
        ASSERT_EQ(kx_orvel_init(file.c_str(), device, 0.0f, &r), KX_STATUS_SUCCESS);
        EXPECT_EQ(scores_of(r, pcm, basis.pointers), expected) << device;
        kx_orvel_delete(r);
    }
}

// The slot sizes are products that a 32-bit size_t wraps: 16 386 windows of 262 144
// bytes make 524 288 there.
TEST(WindowRing, SlotSizeProductsRefuseToWrap) {
    uint32_t product32 = 0;
    EXPECT_FALSE(kx_checked_product<uint32_t>(16386, 262144, &product32));
    EXPECT_TRUE(kx_checked_product<uint32_t>(16383, 262144, &product32));
    EXPECT_EQ(product32, 16383u * 262144u);
    size_t bytes = 0;
    EXPECT_FALSE(kx_orvel_ring_bytes(INT32_MAX, INT32_MAX, &bytes));
    const bool fits = kx_orvel_ring_bytes(16386, 65536, &bytes);
    if (sizeof(size_t) == 4) {
        EXPECT_FALSE(fits);
    } else {
        ASSERT_TRUE(fits);
        EXPECT_GE(bytes, size_t{16386} * 262144);
        EXPECT_LT(bytes, size_t{16386} * 262144 + size_t{16386} * 64);
    }
    EXPECT_FALSE(kx_orvel_ring_bytes(0, 4, &bytes));
    // Loading counts the slots of a one-thread call within the object's scratch.
    EXPECT_EQ(kx_orvel_ring_slots(1), kx_orvel_ring_slots(0));
    EXPECT_LT(kx_orvel_ring_slots(1), kx_orvel_ring_slots(2));
}

}  // namespace
