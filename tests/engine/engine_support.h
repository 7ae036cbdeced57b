// Shared helpers of the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "kx_orvel.h"
#include "support/error_stack.h"
#include "support/audio.h"
#include "support/model_writer.h"

// The thread's messages without their frame, innermost first.
inline std::vector<std::string> message_texts() {
    std::vector<std::string> texts;
    for (const std::string& m : fetch_error_stack()) texts.push_back(message_text(m));
    return texts;
}

// The message codes ("00000065", ...) of the thread's messages.
inline std::vector<std::string> message_codes() {
    std::vector<std::string> codes;
    for (const std::string& m : fetch_error_stack()) codes.push_back(m.size() >= 16 ? m.substr(8, 8) : m);
    return codes;
}

// A random model whose score map is the identity shifted: with thresholds (-1, 0, 1) the
// score is 0.5 + 0.5 x the dot product over [-1, 1].
inline kxtest::ModelParams model_for_scoring(int32_t window, int32_t lookahead, uint32_t seed = 1) {
    kxtest::ModelShape shape;
    shape.window_frames = window;
    shape.lookahead_frames = lookahead;
    kxtest::ModelParams model = kxtest::make_random_model(shape, seed);
    model.score_thresholds[0] = -1.0f;
    model.score_thresholds[1] = 0.0f;
    model.score_thresholds[2] = 1.0f;
    return model;
}

// Disarms the allocation-failure hook when a test ends, whatever happened.
struct FaultGuard {
    ~FaultGuard() { kx_fault_fail_allocation(0); }
};

// A recognizer loaded from a temporary model file.
class TestRecognizer {
public:
    explicit TestRecognizer(const kxtest::ModelParams& model, float voice_threshold = 0.0f) : file_(model) {
        status_ = kx_orvel_init(file_.c_str(), "cpu:1", voice_threshold, &object_);
    }
    ~TestRecognizer() { kx_orvel_delete(object_); }
    TestRecognizer(const TestRecognizer&) = delete;
    TestRecognizer& operator=(const TestRecognizer&) = delete;
    kx_orvel_t* get() const { return object_; }
    kx_status_t status() const { return status_; }

private:
    kxtest::TempFile file_;
    kx_orvel_t* object_ = nullptr;
    kx_status_t status_ = KX_STATUS_RUNTIME_ERROR;
};
