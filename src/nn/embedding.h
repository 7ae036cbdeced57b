// Speaker embedding of one PCM window, added at unit length into a float sum.
#pragma once

#include <cstdint>

#include "device/device.h"
#include "kx_orvel.h"
#include "nn/network.h"

// Adds the L2-normalised embedding of the window (window_frames x 512 samples at
// pcm) into sum (embedding_size floats). *added is 1 when it was added, 0 when the
// embedding had no usable length (zero or not finite) and the sum was left alone.
// On failure the sum is unchanged.
kx_status_t kx_embedding_extract(const kx_orvel_t* recognizer, const int16_t* pcm, float* sum, int32_t* added);

// One direction of one recurrent layer over T frames of input (T x input_size Q10)
// into output (T x hidden_size Q10): written, or added with saturation.
kx_status_t kx_lstm_direction_run(kx_device_t* device, const kx_lstm_layer_t* layer, kx_buffer_t* output,
                                  kx_buffer_t* input, int32_t frames, bool reverse, bool accumulate);
