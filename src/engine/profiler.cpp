// Enrollment profiler: frame history, window embeddings, progress.
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "engine/embedding.h"
#include "engine/recognizer.h"
#include "frontend/window_selector.h"

namespace {

constexpr const char* kNoSelector = "The profiler has no window selector after a failed reset; reset it first.";

int32_t history_capacity(const kx_orvel_t* recognizer) {
    return recognizer->window_frames + recognizer->lookahead_frames;
}

float progress(const kx_orvel_profiler_t* profiler) {
    float ratio = static_cast<float>(profiler->chunks) / static_cast<float>(profiler->min_enrollment_chunks);
    if (ratio > 1.0f) ratio = 1.0f;
    return 100.0f * ratio;
}

// Embeds the window that ends at frame last_frame; counts it only when it was added.
kx_status_t embed_window(kx_orvel_profiler_t* profiler, int32_t last_frame) {
    const kx_orvel_t* recognizer = profiler->recognizer;
    const int32_t cap = history_capacity(recognizer);
    const int32_t dropped = profiler->frames_pushed > cap ? profiler->frames_pushed - cap : 0;
    const int32_t slot = last_frame - recognizer->window_frames + 1 - dropped;
    const int16_t* window = profiler->history + static_cast<int64_t>(slot) * KX_FRAME_SAMPLES;
    int32_t added = 0;
    const kx_status_t status = kx_embedding_extract(recognizer, window, profiler->accumulator, &added);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("316ae06");
        return status;
    }
    profiler->chunks += added;
    return KX_STATUS_SUCCESS;
}

kx_status_t reset_state(kx_orvel_profiler_t* profiler) {
    const kx_orvel_t* recognizer = profiler->recognizer;
    profiler->frames_pushed = 0;
    profiler->chunks = 0;
    std::memset(profiler->accumulator, 0, 4u * static_cast<uint32_t>(recognizer->network->embedding_size));
    kx_orvel_window_selector_delete(profiler->selector);
    profiler->selector = nullptr;
    const kx_status_t status =
        kx_orvel_window_selector_init(recognizer->device, recognizer->window_frames, recognizer->lookahead_frames,
                                      recognizer->voice_threshold, &profiler->selector);
    if (status != KX_STATUS_SUCCESS) {
        profiler->selector = nullptr;
        kx_error_trace("f44583b");
    }
    return status;
}

}  // namespace

extern "C" {

KX_API kx_status_t kx_orvel_profiler_init(const char* model_path, const char* device, int32_t min_enrollment_chunks,
                                          float voice_threshold, kx_orvel_profiler_t** object) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(model_path, "model_path") || !kx_check_not_null(device, "device") ||
        !kx_check_at_least(min_enrollment_chunks, 1, "min_enrollment_chunks") ||
        !kx_orvel_voice_threshold_valid(voice_threshold) || !kx_check_not_null(object, "object"))
        return KX_STATUS_INVALID_ARGUMENT;
    *object = nullptr;

    kx_orvel_t* recognizer = nullptr;
    kx_status_t status = kx_orvel_create(model_path, device, voice_threshold, &recognizer);
    if (status != KX_STATUS_SUCCESS) return status;
    kx_device_t* compute = recognizer->device;
    auto* profiler = static_cast<kx_orvel_profiler_t*>(kx_host_malloc(sizeof(kx_orvel_profiler_t)));
    if (!profiler) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        kx_orvel_delete(recognizer);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(profiler, 0, sizeof(*profiler));
    profiler->recognizer = recognizer;
    profiler->min_enrollment_chunks = min_enrollment_chunks;

    status = kx_orvel_window_selector_init(compute, recognizer->window_frames, recognizer->lookahead_frames,
                                           voice_threshold, &profiler->selector);
    if (status != KX_STATUS_SUCCESS) {
        profiler->selector = nullptr;
        kx_error_trace("f44583b");
        kx_orvel_profiler_delete(profiler);
        return status;
    }
    const uint32_t history_bytes = static_cast<uint32_t>(history_capacity(recognizer)) * 2u * KX_FRAME_SAMPLES;
    const uint32_t sum_bytes = 4u * static_cast<uint32_t>(recognizer->network->embedding_size);
    profiler->history = static_cast<int16_t*>(kx_host_malloc(history_bytes));
    if (profiler->history) profiler->accumulator = static_cast<float*>(kx_host_malloc(sum_bytes));
    if (!profiler->history || !profiler->accumulator) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        kx_orvel_profiler_delete(profiler);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    status = reset_state(profiler);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("f86f2e3");
        kx_orvel_profiler_delete(profiler);
        return status;
    }
    *object = profiler;
    return KX_STATUS_SUCCESS;
}

KX_API kx_status_t kx_orvel_profiler_reset(kx_orvel_profiler_t* object) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object")) return KX_STATUS_INVALID_ARGUMENT;
    return reset_state(object);
}

KX_API kx_status_t kx_orvel_profiler_enroll(kx_orvel_profiler_t* object, const int16_t* pcm, float* percentage) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(pcm, "pcm") ||
        !kx_check_not_null(percentage, "percentage"))
        return KX_STATUS_INVALID_ARGUMENT;
    *percentage = 0.0f;
    if (!object->selector) {
        kx_error_push(&KX_ERR_STATE, kNoSelector);
        return KX_STATUS_INVALID_STATE;
    }

    const int32_t cap = history_capacity(object->recognizer);
    const size_t frame_bytes = sizeof(int16_t) * KX_FRAME_SAMPLES;
    int16_t* slot;
    if (object->frames_pushed >= cap) {
        std::memmove(object->history, object->history + KX_FRAME_SAMPLES, (cap - 1) * frame_bytes);
        slot = object->history + static_cast<int64_t>(cap - 1) * KX_FRAME_SAMPLES;
    } else {
        slot = object->history + static_cast<int64_t>(object->frames_pushed) * KX_FRAME_SAMPLES;
    }
    std::memcpy(slot, pcm, frame_bytes);
    object->frames_pushed++;

    int32_t last_frame = -1;
    kx_status_t status = kx_orvel_window_selector_push(object->selector, pcm, &last_frame);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("8fede03");
        return status;
    }
    if (last_frame >= 0) {
        status = embed_window(object, last_frame);
        if (status != KX_STATUS_SUCCESS) return status;
    }
    *percentage = progress(object);
    return KX_STATUS_SUCCESS;
}

KX_API kx_status_t kx_orvel_profiler_flush(kx_orvel_profiler_t* object, float* percentage) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(percentage, "percentage"))
        return KX_STATUS_INVALID_ARGUMENT;
    *percentage = 0.0f;
    if (!object->selector) {
        kx_error_push(&KX_ERR_STATE, kNoSelector);
        return KX_STATUS_INVALID_STATE;
    }
    int32_t last_frame = -1;
    kx_status_t status = kx_orvel_window_selector_flush(object->selector, &last_frame);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("8fede03");
        return status;
    }
    if (last_frame >= 0) {
        status = embed_window(object, last_frame);
        if (status != KX_STATUS_SUCCESS) return status;
    }
    *percentage = progress(object);
    return KX_STATUS_SUCCESS;
}

KX_API void kx_orvel_profiler_delete(kx_orvel_profiler_t* object) {
    if (!object) return;
    kx_orvel_t* recognizer = object->recognizer;
    kx_host_free(object->accumulator);
    kx_host_free(object->history);
    kx_orvel_window_selector_delete(object->selector);
    kx_host_free(object);
    kx_orvel_delete(recognizer);
}

KX_API int32_t kx_orvel_profiler_frame_length(void) { return KX_FRAME_SAMPLES; }

}  // extern "C"
