// Audio front end: embedding features from the model's front-end block, and the
// fixed-point voice-activity features.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kx_orvel.h"

struct kx_fft_context_t;

struct kx_orvel_frontend_t {
    int32_t frame_length;
    int32_t hop_length;
    int32_t num_bands;
    float log_floor;
    float* band_mean;  // num_bands
    float* band_std;   // num_bands
    float* window;     // frame_length, symmetric Hann
    kx_fft_context_t* fft;
};

// Reads the front-end block at the file's position; leaves the file after it.
kx_status_t kx_orvel_frontend_read(FILE* file, kx_orvel_frontend_t** out);
void kx_orvel_frontend_delete(kx_orvel_frontend_t* frontend);

// num_samples / hop_length frames of num_bands features, frame-major, into out.
kx_status_t kx_orvel_frontend_compute(const kx_orvel_frontend_t* frontend, float* out, const int16_t* pcm,
                                      int32_t num_samples);

struct kx_vad_frontend_t;

// Stateful voice-activity features: 40 int16 log band energies per hop.
kx_status_t kx_vad_frontend_init(int32_t hop_length, kx_vad_frontend_t** out);
kx_status_t kx_vad_frontend_process(kx_vad_frontend_t* state, const int16_t* pcm, int16_t* out);
void kx_vad_frontend_delete(kx_vad_frontend_t* state);

// Base-10 logarithm of energy in 1/1024 units on the detector's fixed-point scale.
int16_t kx_log10_q10(float energy);
