#include "library.h"

namespace kxtool {

LibraryError::LibraryError(const std::string& call_name, kx_status_t s, std::vector<std::string> messages)
    : std::runtime_error(call_name + " failed: " +
                         (kx_status_to_string(s) ? kx_status_to_string(s) : "unknown status")),
      call(call_name),
      status(s),
      stack(std::move(messages)) {}

std::vector<std::string> fetch_error_stack() {
    std::vector<std::string> out;
    char** messages = nullptr;
    int32_t depth = 0;
    kx_get_error_stack(&messages, &depth);
    if (messages) {
        for (int32_t i = 0; i < depth; ++i) out.emplace_back(messages[i]);
        kx_free_error_stack(messages);
    }
    return out;
}

void check(kx_status_t status, const char* call) {
    if (status != KX_STATUS_SUCCESS) throw LibraryError(call, status, fetch_error_stack());
}

Recognizer make_recognizer(const std::string& model, const std::string& device, float voice_threshold) {
    kx_orvel_t* raw = nullptr;
    check(kx_orvel_init(model.c_str(), device.c_str(), voice_threshold, &raw), "kx_orvel_init");
    return Recognizer(raw);
}

Profiler make_profiler(const std::string& model, const std::string& device, int32_t min_chunks,
                       float voice_threshold) {
    kx_orvel_profiler_t* raw = nullptr;
    check(kx_orvel_profiler_init(model.c_str(), device.c_str(), min_chunks, voice_threshold, &raw),
          "kx_orvel_profiler_init");
    return Profiler(raw);
}

std::optional<std::vector<float>> score_utterance(kx_orvel_t* recognizer, const int16_t* pcm, size_t samples,
                                                  const std::vector<const float*>& profiles) {
    float* scores = nullptr;
    check(kx_orvel_process(recognizer, pcm, int32_t(samples), profiles.data(), int32_t(profiles.size()), &scores),
          "kx_orvel_process");
    if (!scores) return std::nullopt;
    std::vector<float> out(scores, scores + profiles.size());
    kx_orvel_scores_delete(scores);
    return out;
}

std::vector<std::string> hardware_devices() {
    char** list = nullptr;
    int32_t count = 0;
    check(kx_orvel_list_hardware_devices(&list, &count), "kx_orvel_list_hardware_devices");
    std::vector<std::string> out;
    for (int32_t i = 0; i < count; ++i) out.emplace_back(list[i] ? list[i] : "");
    kx_orvel_free_hardware_devices(list, count);
    return out;
}

}  // namespace kxtool
