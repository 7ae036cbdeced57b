// Enrollment and profile export through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/recognizer.h"
#include "frontend/window_selector.h"
#include "engine/embedding.h"
#include "engine_support.h"

namespace {

using Texts = std::vector<std::string>;

kxtest::ModelParams enrollment_model(int32_t window, int32_t lookahead) {
    kxtest::ModelShape shape;
    shape.window_frames = window;
    shape.lookahead_frames = lookahead;
    kxtest::ModelParams model = kxtest::make_random_model(shape, 5);
    model.score_thresholds[0] = -1.0f;
    model.score_thresholds[1] = 0.0f;
    model.score_thresholds[2] = 1.0f;
    return model;
}

class Profiler {
public:
    Profiler(const kxtest::ModelParams& model, int32_t chunks, float threshold = 0.0f) : file_(model) {
        status_ = kx_orvel_profiler_init(file_.c_str(), "cpu:1", chunks, threshold, &object_);
    }
    ~Profiler() { kx_orvel_profiler_delete(object_); }
    Profiler(const Profiler&) = delete;
    Profiler& operator=(const Profiler&) = delete;
    kx_orvel_profiler_t* get() const { return object_; }
    kx_status_t status() const { return status_; }
    const char* path() const { return file_.c_str(); }

    float enroll(const int16_t* frame) {
        float percentage = -1.0f;
        EXPECT_EQ(kx_orvel_profiler_enroll(object_, frame, &percentage), KX_STATUS_SUCCESS);
        return percentage;
    }
    float flush() {
        float percentage = -1.0f;
        EXPECT_EQ(kx_orvel_profiler_flush(object_, &percentage), KX_STATUS_SUCCESS);
        return percentage;
    }
    std::vector<float> exported() {
        int32_t bytes = 0;
        EXPECT_EQ(kx_orvel_profiler_export_size(object_, &bytes), KX_STATUS_SUCCESS);
        std::vector<float> profile(static_cast<size_t>(bytes) / 4, -7.0f);
        EXPECT_EQ(kx_orvel_profiler_export(object_, profile.data()), KX_STATUS_SUCCESS);
        return profile;
    }

private:
    kxtest::TempFile file_;
    kx_orvel_profiler_t* object_ = nullptr;
    kx_status_t status_ = KX_STATUS_RUNTIME_ERROR;
};

TEST(ProfilerArguments, InitChecksEachArgumentInOrder) {
    kxtest::TempFile file(enrollment_model(2, 0));
    kx_orvel_profiler_t* object = nullptr;
    EXPECT_EQ(kx_orvel_profiler_init(nullptr, nullptr, 0, 2.0f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `model_path` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_init(file.c_str(), nullptr, 0, 2.0f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `device` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_init(file.c_str(), "cpu", 0, 2.0f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fetch_error_stack(), Texts{"a01eaf2 00000065: Argument `min_enrollment_chunks` value `0` is less than "
                                         "the minimum acceptable value of `1`."});
    EXPECT_EQ(kx_orvel_profiler_init(file.c_str(), "cpu", 1, 2.0f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `voice_threshold` value `2.00` is out of range [0.00, 1.00]."});
    EXPECT_EQ(kx_orvel_profiler_init(file.c_str(), "cpu", 1, 1.0f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});

    const std::string missing = kxtest::temp_path("missing");
    object = reinterpret_cast<kx_orvel_profiler_t*>(&file);
    EXPECT_EQ(kx_orvel_profiler_init(missing.c_str(), "cpu", 1, 0.5f, &object), KX_STATUS_IO_ERROR);
    EXPECT_EQ(message_texts(), (Texts{"Failed to open file `" + missing + "`.", "da02a93"}));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(kx_orvel_profiler_init(file.c_str(), "cpux", 1, 0.5f, &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), (Texts{"cpux is not a valid device string", "6e3295a"}));
    kx_orvel_profiler_delete(nullptr);
    EXPECT_EQ(kx_orvel_profiler_frame_length(), 512);
}

TEST(ProfilerArguments, CallsNameTheMissingArgument) {
    Profiler p(enrollment_model(2, 0), 1);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    int16_t frame[512] = {};
    float percentage = 0.0f;
    int32_t size = 0;
    EXPECT_EQ(kx_orvel_profiler_enroll(nullptr, frame, &percentage), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_enroll(p.get(), nullptr, &percentage), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `pcm` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_enroll(p.get(), frame, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `percentage` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_flush(nullptr, &percentage), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_flush(p.get(), nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `percentage` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_reset(nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_export_size(nullptr, &size), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_export_size(p.get(), nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `speaker_profile_size_bytes` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_export(nullptr, frame), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
    EXPECT_EQ(kx_orvel_profiler_export(p.get(), nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `speaker_profile` is NULL."});
    // Nothing was consumed by the refused calls.
    EXPECT_EQ(p.get()->frames_pushed, 0);
}

TEST(Profiler, PercentageGrowsByWindowAndStopsAtOneHundred) {
    // Threshold 0, no look-ahead, W = 2: every second frame closes a window.
    Profiler p(enrollment_model(2, 0), 4);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> audio = kxtest::make_test_audio(12 * 512, 31);
    std::vector<float> got;
    for (int f = 0; f < 12; ++f) got.push_back(p.enroll(audio.data() + 512 * f));
    EXPECT_EQ(got, (std::vector<float>{0, 25, 25, 50, 50, 75, 75, 100, 100, 100, 100, 100}));
    EXPECT_EQ(p.get()->chunks, 6);
    EXPECT_EQ(p.get()->frames_pushed, 12);
}

TEST(Profiler, ExportBeforeCompletionFailsAndLeavesTheBuffer) {
    Profiler p(enrollment_model(2, 0), 2);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    std::vector<float> buffer(5, 9.0f);
    EXPECT_EQ(kx_orvel_profiler_export(p.get(), buffer.data()), KX_STATUS_INVALID_STATE);
    EXPECT_EQ(fetch_error_stack(),
              Texts{"a01eaf2 000001F4: Cannot export speaker profile before enrollment is complete."});
    const std::vector<int16_t> audio = kxtest::make_test_audio(2 * 512, 1);
    p.enroll(audio.data());
    EXPECT_EQ(p.enroll(audio.data() + 512), 50.0f);
    EXPECT_EQ(kx_orvel_profiler_export(p.get(), buffer.data()), KX_STATUS_INVALID_STATE);
    EXPECT_EQ(buffer, std::vector<float>(5, 9.0f));
}

TEST(Profiler, ExportIsTheMeanAndCanBeRepeated) {
    Profiler p(enrollment_model(2, 0), 2);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    int32_t size_before = 0;
    ASSERT_EQ(kx_orvel_profiler_export_size(p.get(), &size_before), KX_STATUS_SUCCESS);
    EXPECT_EQ(size_before, 4 * 5);
    const std::vector<int16_t> audio = kxtest::make_test_audio(4 * 512, 2);
    for (int f = 0; f < 4; ++f) p.enroll(audio.data() + 512 * f);
    const std::vector<float> first = p.exported();
    EXPECT_EQ(p.exported(), first);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(first[i], p.get()->accumulator[i] / 2.0f);
    int32_t size_after = 0;
    ASSERT_EQ(kx_orvel_profiler_export_size(p.get(), &size_after), KX_STATUS_SUCCESS);
    EXPECT_EQ(size_after, size_before);

    // The caller's buffer need not be aligned.
    std::vector<unsigned char> raw(4 * 5 + 1);
    ASSERT_EQ(kx_orvel_profiler_export(p.get(), raw.data() + 1), KX_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(raw.data() + 1, first.data(), 20), 0);

    // Enrollment goes on after an export.
    p.enroll(audio.data());
    EXPECT_EQ(p.enroll(audio.data() + 512), 100.0f);
    EXPECT_NE(p.exported(), first);
}

TEST(Profiler, ResetStartsAgainFromZero) {
    Profiler p(enrollment_model(2, 0), 1);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> audio = kxtest::make_test_audio(2 * 512, 6);
    for (int f = 0; f < 2; ++f) p.enroll(audio.data() + 512 * f);
    EXPECT_EQ(p.get()->chunks, 1);
    const std::vector<float> before = p.exported();

    ASSERT_EQ(kx_orvel_profiler_reset(p.get()), KX_STATUS_SUCCESS);
    EXPECT_EQ(p.get()->chunks, 0);
    EXPECT_EQ(p.get()->frames_pushed, 0);
    std::vector<float> buffer(5);
    EXPECT_EQ(kx_orvel_profiler_export(p.get(), buffer.data()), KX_STATUS_INVALID_STATE);
    fetch_error_stack();
    EXPECT_EQ(p.enroll(audio.data()), 0.0f);
    EXPECT_EQ(p.enroll(audio.data() + 512), 100.0f);  // the same frames again give the same window
    EXPECT_EQ(p.exported(), before);
}

TEST(Profiler, FlushTakesAFinalWindowFromTheHistory) {
    // W = 2, A = 3: five frames are needed before a push may choose.
    Profiler p(enrollment_model(2, 3), 1);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> audio = kxtest::make_test_audio(12 * 512, 9);
    EXPECT_EQ(p.enroll(audio.data()), 0.0f);
    EXPECT_EQ(p.flush(), 0.0f);  // one frame: no window
    EXPECT_EQ(p.enroll(audio.data() + 512), 0.0f);
    EXPECT_EQ(p.enroll(audio.data() + 1024), 0.0f);
    EXPECT_EQ(p.flush(), 100.0f);
    EXPECT_EQ(p.get()->frames_pushed, 3);  // flush leaves the history as it is
    // The flushed window is some two consecutive frames of the three pushed.
    const std::vector<float> profile = p.exported();
    std::vector<std::vector<float>> candidates;
    for (int start = 0; start < 2; ++start) {
        Profiler single(enrollment_model(2, 0), 1);
        single.enroll(audio.data() + 512 * start);
        single.enroll(audio.data() + 512 * (start + 1));
        candidates.push_back(single.exported());
    }
    EXPECT_TRUE(profile == candidates[0] || profile == candidates[1]);
}

TEST(Profiler, FlushAfterTheHistoryWrappedEmbedsTheChosenFrames) {
    // W = 2, A = 3 at threshold 0. Which window the flush picks depends on the
    // detector, so a copy of the selector is flushed first to learn its index.
    Profiler p(enrollment_model(2, 3), 1);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> audio = kxtest::make_test_audio(40 * 512, 10);
    int f = 0;
    while (f < 40 && (f < 8 || p.get()->selector->fill < 3)) p.enroll(audio.data() + 512 * f++);
    ASSERT_GE(p.get()->selector->fill, 3);

    kx_orvel_window_selector copy = *p.get()->selector;
    std::vector<float> probs(p.get()->selector->probs, p.get()->selector->probs + 5);
    copy.probs = probs.data();
    int32_t last = -1;
    ASSERT_EQ(kx_orvel_window_selector_flush(&copy, &last), KX_STATUS_SUCCESS);
    ASSERT_GE(last, 1);

    std::vector<float> expected(5, 0.0f);
    int32_t added = 0;
    ASSERT_EQ(kx_embedding_extract(p.get()->recognizer, audio.data() + 512 * (last - 1), expected.data(), &added),
              KX_STATUS_SUCCESS);
    const int32_t chunks = p.get()->chunks;
    const std::vector<float> before(p.get()->accumulator, p.get()->accumulator + 5);
    p.flush();
    EXPECT_EQ(p.get()->chunks, chunks + 1);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(p.get()->accumulator[i] - before[i], expected[i], 1e-6f) << i;
}

TEST(Profiler, SilenceBelowAnyReachableThresholdNeverCompletes) {
    Profiler p(enrollment_model(2, 1), 1, 1.0f);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> silence(512, 0);
    for (int f = 0; f < 10; ++f) EXPECT_EQ(p.enroll(silence.data()), 0.0f);
    EXPECT_EQ(p.flush(), 0.0f);
}

TEST(Profiler, EnrolledProfileScoresTheSameUtteranceByItsSquaredLength) {
    // Holds for any detector: the profiler and the recognizer pick the same windows.
    const kxtest::ModelParams model = enrollment_model(2, 2);
    for (float threshold : {0.0f, 0.3f}) {
        Profiler p(model, 1, threshold);
        ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
        const std::vector<int16_t> audio = kxtest::make_test_audio(15 * 512, 12);
        for (int f = 0; f < 15; ++f) p.enroll(audio.data() + 512 * f);
        p.flush();
        if (p.get()->chunks == 0) continue;  // nothing voiced at this threshold
        const std::vector<float> profile = p.exported();
        float squared = 0.0f;
        for (float v : profile) squared += v * v;
        EXPECT_LE(squared, 1.0f + 1e-6f);

        kx_orvel_t* recognizer = nullptr;
        ASSERT_EQ(kx_orvel_init(p.path(), "cpu:1", threshold, &recognizer), KX_STATUS_SUCCESS);
        const float* profiles[1] = {profile.data()};
        float* scores = nullptr;
        ASSERT_EQ(kx_orvel_process(recognizer, audio.data(), 15 * 512, profiles, 1, &scores), KX_STATUS_SUCCESS);
        ASSERT_NE(scores, nullptr);
        EXPECT_EQ(scores[0], kx_orvel_score_map(recognizer->score_thresholds, squared)) << threshold;
        kx_orvel_scores_delete(scores);
        kx_orvel_delete(recognizer);
    }
}

TEST(ProfilerFailures, FailedResetRefusesEnrollUntilAResetSucceeds) {
    FaultGuard guard;
    Profiler p(enrollment_model(2, 0), 1);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_orvel_profiler_reset(p.get()), KX_STATUS_OUT_OF_MEMORY);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(message_texts(), (Texts{"Failed to allocate, out of memory.", "f44583b"}));

    const std::vector<int16_t> audio = kxtest::make_test_audio(2 * 512, 2);
    const std::string refusal = "The profiler has no window selector after a failed reset; reset it first.";
    float percentage = -1.0f;
    EXPECT_EQ(kx_orvel_profiler_enroll(p.get(), audio.data(), &percentage), KX_STATUS_INVALID_STATE);
    EXPECT_EQ(fetch_error_stack(), Texts{"a01eaf2 00000137: " + refusal});
    EXPECT_EQ(percentage, 0.0f);
    EXPECT_EQ(p.get()->frames_pushed, 0);
    EXPECT_EQ(kx_orvel_profiler_flush(p.get(), &percentage), KX_STATUS_INVALID_STATE);
    EXPECT_EQ(message_texts(), Texts{refusal});

    ASSERT_EQ(kx_orvel_profiler_reset(p.get()), KX_STATUS_SUCCESS);
    p.enroll(audio.data());
    EXPECT_EQ(p.enroll(audio.data() + 512), 100.0f);
}

TEST(ProfilerFailures, FailedWindowEmbeddingIsNotCounted) {
    FaultGuard guard;
    Profiler p(enrollment_model(2, 0), 1);
    ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> audio = kxtest::make_test_audio(2 * 512, 2);
    p.enroll(audio.data());
    // Fail each allocation of the second frame in turn until one hits the embedding.
    bool embedding_failed = false;
    for (int64_t n = 1; n < 200 && !embedding_failed; ++n) {
        ASSERT_EQ(kx_orvel_profiler_reset(p.get()), KX_STATUS_SUCCESS);
        p.enroll(audio.data());
        float percentage = -1.0f;
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_profiler_enroll(p.get(), audio.data() + 512, &percentage);
        kx_fault_fail_allocation(0);
        ASSERT_NE(status, KX_STATUS_SUCCESS) << "no allocation of the embedding failed";
        EXPECT_EQ(percentage, 0.0f);
        EXPECT_EQ(p.get()->frames_pushed, 2);
        const Texts texts = message_texts();
        ASSERT_FALSE(texts.empty());
        if (texts.back() == "316ae06") {
            embedding_failed = true;
            EXPECT_EQ(p.get()->chunks, 0);
            for (int i = 0; i < 5; ++i) EXPECT_EQ(p.get()->accumulator[i], 0.0f);
        } else {
            EXPECT_EQ(texts.back(), "8fede03");
        }
    }
    EXPECT_TRUE(embedding_failed);
}

TEST(ProfilerFailures, EveryAllocationFailureOfInitIsReportedWithoutLeaks) {
    FaultGuard guard;
    kxtest::TempFile file(enrollment_model(2, 1));
    bool succeeded = false;
    int64_t attempts = 0;
    for (int64_t n = 1; n < 400 && !succeeded; ++n) {
        attempts = n;
        kx_orvel_profiler_t* object = nullptr;
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_profiler_init(file.c_str(), "cpu:1", 2, 0.5f, &object);
        const bool fault_hit = kx_fault_allocation_count() >= n;
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            EXPECT_FALSE(fault_hit);
            kx_orvel_profiler_delete(object);
            succeeded = true;
            continue;
        }
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(object, nullptr);
        const Texts texts = message_texts();
        ASSERT_FALSE(texts.empty()) << n;
        const std::string& last = texts.back();
        EXPECT_TRUE(last == "da02a93" || last == "6e3295a" || last == "f44583b" || last == "f86f2e3" ||
                    last == "Failed to allocate, out of memory.")
            << n << ": " << last;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(attempts, 3);  // the hook did make allocations fail
}

TEST(ProfilerFailures, EveryAllocationFailureOfEnrollKeepsTheProfilerUsable) {
    FaultGuard guard;
    const kxtest::ModelParams model = enrollment_model(2, 1);
    const std::vector<int16_t> audio = kxtest::make_test_audio(6 * 512, 8);
    bool succeeded = false;
    int64_t attempts = 0;
    for (int64_t n = 1; n < 1000 && !succeeded; ++n) {
        attempts = n;
        Profiler p(model, 2);
        ASSERT_EQ(p.status(), KX_STATUS_SUCCESS);
        kx_status_t status = KX_STATUS_SUCCESS;
        kx_fault_fail_allocation(n);
        float percentage = 0.0f;
        for (int f = 0; f < 6 && status == KX_STATUS_SUCCESS; ++f)
            status = kx_orvel_profiler_enroll(p.get(), audio.data() + 512 * f, &percentage);
        if (status == KX_STATUS_SUCCESS) status = kx_orvel_profiler_flush(p.get(), &percentage);
        const bool fault_hit = kx_fault_allocation_count() >= n;
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            EXPECT_FALSE(fault_hit);
            succeeded = true;
            continue;
        }
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        const Texts texts = message_texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_TRUE(texts.back() == "8fede03" || texts.back() == "316ae06") << n << ": " << texts.back();
        // Still usable: finish enrolling from a reset.
        ASSERT_EQ(kx_orvel_profiler_reset(p.get()), KX_STATUS_SUCCESS);
        for (int f = 0; f < 6; ++f) ASSERT_EQ(kx_orvel_profiler_enroll(p.get(), audio.data() + 512 * f, &percentage), KX_STATUS_SUCCESS);
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(attempts, 3);  // the hook did make allocations fail
}

}  // namespace
