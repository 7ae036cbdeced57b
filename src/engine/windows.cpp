// Per-window embeddings of a whole recording from one detector pass, and the scoring
// of an embedding sum: the recognition call's road, sliced so that callers can decide
// over time (who spoke when) without scoring the audio again and again.
#include <cmath>
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "engine/embedding.h"
#include "engine/recognizer.h"
#include "frontend/window_selector.h"

namespace {

struct SelectorGuard {
    kx_orvel_window_selector* selector = nullptr;
    ~SelectorGuard() { kx_orvel_window_selector_delete(selector); }
};

// Mean of a window's frame probabilities, added in order as the selector adds them.
float window_voice(const float* frame_probs, int32_t first, int32_t w) {
    float sum = 0.0f;
    for (int32_t i = 0; i < w; ++i) sum += frame_probs[first + i];
    return sum / static_cast<float>(w);
}

// One host block: the record, then its arrays (all 4-byte elements).
kx_orvel_windows_t* allocate(int32_t capacity, int32_t frames, int32_t size) {
    size_t per_window = 0, embeddings = 0, total = 0;
    const size_t n = static_cast<size_t>(capacity);
    if (!kx_checked_product(n, static_cast<size_t>(size), &embeddings) ||
        !kx_checked_product(embeddings + 2 * n + static_cast<size_t>(frames), sizeof(float), &per_window) ||
        __builtin_add_overflow(per_window, sizeof(kx_orvel_windows_t), &total))
        return nullptr;
    auto* record = static_cast<kx_orvel_windows_t*>(kx_host_calloc(1, total));
    if (!record) return nullptr;
    auto* base = reinterpret_cast<uint8_t*>(record + 1);
    record->start_samples = reinterpret_cast<int32_t*>(base);
    record->voice_probabilities = reinterpret_cast<float*>(base) + n;
    record->frame_voice_probabilities = reinterpret_cast<float*>(base) + 2 * n;
    record->embeddings = reinterpret_cast<float*>(base) + 2 * n + frames;
    return record;
}

}  // namespace

extern "C" {

KX_API kx_status_t kx_orvel_embed_windows(kx_orvel_t* object, const int16_t* pcm, int32_t num_samples,
                                          int32_t hop_frames, kx_orvel_windows_t** windows) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(pcm, "pcm") ||
        !kx_check_at_least(num_samples, object->window_frames * KX_FRAME_SAMPLES, "num_samples") ||
        !kx_check_at_least(hop_frames, 0, "hop_frames") || !kx_check_not_null(windows, "windows"))
        return KX_STATUS_INVALID_ARGUMENT;
    *windows = nullptr;

    const int32_t w = object->window_frames;
    const int32_t frames = num_samples / KX_FRAME_SAMPLES;
    const int32_t size = object->network->embedding_size;
    // Chosen windows never overlap; grid windows start at every hop while one fits.
    const int32_t capacity = hop_frames == 0 ? frames / w + 1 : (frames - w) / hop_frames + 1;
    kx_orvel_windows_t* record = allocate(capacity, frames, size);
    if (!record) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    record->window_samples = w * KX_FRAME_SAMPLES;
    record->embedding_size = size;
    record->num_frames = frames;
    auto* starts = const_cast<int32_t*>(record->start_samples);
    auto* voices = const_cast<float*>(record->voice_probabilities);
    auto* frame_probs = const_cast<float*>(record->frame_voice_probabilities);
    auto* units = const_cast<float*>(record->embeddings);

    SelectorGuard guard;
    kx_status_t status =
        kx_orvel_window_selector_init(object->device, w, object->lookahead_frames, object->voice_threshold,
                                      &guard.selector);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("3d7a0c1");
        kx_host_free(record);
        return status;
    }
    auto embed = [&](int32_t first_frame, float voice) -> kx_status_t {
        const int32_t n = record->num_windows++;
        starts[n] = first_frame * KX_FRAME_SAMPLES;
        voices[n] = voice;
        int32_t added = 0;
        const kx_status_t s = kx_embedding_extract(
            object, pcm + static_cast<int64_t>(first_frame) * KX_FRAME_SAMPLES, units + static_cast<int64_t>(n) * size,
            &added);
        if (s != KX_STATUS_SUCCESS) kx_error_trace("6b2e94f");
        return s;
    };
    // The selector runs over every frame: its probabilities for the grid, its choices
    // (and its flush) for the recognition call's windows.
    for (int32_t f = 0; f <= frames; ++f) {
        int32_t last = -1;
        status = f < frames ? kx_orvel_window_selector_push(guard.selector,
                                                            pcm + static_cast<int64_t>(f) * KX_FRAME_SAMPLES, &last)
                            : kx_orvel_window_selector_flush(guard.selector, &last);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_trace("9c41e27");
            kx_host_free(record);
            return status;
        }
        if (f < frames) frame_probs[f] = guard.selector->last_probability;
        if (hop_frames == 0 && last >= 0 &&
            (status = embed(last - w + 1, window_voice(frame_probs, last - w + 1, w))) != KX_STATUS_SUCCESS) {
            kx_host_free(record);
            return status;
        }
    }
    for (int32_t first = 0; hop_frames > 0 && first + w <= frames; first += hop_frames) {
        const float voice = window_voice(frame_probs, first, w);
        if (voice >= object->voice_threshold) {
            if ((status = embed(first, voice)) != KX_STATUS_SUCCESS) {
                kx_host_free(record);
                return status;
            }
        } else {
            const int32_t n = record->num_windows++;
            starts[n] = first * KX_FRAME_SAMPLES;
            voices[n] = voice;
        }
    }
    *windows = record;
    return KX_STATUS_SUCCESS;
}

KX_API void kx_orvel_windows_delete(kx_orvel_windows_t* windows) { kx_host_free(windows); }

KX_API kx_status_t kx_orvel_score_embeddings(kx_orvel_t* object, const float* embedding_sum, int32_t num_embeddings,
                                             const float* const* speaker_profiles, int32_t num_speakers,
                                             float* scores) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(embedding_sum, "embedding_sum"))
        return KX_STATUS_INVALID_ARGUMENT;
    const int32_t size = object->network->embedding_size;
    for (int32_t j = 0; j < size; ++j)
        if (!std::isfinite(embedding_sum[j])) {
            kx_error_push(&KX_ERR_ARG_INVALID, "embedding_sum");
            return KX_STATUS_INVALID_ARGUMENT;
        }
    if (!kx_check_at_least(num_embeddings, 1, "num_embeddings") ||
        !kx_check_not_null(speaker_profiles, "speaker_profiles") || !kx_check_at_least(num_speakers, 1, "num_speakers") ||
        !kx_orvel_profiles_valid(object, speaker_profiles, num_speakers) || !kx_check_not_null(scores, "scores"))
        return KX_STATUS_INVALID_ARGUMENT;
    auto* mean = static_cast<float*>(kx_host_malloc(static_cast<size_t>(size) * sizeof(float)));
    if (!mean) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memcpy(mean, embedding_sum, static_cast<size_t>(size) * sizeof(float));
    kx_orvel_score_sum(object, mean, num_embeddings, speaker_profiles, num_speakers, scores);
    kx_host_free(mean);
    return KX_STATUS_SUCCESS;
}

}  // extern "C"
