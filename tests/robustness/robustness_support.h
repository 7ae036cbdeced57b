// Shared pieces of the robustness tests: small models, the enroll-then-score scenario
// and its observable outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kx_orvel.h"
#include "support/audio.h"
#include "support/model_writer.h"

namespace robust {

// A small consistent model: 2-frame windows, 8 bands, one layer of 6, projection to 5.
kxtest::ModelParams small_model(int32_t lookahead = 0, uint32_t seed = 5, int32_t hidden = 6);

// Everything a caller can observe from one enrollment and one recognition.
struct Outcome {
    std::vector<kx_status_t> statuses;
    std::vector<float> percentages;
    std::vector<float> profile;
    std::vector<float> scores;  // empty when the score array was null
    bool operator==(const Outcome& other) const;
};

// Enrolls `frames` 512-sample frames of audio (then flushes and exports), and scores
// the same audio against the profile and an opposite one. Every call must succeed.
Outcome enroll_and_score(const std::string& model_path, const char* device, const std::vector<int16_t>& audio,
                         int32_t min_chunks = 2, float threshold = 0.0f);

// Messages of the calling thread's error stack (fetching clears it).
std::vector<std::string> take_messages();

// The error code of a framed message ("a01eaf2 XXXXXXXX: ..."), 0 when unframed.
uint32_t message_code(const std::string& framed);

// Whether a failed call's first message names the cause: a record of its own, or one
// of the trace sites that report a failure there (see the fuzz targets).
bool names_cause(const std::vector<std::string>& messages);

}  // namespace robust
