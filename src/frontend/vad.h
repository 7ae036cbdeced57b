// Built-in voice-activity detector: fixed-point band energies through a small
// recurrent network run as an op program.
#pragma once

#include <cstdint>

#include "device/device.h"
#include "frontend/frontend.h"
#include "nn/ops.h"

constexpr int32_t KX_VAD_BUFFER_COUNT = 20;
constexpr int32_t KX_VAD_PROGRAM_LENGTH = 110;
// The program's initialisation section is [0, 16), the per-frame section [16, 110).
constexpr int32_t KX_VAD_PROGRAM_STEP_START = 16;

extern const kx_tensor_desc_t kx_vad_tensors[KX_VAD_BUFFER_COUNT];
extern const int32_t kx_vad_program[KX_VAD_PROGRAM_LENGTH];

struct kx_vad_t {
    kx_device_t* device;     // one reference, owned
    kx_program_t* program;   // buffer table built from kx_vad_tensors
    kx_vad_frontend_t* features;
    // Each layer's workspace of the device's fused recurrent step; null when the
    // device has none (the per-frame section then runs operator by operator).
    kx_buffer_t* step_workspace[2];
};

// Takes over the caller's device reference (released again on failure).
kx_status_t kx_vad_init(kx_device_t* device, kx_vad_t** out);
// One frame of 512 samples in, the voice probability in [0, 1] out.
kx_status_t kx_vad_process(kx_vad_t* vad, const int16_t* pcm, float* is_voiced);
void kx_vad_delete(kx_vad_t* vad);

// A Q31 probability as float (2147483647 reads as exactly 1.0).
float kx_vad_q31_to_probability(int32_t q31);
