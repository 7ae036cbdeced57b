// Speaker embedding of one PCM window, added at unit length into a float sum.
#pragma once

#include <cstdint>

#include "kx_orvel.h"

// Adds the L2-normalised embedding of the window (window_frames x 512 samples at
// pcm) into sum (embedding_size floats). *added is 1 when it was added, 0 when the
// embedding had no usable length (zero or not finite) and the sum was left alone.
// On failure the sum is unchanged.
kx_status_t kx_embedding_extract(const kx_orvel_t* recognizer, const int16_t* pcm, float* sum, int32_t* added);

// Scratch buffers one extraction takes from the device's cache, and a reserve of
// `copies` sets of them: with the reserve in the cache, `copies` extractions that
// run at once take every buffer from it and create none (so that the allocations of
// a call do not depend on how its threads interleave). OUT_OF_MEMORY (record 804)
// when a buffer cannot be created; the reserve made so far stays in the cache.
int32_t kx_embedding_scratch_count(const kx_orvel_t* recognizer);
kx_status_t kx_embedding_reserve(const kx_orvel_t* recognizer, int32_t copies);

