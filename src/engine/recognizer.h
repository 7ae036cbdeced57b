// Recognizer and profiler records, the model-container reader and the score map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"
#include "frontend/frontend.h"
#include "kx_orvel.h"
#include "nn/network.h"

struct kx_orvel_window_selector;

struct kx_orvel {
    kx_device_t* device;
    kx_orvel_frontend_t* frontend;
    kx_network_t* network;
    int32_t window_frames;
    int32_t lookahead_frames;
    float voice_threshold;
    float score_thresholds[3];  // low, mid, high
};

struct kx_orvel_profiler {
    kx_orvel_t* recognizer;
    kx_orvel_window_selector* selector;  // null only after a failed reset
    int16_t* history;                    // (window_frames + lookahead_frames) frames of 512 samples
    int32_t frames_pushed;
    float* accumulator;  // embedding_size
    int32_t min_enrollment_chunks;
    int32_t chunks;
};

// Samples per engine frame.
constexpr int32_t KX_FRAME_SAMPLES = 512;

// Container header: magic, version, window_frames, lookahead_frames, three thresholds.
constexpr int32_t KX_MODEL_HEADER_SIZE = 30;

// What a model may ask of one window and of one recognizer or profiler, far above any
// model worth running, so that a small hostile file cannot demand gigabytes of memory
// and minutes of work per window.
constexpr int64_t KX_MAX_WINDOW_ANALYSIS_FRAMES = 8192;
constexpr int64_t KX_MAX_OBJECT_SCRATCH_BYTES = int64_t{64} << 20;

// Bytes of scratch one object of this model needs at most when `threads` windows are
// embedded at once: their embedding buffers, the recognition call's window slots, the
// enrollment history and the window selector's state. Loading checks one thread; a
// call embeds on as many threads as stay within the limit.
int64_t kx_orvel_scratch_bytes(const kx_orvel_t* recognizer, int32_t threads);

// Window slots of one recognition call on `threads` threads: a few per thread, so that
// threads seldom wait for the oldest window, however long the audio.
int32_t kx_orvel_ring_slots(int32_t threads);
// Bytes of `slots` window slots of embedding_size floats; false when that does not fit
// in a size_t.
bool kx_orvel_ring_bytes(int32_t slots, int32_t embedding_size, size_t* bytes);

// Reads the model file into a new recognizer. Takes over the device reference: on
// success the recognizer owns it, on failure it has been released.
kx_status_t kx_orvel_load_model(kx_device_t* device, const char* model_path, float voice_threshold,
                                kx_orvel_t** out);

// Checks voice_threshold is in [0, 1] (NaN refused), recording 101 when it is not.
bool kx_orvel_voice_threshold_valid(float voice_threshold);

// Creates the device named by the caller's string and loads the model onto it; each
// failure is traced with its site. The caller has checked the arguments.
kx_status_t kx_orvel_create(const char* model_path, const char* device, float voice_threshold, kx_orvel_t** out);

// Maps a dot product through the low / mid / high thresholds to [0, 1].
float kx_orvel_score_map(const float thresholds[3], float dot);

// Checks every profile is present, finite and no longer than a mean of unit vectors,
// recording 100 or 101 for the first that is not.
bool kx_orvel_profiles_valid(const kx_orvel_t* recognizer, const float* const* speaker_profiles, int32_t num_speakers);

// Scores of the mean of `count` unit embeddings whose float sum (added in window order)
// is `sum`: the sum is divided in place, then dotted with each profile and mapped. This
// is the one way from embeddings to scores, so that the per-window path gives what a
// recognition call gives.
void kx_orvel_score_sum(const kx_orvel_t* recognizer, float* sum, int32_t count, const float* const* speaker_profiles,
                        int32_t num_speakers, float* scores);
