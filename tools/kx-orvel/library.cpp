#include "library.h"

#include <algorithm>
#include <cstdlib>

namespace kxtool {
namespace {

// A stack line reads "a01eaf2 CODE: text" with CODE in eight hex digits.
bool parse_record(const std::string& line, unsigned* code, std::string* text) {
    const size_t space = line.find(' ');
    if (space == std::string::npos || line.size() < space + 11 || line[space + 9] != ':') return false;
    char* end = nullptr;
    const std::string hex = line.substr(space + 1, 8);
    *code = unsigned(std::strtoul(hex.c_str(), &end, 16));
    if (end != hex.c_str() + 8) return false;
    *text = line.substr(std::min(line.size(), space + 11));
    return true;
}

// Text between the first pair of backquotes (the plug-in path, an argument's name).
std::string quoted(const std::string& text) {
    const size_t a = text.find('`');
    const size_t b = a == std::string::npos ? a : text.find('`', a + 1);
    return b == std::string::npos ? "" : text.substr(a + 1, b - a - 1);
}

std::string sentence_for(unsigned code, const std::string& text) {
    switch (code) {
        case 100: return "the library was given no " + quoted(text) + "; this is a fault of the caller";
        case 101: return "a value is out of the range the library accepts (" + text + ")";
        case 105: return "the model file is not a kx_orvel model (or was made for another platform): pass a .kx model file";
        case 106: return "the model file belongs to another version of the library: use the model shipped with this one";
        case 107: return "the model file holds an unusable value and is probably damaged: " + text;
        case 200: case 803: case 804:
            return "out of memory: close other programs, use fewer --jobs, or score shorter files";
        case 201: return "cannot open the model file " + quoted(text) + ": check --model or KX_ORVEL_MODEL";
        case 202: return "the model file ends too early; it is cut short or damaged: copy it again";
        case 500: return "enrollment is not complete yet, so there is no profile to export: give more speech";
        case 802: {
            const size_t is = text.find(" is not a valid device string");
            const std::string device = is == std::string::npos ? text : text.substr(0, is);
            return "'" + device + "' is not a device: pass best, cpu, cpu:THREADS, gpu or gpu:INDEX (kx-orvel devices lists them)";
        }
        case 837:
            return "no GPU plug-in at " + quoted(text) + ": build with -DKX_BUILD_VULKAN=ON or install "
                   "libkx_orvel_vulkan.so beside libkx_orvel, or use --device cpu";
        case 838:
            return "the GPU plug-in cannot run here (no Vulkan loader or driver?): install one "
                   "(Debian: libvulkan1 and mesa-vulkan-drivers) or use --device cpu";
        case 839: {
            // "GPU device N could not be created: REASON"
            const size_t index = text.find("GPU device "), colon = text.find(": ");
            const std::string gpu = index == std::string::npos ? "that GPU"
                                    : "gpu:" + text.substr(index + 11, text.find(' ', index + 11) - index - 11);
            const std::string why = colon == std::string::npos ? "" : " (" + text.substr(colon + 2) + ")";
            return gpu + " cannot be used" + why + ": kx-orvel devices lists the GPUs there are; or use --device cpu";
        }
        case 840: case 841: case 801:
            return "the compute device failed while running the network: try --device cpu";
        case 110: case 300: return "the compute device could not be created: check --device against kx-orvel devices";
        case 800: return "the hardware devices could not be listed";
        default: return "";
    }
}

}  // namespace

std::string plain_sentence(const LibraryError& e) {
    // Innermost first; traces (310) and state notes (311) name sites, not causes.
    for (const std::string& line : e.stack) {
        unsigned code = 0;
        std::string text;
        if (!parse_record(line, &code, &text) || code == 310 || code == 311) continue;
        const std::string sentence = sentence_for(code, text);
        if (!sentence.empty()) return sentence;
    }
    const char* status = kx_status_to_string(e.status);
    return "the library could not do " + e.call + " (" + (status ? status : "unknown status") +
           "); --verbose shows its messages";
}

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
