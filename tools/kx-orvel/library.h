// Thin C++ owners over the C interface, and the report of a failing call.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kx_orvel.h"

namespace kxtool {

// A library call failed; carries the status and the error stack (innermost first).
struct LibraryError : std::runtime_error {
    LibraryError(const std::string& call, kx_status_t status, std::vector<std::string> stack);
    std::string call;
    kx_status_t status;
    std::vector<std::string> stack;
};

// One sentence for a person: what went wrong and what to do, from the records in the
// stack (the innermost one that says more than a trace) and the failing call.
std::string plain_sentence(const LibraryError& e);

// Fetches the calling thread's error stack (and thereby clears it).
std::vector<std::string> fetch_error_stack();

// Throws LibraryError when status is not SUCCESS.
void check(kx_status_t status, const char* call);

struct RecognizerDeleter {
    void operator()(kx_orvel_t* p) const { kx_orvel_delete(p); }
};
struct ProfilerDeleter {
    void operator()(kx_orvel_profiler_t* p) const { kx_orvel_profiler_delete(p); }
};
using Recognizer = std::unique_ptr<kx_orvel_t, RecognizerDeleter>;
using Profiler = std::unique_ptr<kx_orvel_profiler_t, ProfilerDeleter>;

Recognizer make_recognizer(const std::string& model, const std::string& device, float voice_threshold);
Profiler make_profiler(const std::string& model, const std::string& device, int32_t min_chunks,
                       float voice_threshold);

// Scores of one utterance against every profile; nothing when it held no speech.
std::optional<std::vector<float>> score_utterance(kx_orvel_t* recognizer, const int16_t* pcm, size_t samples,
                                                  const std::vector<const float*>& profiles);

std::vector<std::string> hardware_devices();

}  // namespace kxtool
