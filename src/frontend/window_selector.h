// Chooses the speech windows of a frame stream from per-frame voice probabilities.
#pragma once

#include <cstdint>

#include "device/device.h"
#include "frontend/vad.h"

struct kx_orvel_window_selector {
    kx_vad_t* vad;
    int32_t window_frames;     // W
    int32_t lookahead_frames;  // A
    float voice_threshold;
    int32_t frames_seen;
    int32_t fill;   // valid entries of probs
    float* probs;   // W + A probabilities, oldest first
    float last_probability;  // of the frame pushed last (callers that keep per-frame values)
};

// The caller keeps its device reference; the selector's detector takes one more.
kx_status_t kx_orvel_window_selector_init(kx_device_t* device, int32_t window_frames, int32_t lookahead_frames,
                                          float voice_threshold, kx_orvel_window_selector** out);
// Pushes one frame of 512 samples; *index is the last frame of a chosen window, or -1.
kx_status_t kx_orvel_window_selector_push(kx_orvel_window_selector* selector, const int16_t* pcm, int32_t* index);
// End of input: the best window left in the buffer, or -1.
kx_status_t kx_orvel_window_selector_flush(kx_orvel_window_selector* selector, int32_t* index);
void kx_orvel_window_selector_delete(kx_orvel_window_selector* selector);

// Push with a given probability in place of the detector's (tests drive the choice with it).
void kx_orvel_window_selector_push_probability(kx_orvel_window_selector* selector, float probability,
                                               int32_t* index);
