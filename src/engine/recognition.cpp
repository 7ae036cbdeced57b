// Scoring one utterance against speaker profiles.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "engine/embedding.h"
#include "engine/recognizer.h"
#include "frontend/window_selector.h"

namespace {

// Per-call state, released on every way out.
struct Call {
    kx_orvel_window_selector* selector;
    float* accumulator;
    ~Call() {
        kx_host_free(accumulator);
        kx_orvel_window_selector_delete(selector);
    }
};

kx_status_t embed_window(const kx_orvel_t* recognizer, const int16_t* pcm, int32_t last_frame, float* accumulator,
                         int32_t* windows) {
    const int16_t* start = pcm + static_cast<int64_t>(last_frame - recognizer->window_frames + 1) * KX_FRAME_SAMPLES;
    int32_t added = 0;
    const kx_status_t status = kx_embedding_extract(recognizer, start, accumulator, &added);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("316ae06");
        return status;
    }
    *windows += added;
    return KX_STATUS_SUCCESS;
}

// A profile is the mean of unit-length embeddings: finite, and no longer than 1 beyond
// float32 rounding. An edited one (scaled up, or holding NaN) would score outside [0, 1]
// or accept every speaker.
constexpr double kMaxProfileLength = 1.001;

bool profile_valid(const float* profile, int32_t size, int32_t index) {
    double squares = 0.0;
    for (int32_t j = 0; j < size; ++j) {
        if (!std::isfinite(profile[j])) {
            kx_error_push(&KX_ERR_ARG_PROFILE_VALUE, index, j, static_cast<double>(profile[j]));
            return false;
        }
        squares += double{profile[j]} * profile[j];
    }
    const double length = std::sqrt(squares);
    if (length > kMaxProfileLength) {
        kx_error_push(&KX_ERR_ARG_PROFILE_LENGTH, index, length, kMaxProfileLength);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

KX_API kx_status_t kx_orvel_process(kx_orvel_t* object, const int16_t* pcm, int32_t num_samples,
                                    const float* const* speaker_profiles, int32_t num_speakers, float** scores) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(pcm, "pcm")) return KX_STATUS_INVALID_ARGUMENT;
    const int32_t min_samples = object->window_frames * KX_FRAME_SAMPLES;
    if (!kx_check_at_least(num_samples, min_samples, "num_samples") ||
        !kx_check_not_null(speaker_profiles, "speaker_profiles") || !kx_check_at_least(num_speakers, 1, "num_speakers"))
        return KX_STATUS_INVALID_ARGUMENT;
    // A missing profile would be read through a null pointer.
    for (int32_t i = 0; i < num_speakers; ++i) {
        if (!speaker_profiles[i]) {
            char name[40];
            std::snprintf(name, sizeof(name), "speaker_profiles[%d]", i);
            kx_error_push(&KX_ERR_ARG_NULL, name);
            return KX_STATUS_INVALID_ARGUMENT;
        }
        if (!profile_valid(speaker_profiles[i], object->network->embedding_size, i)) return KX_STATUS_INVALID_ARGUMENT;
    }
    if (!kx_check_not_null(scores, "scores")) return KX_STATUS_INVALID_ARGUMENT;
    *scores = nullptr;

    Call call{nullptr, nullptr};
    kx_status_t status = kx_orvel_window_selector_init(object->device, object->window_frames,
                                                       object->lookahead_frames, object->voice_threshold,
                                                       &call.selector);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("f44583b");
        return status;
    }
    const int32_t size = object->network->embedding_size;
    const uint32_t bytes = 4u * static_cast<uint32_t>(size);
    call.accumulator = static_cast<float*>(kx_host_malloc(bytes));
    if (!call.accumulator) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(call.accumulator, 0, bytes);

    int32_t windows = 0;
    int32_t last_frame = -1;
    const int32_t frames = num_samples / KX_FRAME_SAMPLES;
    for (int32_t f = 0; f < frames; ++f) {
        status = kx_orvel_window_selector_push(call.selector, pcm + static_cast<int64_t>(f) * KX_FRAME_SAMPLES,
                                               &last_frame);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_trace("8fede03");
            return status;
        }
        if (last_frame >= 0) {
            status = embed_window(object, pcm, last_frame, call.accumulator, &windows);
            if (status != KX_STATUS_SUCCESS) return status;
        }
    }
    status = kx_orvel_window_selector_flush(call.selector, &last_frame);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("8fede03");
        return status;
    }
    if (last_frame >= 0) {
        status = embed_window(object, pcm, last_frame, call.accumulator, &windows);
        if (status != KX_STATUS_SUCCESS) return status;
    }
    if (windows == 0) return KX_STATUS_SUCCESS;

    for (int32_t j = 0; j < size; ++j) call.accumulator[j] /= static_cast<float>(windows);
    auto* result = static_cast<float*>(kx_host_calloc(static_cast<size_t>(num_speakers), sizeof(float)));
    if (!result) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    for (int32_t i = 0; i < num_speakers; ++i) {
        const float* profile = speaker_profiles[i];
        float dot = 0.0f;
        for (int32_t j = 0; j < size; ++j) dot += call.accumulator[j] * profile[j];
        result[i] = kx_orvel_score_map(object->score_thresholds, dot);
    }
    *scores = result;
    return KX_STATUS_SUCCESS;
}

KX_API kx_status_t kx_orvel_process_min_audio_length_samples(kx_orvel_t* object, int32_t* num_samples) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(num_samples, "num_samples"))
        return KX_STATUS_INVALID_ARGUMENT;
    *num_samples = object->window_frames * KX_FRAME_SAMPLES;
    return KX_STATUS_SUCCESS;
}

KX_API void kx_orvel_scores_delete(float* scores) { kx_host_free(scores); }

}  // extern "C"
