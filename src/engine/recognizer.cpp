// Recognizer creation and deletion, and the model-container reader.
#include "engine/recognizer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/log.h"
#include "base/memory.h"
#include "base/version.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr const char* kMagic = "orvel";
// A model file carries the library version in five bytes.
static_assert(sizeof(KX_ORVEL_VERSION_STRING) == 6, "version string of five characters");
constexpr int64_t kInt32Max = 2147483647;

bool read_exact(FILE* file, void* data, size_t size) { return std::fread(data, 1, size, file) == size; }

// Opens a UTF-8 path for binary reading. Windows opens byte paths in the ANSI code
// page, so there the path goes through UTF-16. Null with OUT_OF_MEMORY or IO_ERROR.
FILE* open_utf8(const char* path, kx_status_t* status) {
    *status = KX_STATUS_IO_ERROR;
#if defined(_WIN32)
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    auto* wide = static_cast<wchar_t*>(kx_host_malloc(sizeof(wchar_t) * static_cast<size_t>(length)));
    if (!wide) {
        *status = KX_STATUS_OUT_OF_MEMORY;
        return nullptr;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, length);
    FILE* file = _wfopen(wide, L"rb");
    kx_host_free(wide);
    return file;
#else
    return std::fopen(path, "rb");
#endif
}

constexpr int32_t kMaxHistoryFrames = 16384;

// Header values that no window selector or score map can work with.
bool header_usable(const kx_orvel_t* recognizer) {
    const int64_t window = recognizer->window_frames;
    const int64_t lookahead = recognizer->lookahead_frames;
    if (window < 1) {
        kx_error_push_unusable("window_frames %d is below 1.", recognizer->window_frames);
        return false;
    }
    if (window * KX_FRAME_SAMPLES > kInt32Max) {
        kx_error_push_unusable("window_frames %d makes a window longer than %lld samples.",
                               recognizer->window_frames, static_cast<long long>(kInt32Max));
        return false;
    }
    if (lookahead < 0) {
        kx_error_push_unusable("lookahead_frames %d is below 0.", recognizer->lookahead_frames);
        return false;
    }
    // The profiler keeps window + look-ahead frames of 1024 bytes each; a hostile header
    // must not make it allocate gigabytes. 16384 frames are almost nine minutes.
    if (window + lookahead > kMaxHistoryFrames) {
        kx_error_push_unusable("lookahead_frames %d with window_frames %d needs more than %d frames of history.",
                               recognizer->lookahead_frames, recognizer->window_frames, kMaxHistoryFrames);
        return false;
    }
    const float* t = recognizer->score_thresholds;
    if (!std::isfinite(t[0]) || !std::isfinite(t[1]) || !std::isfinite(t[2]) || !(t[0] < t[1]) ||
        !(t[1] < t[2])) {
        kx_error_push_unusable("score_thresholds (%g, %g, %g) are not finite and ordered low < mid < high.",
                               static_cast<double>(t[0]), static_cast<double>(t[1]), static_cast<double>(t[2]));
        return false;
    }
    return true;
}

// The front end and the network must fit together, and every scratch buffer of one
// window's embedding must have a 32-bit size.
bool blocks_usable(const kx_orvel_t* recognizer) {
    const kx_orvel_frontend_t* frontend = recognizer->frontend;
    const kx_network_t* network = recognizer->network;
    const int32_t input_size = kx_network_input_size(network);
    if (input_size != frontend->num_bands) {
        kx_error_push_unusable("network input size %d differs from num_bands %d.", input_size, frontend->num_bands);
        return false;
    }
    if (frontend->hop_length < 1) {
        kx_error_push_unusable("hop_length %d is below 1.", frontend->hop_length);
        return false;
    }
    const int64_t frames = static_cast<int64_t>(recognizer->window_frames) * KX_FRAME_SAMPLES / frontend->hop_length;
    if (frames < 1) {
        kx_error_push_unusable("a window of %d frames holds no hop of %d samples.",
                               recognizer->window_frames, frontend->hop_length);
        return false;
    }
    if (frames > KX_MAX_WINDOW_ANALYSIS_FRAMES) {
        kx_error_push_unusable("window_frames %d at hop_length %d gives %lld analysis frames per window, "
                               "more than %lld.",
                               recognizer->window_frames, frontend->hop_length, static_cast<long long>(frames),
                               static_cast<long long>(KX_MAX_WINDOW_ANALYSIS_FRAMES));
        return false;
    }
    const int64_t scratch = kx_orvel_scratch_bytes(recognizer, 1);
    if (scratch > KX_MAX_OBJECT_SCRATCH_BYTES) {
        kx_error_push_unusable("window_frames %d at hop_length %d with the network's hidden_size values needs "
                               "%lld bytes of scratch, more than %lld.",
                               recognizer->window_frames, frontend->hop_length, static_cast<long long>(scratch),
                               static_cast<long long>(KX_MAX_OBJECT_SCRATCH_BYTES));
        return false;
    }
    return true;
}

}  // namespace

int64_t kx_orvel_scratch_bytes(const kx_orvel_t* recognizer, int32_t threads) {
    const kx_orvel_frontend_t* frontend = recognizer->frontend;
    const kx_network_t* network = recognizer->network;
    const int64_t frames = int64_t{recognizer->window_frames} * KX_FRAME_SAMPLES / frontend->hop_length;
    // One window's embedding: float features, their quantised copy, every layer's output
    // with its state and gates, the pooled vector and the embedding. The buffer cache
    // may keep each of them, so they are summed rather than taking the peak.
    int64_t bytes = frames * frontend->num_bands * (4 + 2);
    for (int32_t i = 0; i < network->layer_count; ++i) {
        const int64_t h = network->forward[i].hidden_size;
        const int64_t in = network->forward[i].input_size;
        bytes += frames * h * 2 + (2 * h + in) * 2 + h * 6;
    }
    bytes += (int64_t{network->pooled_size} + network->embedding_size) * 4;
    bytes *= threads;
    size_t ring = 0;
    if (!kx_orvel_ring_bytes(kx_orvel_ring_slots(threads), network->embedding_size, &ring) ||
        static_cast<uint64_t>(ring) > static_cast<uint64_t>(INT64_MAX / 2))
        return INT64_MAX;
    bytes += static_cast<int64_t>(ring);
    // The profiler's sample history, the selector's probabilities and the running sum.
    const int64_t history = int64_t{recognizer->window_frames} + recognizer->lookahead_frames;
    return bytes + history * (KX_FRAME_SAMPLES * 2 + 4) + int64_t{network->embedding_size} * 4;
}

kx_status_t kx_orvel_load_model(kx_device_t* device, const char* model_path, float voice_threshold,
                                kx_orvel_t** out) {
    auto* recognizer = static_cast<kx_orvel_t*>(kx_host_malloc(sizeof(kx_orvel_t)));
    if (!recognizer) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        kx_device_release(device);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(recognizer, 0, sizeof(*recognizer));
    recognizer->device = device;

    kx_status_t status = KX_STATUS_SUCCESS;
    FILE* file = open_utf8(model_path, &status);
    if (!file) {
        kx_error_push(status == KX_STATUS_OUT_OF_MEMORY ? &KX_ERR_OUT_OF_MEMORY : &KX_ERR_FILE_OPEN, model_path);
        kx_orvel_delete(recognizer);
        return status;
    }
    status = KX_STATUS_SUCCESS;
    char tag[6] = {0};
    if (!read_exact(file, tag, 5)) {
        kx_error_push(&KX_ERR_FILE_READ);
        status = KX_STATUS_IO_ERROR;
    } else if (std::memcmp(tag, kMagic, 5) != 0) {
        kx_error_push(&KX_ERR_FILE_FORMAT, "Orvel model (.kx)");
        status = KX_STATUS_INVALID_ARGUMENT;
    } else if (!read_exact(file, tag, 5)) {
        kx_error_push(&KX_ERR_FILE_READ);
        status = KX_STATUS_IO_ERROR;
    } else if (std::memcmp(tag, KX_ORVEL_VERSION_STRING, 5) != 0) {
        kx_error_push(&KX_ERR_FILE_VERSION, "Orvel model (.kx)", tag, KX_ORVEL_VERSION_STRING);
        status = KX_STATUS_INVALID_ARGUMENT;
    } else {
        recognizer->voice_threshold = voice_threshold;
        if (!read_exact(file, &recognizer->window_frames, 4) || !read_exact(file, &recognizer->lookahead_frames, 4) ||
            !read_exact(file, recognizer->score_thresholds, 12)) {
            kx_error_push(&KX_ERR_FILE_READ);
            status = KX_STATUS_IO_ERROR;
        } else if (!header_usable(recognizer)) {
            status = KX_STATUS_INVALID_ARGUMENT;
        } else {
            status = kx_orvel_frontend_read(file, &recognizer->frontend);
            if (status != KX_STATUS_SUCCESS) {
                kx_error_trace("6a15559");
            } else {
                status = kx_network_read(device, file, &recognizer->network);
                if (status != KX_STATUS_SUCCESS) {
                    kx_error_trace("e85c650");
                } else if (!blocks_usable(recognizer)) {
                    status = KX_STATUS_INVALID_ARGUMENT;
                }
            }
        }
    }
    std::fclose(file);
    if (status != KX_STATUS_SUCCESS) {
        kx_orvel_delete(recognizer);
        return status;
    }
    *out = recognizer;
    return KX_STATUS_SUCCESS;
}

float kx_orvel_score_map(const float thresholds[3], float dot) {
    const double s = dot;
    const double low = thresholds[0];
    const double mid = thresholds[1];
    const double high = thresholds[2];
    double score;
    if (s <= low)
        score = 0.0;
    else if (s >= high)
        score = 1.0;
    else if (s <= mid)
        score = 0.5 * (s - low) / (mid - low);
    else
        score = 0.5 + 0.5 * (s - mid) / (high - mid);
    return static_cast<float>(score);
}

void kx_orvel_score_sum(const kx_orvel_t* recognizer, float* sum, int32_t count, const float* const* speaker_profiles,
                        int32_t num_speakers, float* scores) {
    const int32_t size = recognizer->network->embedding_size;
    for (int32_t j = 0; j < size; ++j) sum[j] /= static_cast<float>(count);
    for (int32_t i = 0; i < num_speakers; ++i) {
        const float* profile = speaker_profiles[i];
        float dot = 0.0f;
        for (int32_t j = 0; j < size; ++j) dot += sum[j] * profile[j];
        scores[i] = kx_orvel_score_map(recognizer->score_thresholds, dot);
    }
}

bool kx_orvel_voice_threshold_valid(float voice_threshold) {
    // Written so that NaN is refused too.
    if (voice_threshold >= 0.0f && voice_threshold <= 1.0f) return true;
    kx_error_push(&KX_ERR_ARG_RANGE_FLOAT, "voice_threshold", static_cast<double>(voice_threshold), 0.0, 1.0);
    return false;
}

kx_status_t kx_orvel_create(const char* model_path, const char* device, float voice_threshold, kx_orvel_t** out) {
    // "best" means one CPU thread.
    kx_device_t* compute = nullptr;
    kx_status_t status = kx_device_create_from_string(device, "cpu:1", &compute);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("6e3295a");
        return status;
    }
    status = kx_orvel_load_model(compute, model_path, voice_threshold, out);
    if (status != KX_STATUS_SUCCESS) kx_error_trace("da02a93");
    return status;
}

extern "C" {

KX_API kx_status_t kx_orvel_init(const char* model_path, const char* device, float voice_threshold,
                                 kx_orvel_t** object) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(model_path, "model_path") || !kx_check_not_null(device, "device") ||
        !kx_orvel_voice_threshold_valid(voice_threshold) || !kx_check_not_null(object, "object"))
        return KX_STATUS_INVALID_ARGUMENT;
    *object = nullptr;
    return kx_orvel_create(model_path, device, voice_threshold, object);
}

KX_API void kx_orvel_delete(kx_orvel_t* object) {
    if (!object) return;
    kx_device_t* device = object->device;
    if (object->network) kx_network_free(device, object->network);
    if (object->frontend) kx_orvel_frontend_delete(object->frontend);
    kx_host_free(object);
    kx_device_release(device);
}

}  // extern "C"
