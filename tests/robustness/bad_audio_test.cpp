// Hostile but valid audio: full-scale square waves, DC offset, clipping, digital
// silence, a single non-zero sample, alternating extremes, random noise. Every call
// succeeds; percentages stay in [0, 100]; profiles are finite with length at most 1;
// scores are finite in [0, 1] or the score array is null.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/recognizer.h"
#include "robustness_support.h"

namespace {

constexpr int kMaxFrames = 64;

int16_t clip(double v) { return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : std::lround(v))); }

struct Signal {
    const char* name;
    std::function<int16_t(int)> sample;
};

std::vector<Signal> signals() {
    const std::vector<int16_t> noise = kxtest::make_test_audio(kMaxFrames * 512, 77, 32767);
    uint32_t state = 12345;
    std::vector<int16_t> white(kMaxFrames * 512);
    for (int16_t& s : white) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<int16_t>(state >> 16);
    }
    return {
        {"silence", [](int) { return int16_t{0}; }},
        {"square_full_scale", [](int n) { return (n / 40) % 2 ? int16_t{32767} : int16_t{-32768}; }},
        {"square_high", [](int n) { return (n / 2) % 2 ? int16_t{32767} : int16_t{-32768}; }},
        {"alternating_extremes", [](int n) { return n % 2 ? int16_t{32767} : int16_t{-32768}; }},
        {"dc_positive", [](int) { return int16_t{32767}; }},
        {"dc_negative", [](int) { return int16_t{-32768}; }},
        {"dc_offset_speech", [noise](int n) { return clip(20000.0 + noise[n] / 4); }},
        {"clipped_sine", [](int n) { return clip(100000.0 * std::sin(2 * M_PI * 440.0 * n / 16000.0)); }},
        {"clipped_noise", [noise](int n) { return clip(noise[n] * 8.0); }},
        {"single_sample", [](int n) { return n == 5000 ? int16_t{32767} : int16_t{0}; }},
        {"single_negative_sample", [](int n) { return n == 511 ? int16_t{-32768} : int16_t{0}; }},
        {"tiny_noise", [white](int n) { return static_cast<int16_t>(white[n] % 2); }},
        {"white_noise", [white](int n) { return white[n]; }},
        {"speech_like_noise", [noise](int n) { return noise[n]; }},
    };
}

void check_everything(const std::string& model, const std::vector<int16_t>& audio, float threshold, int32_t chunks,
                      const char* what) {
    SCOPED_TRACE(what);
    kx_orvel_profiler_t* profiler = nullptr;
    kx_orvel_t* recognizer = nullptr;
    ASSERT_EQ(kx_orvel_profiler_init(model.c_str(), "cpu:1", chunks, threshold, &profiler), KX_STATUS_SUCCESS);
    ASSERT_EQ(kx_orvel_init(model.c_str(), "cpu:1", threshold, &recognizer), KX_STATUS_SUCCESS);
    float percentage = -1.0f;
    for (size_t f = 0; f + 512 <= audio.size(); f += 512) {
        ASSERT_EQ(kx_orvel_profiler_enroll(profiler, &audio[f], &percentage), KX_STATUS_SUCCESS);
        ASSERT_TRUE(percentage >= 0.0f && percentage <= 100.0f) << percentage;
    }
    ASSERT_EQ(kx_orvel_profiler_flush(profiler, &percentage), KX_STATUS_SUCCESS);
    ASSERT_TRUE(percentage >= 0.0f && percentage <= 100.0f) << percentage;
    int32_t bytes = 0;
    ASSERT_EQ(kx_orvel_profiler_export_size(profiler, &bytes), KX_STATUS_SUCCESS);
    std::vector<float> profile(static_cast<size_t>(bytes) / 4, 0.0f);
    const kx_status_t exported = kx_orvel_profiler_export(profiler, profile.data());
    if (percentage >= 100.0f) {
        ASSERT_EQ(exported, KX_STATUS_SUCCESS);
        double norm = 0;
        for (float v : profile) {
            ASSERT_TRUE(std::isfinite(v));
            norm += double(v) * v;
        }
        EXPECT_LE(norm, 1.0 + 1e-4);
    } else {
        EXPECT_EQ(exported, KX_STATUS_INVALID_STATE);
        robust::take_messages();
        const float unit = 1.0f / std::sqrt(static_cast<float>(profile.size()));  // a valid profile
        for (size_t i = 0; i < profile.size(); ++i) profile[i] = i % 2 ? unit : -unit;
    }

    std::vector<float> opposite(profile);
    for (float& v : opposite) v = -v;
    const std::vector<float> zero(profile.size(), 0.0f);
    const float* profiles[3] = {profile.data(), opposite.data(), zero.data()};
    float* scores = nullptr;
    ASSERT_EQ(kx_orvel_process(recognizer, audio.data(), static_cast<int32_t>(audio.size()), profiles, 3, &scores),
              KX_STATUS_SUCCESS);
    if (scores) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(std::isfinite(scores[i]) && scores[i] >= 0.0f && scores[i] <= 1.0f) << scores[i];
        }
        EXPECT_EQ(scores[2], kx_orvel_score_map(recognizer->score_thresholds, 0.0f));  // a zero profile
    }
    kx_orvel_scores_delete(scores);
    kx_orvel_profiler_delete(profiler);
    kx_orvel_delete(recognizer);
}

struct ModelCase {
    const char* name;
    kxtest::ModelParams model;
    int frames;  // audio per call
};

std::vector<ModelCase> models() {
    std::vector<ModelCase> cases;
    cases.push_back({"small", robust::small_model(1), 24});
    kxtest::ModelShape strong;  // saturating weights, two layers, no projection
    strong.hidden_sizes = {12, 7};
    strong.projection_kind = 0;
    strong.weight_range = 127;
    strong.num_bands = 40;
    strong.hop_length = 128;
    kxtest::ModelParams m = kxtest::make_random_model(strong, 9);
    m.score_thresholds[0] = -1.0f;
    m.score_thresholds[1] = 0.0f;
    m.score_thresholds[2] = 1.0f;
    cases.push_back({"saturating", m, 24});
    return cases;
}

// The shipped model, when the checkout has it.
bool shipped_model(std::string* path) {
    *path = KX_SOURCE_DIR "/models/default.kx";
    FILE* f = std::fopen(path->c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

void check_signals(const std::string& model, const char* name, int frames, int32_t chunks) {
    for (const Signal& signal : signals()) {
        std::vector<int16_t> audio(static_cast<size_t>(frames) * 512);
        for (int n = 0; n < frames * 512; ++n) audio[n] = signal.sample(n);
        for (float threshold : {0.0f, 0.5f, 1.0f}) {
            const std::string what = std::string(name) + " / " + signal.name + " / threshold " + std::to_string(threshold);
            check_everything(model, audio, threshold, chunks, what.c_str());
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(BadAudio, EveryCallSucceedsWithBoundedResults) {
    for (const ModelCase& model : models()) {
        kxtest::TempFile file(model.model);
        check_signals(file.path(), model.name, model.frames, 3);
        if (HasFatalFailure()) return;
    }
}

TEST(BadAudio, ShippedModel) {
    std::string path;
    if (!shipped_model(&path)) GTEST_SKIP() << "no models/default.kx";
    check_signals(path, "default", kMaxFrames, 1);
}

TEST(BadAudio, ShortestUtteranceOfEachKind) {
    // Exactly one window of audio, and one sample less (refused), for every signal.
    kxtest::TempFile file(robust::small_model(0));
    kx_orvel_t* recognizer = nullptr;
    ASSERT_EQ(kx_orvel_init(file.c_str(), "cpu:1", 0.0f, &recognizer), KX_STATUS_SUCCESS);
    int32_t window = 0;
    ASSERT_EQ(kx_orvel_process_min_audio_length_samples(recognizer, &window), KX_STATUS_SUCCESS);
    const std::vector<float> profile(5, 0.4f);
    const float* profiles[1] = {profile.data()};
    for (const Signal& signal : signals()) {
        std::vector<int16_t> audio(static_cast<size_t>(window));
        for (int n = 0; n < window; ++n) audio[n] = signal.sample(n);
        float* scores = nullptr;
        ASSERT_EQ(kx_orvel_process(recognizer, audio.data(), window, profiles, 1, &scores), KX_STATUS_SUCCESS)
            << signal.name;
        if (scores) {
            EXPECT_TRUE(scores[0] >= 0.0f && scores[0] <= 1.0f) << signal.name;
        }
        kx_orvel_scores_delete(scores);
        // Refused before any work: the output is left as it was.
        scores = const_cast<float*>(profile.data());
        EXPECT_EQ(kx_orvel_process(recognizer, audio.data(), window - 1, profiles, 1, &scores),
                  KX_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(scores, profile.data());
        robust::take_messages();
    }
    kx_orvel_delete(recognizer);
}

}  // namespace
