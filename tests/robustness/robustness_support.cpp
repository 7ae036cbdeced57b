#include "robustness_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/error_stack.h"

namespace robust {

kxtest::ModelParams small_model(int32_t lookahead, uint32_t seed, int32_t hidden) {
    kxtest::ModelShape shape;
    shape.lookahead_frames = lookahead;
    shape.hidden_sizes = {hidden};
    kxtest::ModelParams model = kxtest::make_random_model(shape, seed);
    model.score_thresholds[0] = -1.0f;
    model.score_thresholds[1] = 0.0f;
    model.score_thresholds[2] = 1.0f;
    return model;
}

bool Outcome::operator==(const Outcome& other) const {
    // Bitwise for the floats: identical runs give identical bits.
    auto same = [](const std::vector<float>& a, const std::vector<float>& b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
    };
    return statuses == other.statuses && same(percentages, other.percentages) && same(profile, other.profile) &&
           same(scores, other.scores);
}

Outcome enroll_and_score(const std::string& model_path, const char* device, const std::vector<int16_t>& audio,
                         int32_t min_chunks, float threshold) {
    Outcome out;
    kx_orvel_profiler_t* profiler = nullptr;
    kx_orvel_t* recognizer = nullptr;
    out.statuses.push_back(kx_orvel_profiler_init(model_path.c_str(), device, min_chunks, threshold, &profiler));
    out.statuses.push_back(kx_orvel_init(model_path.c_str(), device, threshold, &recognizer));
    if (!profiler || !recognizer) {
        ADD_FAILURE() << "creation failed";
        kx_orvel_profiler_delete(profiler);
        kx_orvel_delete(recognizer);
        return out;
    }
    for (size_t f = 0; f + 512 <= audio.size(); f += 512) {
        float percentage = -1.0f;
        out.statuses.push_back(kx_orvel_profiler_enroll(profiler, &audio[f], &percentage));
        out.percentages.push_back(percentage);
    }
    float percentage = -1.0f;
    out.statuses.push_back(kx_orvel_profiler_flush(profiler, &percentage));
    out.percentages.push_back(percentage);
    int32_t bytes = 0;
    out.statuses.push_back(kx_orvel_profiler_export_size(profiler, &bytes));
    out.profile.assign(static_cast<size_t>(bytes) / 4, 0.0f);
    out.statuses.push_back(kx_orvel_profiler_export(profiler, out.profile.data()));
    std::vector<float> opposite(out.profile);
    for (float& v : opposite) v = -v;
    const float* profiles[2] = {out.profile.data(), opposite.data()};
    float* scores = nullptr;
    out.statuses.push_back(
        kx_orvel_process(recognizer, audio.data(), static_cast<int32_t>(audio.size()), profiles, 2, &scores));
    if (scores) out.scores.assign(scores, scores + 2);
    kx_orvel_scores_delete(scores);
    kx_orvel_profiler_delete(profiler);
    kx_orvel_delete(recognizer);
    for (kx_status_t s : out.statuses) EXPECT_EQ(s, KX_STATUS_SUCCESS);
    return out;
}

std::vector<std::string> take_messages() { return fetch_error_stack(); }

uint32_t message_code(const std::string& framed) {
    if (framed.size() < 17 || framed.compare(0, 8, "a01eaf2 ") != 0) return 0;
    return static_cast<uint32_t>(std::strtoul(framed.substr(8, 8).c_str(), nullptr, 16));
}

bool names_cause(const std::vector<std::string>& messages) {
    if (messages.empty()) return false;
    const uint32_t code = message_code(messages[0]);
    if (code == 0) return false;
    if (code != 310) return true;
    for (const char* site : {": 5143e09", ": 58c33c1", ": 6dd680f", ": e23e2d2", ": OUT_OF_MEMORY"}) {
        const size_t n = std::strlen(site);
        if (messages[0].size() >= n && messages[0].compare(messages[0].size() - n, n, site) == 0) return true;
    }
    return false;
}

}  // namespace robust
