// Window selector: look-ahead over per-frame voice probabilities.
#include "frontend/window_selector.h"

#include <cstring>

#include "base/error.h"
#include "base/memory.h"

namespace {

int32_t buffer_length(const kx_orvel_window_selector* s) { return s->window_frames + s->lookahead_frames; }

// Counts the frame and frees the slot it will occupy; returns that slot.
float* open_slot(kx_orvel_window_selector* s) {
    s->frames_seen++;
    const int32_t length = buffer_length(s);
    if (s->fill >= length) {
        std::memmove(s->probs, s->probs + 1, static_cast<size_t>(length - 1) * sizeof(float));
        s->fill--;
    }
    return s->probs + s->fill;
}

// Commits the oldest window once the buffer is full, unless a later one is better.
int32_t choose(kx_orvel_window_selector* s) {
    const int32_t w = s->window_frames;
    const int32_t a = s->lookahead_frames;
    if (s->fill != w + a) return -1;
    float sum = 0.0f;
    for (int32_t i = 0; i < w; ++i) sum += s->probs[i];
    if (sum / static_cast<float>(w) < s->voice_threshold) return -1;
    float run = sum;
    for (int32_t i = 0; i < a; ++i) {
        run = run - s->probs[i] + s->probs[i + w];
        if (run > sum) return -1;
    }
    s->fill = 0;
    return s->frames_seen - a - 1;
}

}  // namespace

kx_status_t kx_orvel_window_selector_init(kx_device_t* device, int32_t window_frames, int32_t lookahead_frames,
                                          float voice_threshold, kx_orvel_window_selector** out) {
    *out = nullptr;
    auto* selector = static_cast<kx_orvel_window_selector*>(kx_host_malloc(sizeof(kx_orvel_window_selector)));
    if (!selector) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(selector, 0, sizeof(*selector));
    selector->window_frames = window_frames;
    selector->lookahead_frames = lookahead_frames;
    selector->voice_threshold = voice_threshold;
    const uint32_t count = static_cast<uint32_t>(window_frames) + static_cast<uint32_t>(lookahead_frames);
    selector->probs = static_cast<float*>(kx_host_malloc(count * sizeof(float)));
    if (!selector->probs) {
        kx_error_push(&KX_ERR_DEVICE_OOM);
        kx_orvel_window_selector_delete(selector);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(selector->probs, 0, count * sizeof(float));
    kx_device_retain(device);
    const kx_status_t status = kx_vad_init(device, &selector->vad);
    if (status != KX_STATUS_SUCCESS) {
        selector->vad = nullptr;
        kx_error_trace("c69f96d");
        kx_orvel_window_selector_delete(selector);
        return status;
    }
    *out = selector;
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_orvel_window_selector_push(kx_orvel_window_selector* selector, const int16_t* pcm, int32_t* index) {
    *index = -1;
    float* slot = open_slot(selector);
    const kx_status_t status = kx_vad_process(selector->vad, pcm, slot);
    selector->fill++;
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("50521ba");
        return status;
    }
    selector->last_probability = *slot;
    *index = choose(selector);
    return KX_STATUS_SUCCESS;
}

void kx_orvel_window_selector_push_probability(kx_orvel_window_selector* selector, float probability,
                                               int32_t* index) {
    *open_slot(selector) = probability;
    selector->fill++;
    selector->last_probability = probability;
    *index = choose(selector);
}

kx_status_t kx_orvel_window_selector_flush(kx_orvel_window_selector* selector, int32_t* index) {
    *index = -1;
    const int32_t w = selector->window_frames;
    const int32_t fill = selector->fill;
    if (fill < w) return KX_STATUS_SUCCESS;
    float sum = 0.0f;
    for (int32_t i = 0; i < w; ++i) sum += selector->probs[i];
    if (sum / static_cast<float>(w) < selector->voice_threshold) return KX_STATUS_SUCCESS;
    float best = sum;
    float run = sum;
    int32_t best_offset = 0;
    for (int32_t offset = 1; offset <= fill - w; ++offset) {
        run = run - selector->probs[offset - 1] + selector->probs[offset - 1 + w];
        if (run > best) {
            best = run;
            best_offset = offset;
        }
    }
    *index = selector->frames_seen - fill + best_offset + w - 1;
    selector->fill = 0;
    return KX_STATUS_SUCCESS;
}

void kx_orvel_window_selector_delete(kx_orvel_window_selector* selector) {
    if (!selector) return;
    kx_vad_delete(selector->vad);
    kx_host_free(selector->probs);
    kx_host_free(selector);
}
