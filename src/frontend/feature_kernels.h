// Element-wise steps of both feature pipelines (pre-emphasis, windowing), four
// floats at a time on x86-64. Every lane performs the scalar operations in the same
// order, so the results equal the plain loops bit for bit.
#pragma once

#include <cstdint>

// out[j] = x[j] - 0.97 x[j-1] in float32 with x[j] = pcm[j] * scale and x[-1] = prev
// (prev already scaled). scale must be a power of two so that x is exact.
void kx_preemphasis(const int16_t* pcm, int32_t count, float scale, float prev, float* out);

// out[k] = a[k] * b[k]; out may be a.
void kx_multiply(const float* a, const float* b, float* out, int32_t count);
