// Speaker embedding of one PCM window, added at unit length into a float sum.
#pragma once

#include <cstdint>

#include "kx_orvel.h"

// Adds the L2-normalised embedding of the window (window_frames x 512 samples at
// pcm) into sum (embedding_size floats). *added is 1 when it was added, 0 when the
// embedding had no usable length (zero or not finite) and the sum was left alone.
// On failure the sum is unchanged.
kx_status_t kx_embedding_extract(const kx_orvel_t* recognizer, const int16_t* pcm, float* sum, int32_t* added);
