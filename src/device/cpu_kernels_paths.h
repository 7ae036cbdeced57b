// Argument blocks of the CPU kernels and their per-instruction-set code paths.
#pragma once

#include <cstdint>
#include <cstring>

#include "device/elements.h"

// Which vector paths this build has: SSE4.1, AVX2 and AVX-512 on x86, NEON on ARM.
#if defined(__x86_64__) || defined(__i386__)
#define KX_CPU_X86_PATHS 1
#elif defined(__aarch64__) || defined(__arm__)
#define KX_CPU_NEON_PATHS 1
#endif

// Operands are byte pointers: operator offsets are arbitrary, so elements are moved
// with memcpy (plain moves once compiled) and vectors with unaligned loads.
struct kx_cpu_add_block_t {
    uint8_t* out;
    const uint8_t* a;
    const uint8_t* b;
    int64_t n;
    uint64_t count;
    uint32_t cpu_features;
};

struct kx_cpu_linear_block_t {
    uint8_t* out;
    const uint8_t* in;
    const int8_t* weights;
    const int8_t* bias;
    int64_t vectors;
    int64_t rows;
    int64_t columns;
    uint64_t count;
    uint32_t cpu_features;
    bool accumulate;
};

struct kx_cpu_lstm_block_t {
    uint8_t* hidden;
    uint8_t* cell;
    uint8_t* gates;
    int64_t size;  // H
    uint32_t cpu_features;
};

struct kx_cpu_matmul_block_t {
    uint8_t* out;
    const uint8_t* in;
    const uint8_t* matrix;
    int64_t vectors;
    int64_t rows;
    int64_t columns;
    uint64_t count;
    uint32_t cpu_features;
};

struct kx_cpu_softmax_block_t {
    uint8_t* out;
    const uint8_t* in;
    int64_t rows;
    int64_t length;
    uint64_t count;
    uint32_t cpu_features;
};

struct kx_cpu_standardize_block_t {
    uint8_t* out;
    const uint8_t* in;
    const uint8_t* mean;
    const uint8_t* scale;
    int64_t frames;
    int64_t width;  // features per frame
    uint64_t count;
    uint32_t cpu_features;
};

// A recurrent direction over a sequence (see kx_lstm_sequence_t).
struct kx_cpu_sequence_block_t {
    uint8_t* out;
    const uint8_t* in;
    const int8_t* weights;
    const int8_t* bias;
    uint8_t* workspace;  // the AVX-512 path's rearranged weights
    int64_t hidden;
    int64_t input_size;
    int64_t frames;
    bool reverse;
    bool accumulate;
    uint32_t cpu_features;
};

// A recurrent step with separately rounded products (see kx_lstm_step_t).
struct kx_cpu_step_block_t {
    uint8_t* hidden;
    uint8_t* cell;
    const uint8_t* in;
    const int8_t* input_weights;
    const int8_t* input_bias;
    const int8_t* hidden_weights;
    const int8_t* hidden_bias;
    uint8_t* workspace;
    int64_t workspace_bytes;
    int64_t hidden_size;
    int64_t input_size;
    uint32_t cpu_features;
};

// Largest hidden size of the fused recurrent paths (their state lives on the stack).
constexpr int64_t KX_CPU_FUSED_MAX_HIDDEN = 512;

namespace kx_cpu {

using kx_elements::load;
using kx_elements::saturate16;
using kx_elements::store;

// Rounds a row's 32-bit sum of products (wrap-around) plus bias into output row r.
inline void linear_finish(const kx_cpu_linear_block_t* b, uint8_t* y, int64_t r, uint32_t sum) {
    const uint32_t acc = sum + static_cast<uint32_t>(b->bias[r] * 1024);
    const int32_t product = static_cast<int32_t>(acc + 64u) >> 7;
    const int32_t base = b->accumulate ? load<int16_t>(y, r) : 0;
    store<int16_t>(y, r, saturate16(base + product));
}

// Runs step over the cell's lanes kLanes at a time; unless whole, the last partial
// group goes through the same step on zero-padded copies.
template <int kLanes, typename Step>
inline void cell_lanes(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n, bool whole, Step step) {
    const int64_t h = b->size;
    int64_t k = first;
    const int64_t end = first + n;
    for (; k + kLanes <= end; k += kLanes)
        step(b->hidden + 2 * k, b->cell + 2 * k, b->gates + 2 * k, b->gates + 2 * (h + k), b->gates + 2 * (2 * h + k));
    if (whole || k == end) return;
    const int64_t rest = end - k;
    int16_t tmp[5][kLanes] = {};
    std::memcpy(tmp[1], b->cell + 2 * k, 2 * rest);
    std::memcpy(tmp[2], b->gates + 2 * k, 2 * rest);
    std::memcpy(tmp[3], b->gates + 2 * (h + k), 2 * rest);
    std::memcpy(tmp[4], b->gates + 2 * (2 * h + k), 2 * rest);
    step(reinterpret_cast<uint8_t*>(tmp[0]), reinterpret_cast<uint8_t*>(tmp[1]), reinterpret_cast<uint8_t*>(tmp[2]),
         reinterpret_cast<uint8_t*>(tmp[3]), reinterpret_cast<uint8_t*>(tmp[4]));
    std::memcpy(b->hidden + 2 * k, tmp[0], 2 * rest);
    std::memcpy(b->cell + 2 * k, tmp[1], 2 * rest);
    std::memcpy(b->gates + 2 * k, tmp[2], 2 * rest);
    std::memcpy(b->gates + 2 * (2 * h + k), tmp[4], 2 * rest);
}

}  // namespace kx_cpu

// Element ranges, output ranges [first, last) of the B·M linear outputs, lane ranges
// of the cell, row ranges of softmax, frame ranges of standardisation.
void kx_cpu_add_portable(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n);
void kx_cpu_add_sse41(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n);  // n % 8 == 0
void kx_cpu_add_avx2(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n);   // n % 16 == 0

void kx_cpu_linear_outputs_portable(const kx_cpu_linear_block_t* b, int64_t first, int64_t last);
void kx_cpu_linear_outputs_sse41(const kx_cpu_linear_block_t* b, int64_t first, int64_t last);
void kx_cpu_linear_outputs_avx2(const kx_cpu_linear_block_t* b, int64_t first, int64_t last);
void kx_cpu_linear_outputs_avx512(const kx_cpu_linear_block_t* b, int64_t first, int64_t last);

// Matrix-vector case: the row pairs of one item (and row M-1 for item 0 when M is odd).
void kx_cpu_linear_rows_sse41(const kx_cpu_linear_block_t* b, uint64_t item);
void kx_cpu_linear_rows_avx2(const kx_cpu_linear_block_t* b, uint64_t item);
void kx_cpu_linear_rows_avx512(const kx_cpu_linear_block_t* b, uint64_t item);

void kx_cpu_lstm_portable(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n);
void kx_cpu_lstm_sse41(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n);
void kx_cpu_lstm_avx2(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n);

// The fused direction: portable (any sizes up to the maximum hidden size) and
// AVX-512 VNNI, with a workspace of the bytes kx_cpu_lstm_sequence_avx512_workspace
// gives (0: the sizes do not suit it; hidden must be a multiple of 16). The AVX-512
// path fills the workspace when it holds other weights, then runs the frames.
void kx_cpu_lstm_sequence_portable(const kx_cpu_sequence_block_t* b);
int64_t kx_cpu_lstm_sequence_avx512_workspace(int64_t hidden, int64_t input_size);
void kx_cpu_lstm_sequence_avx512(const kx_cpu_sequence_block_t* b);

// The fused step: portable and AVX-512 VNNI (hidden % 16 == 0, both sizes at most
// the maximum hidden size; rearranged weights kept in the workspace).
void kx_cpu_lstm_step_portable(const kx_cpu_step_block_t* b);
void kx_cpu_lstm_step_avx512(const kx_cpu_step_block_t* b);

void kx_cpu_matmul_portable(const kx_cpu_matmul_block_t* b, int64_t first, int64_t last);
void kx_cpu_matmul_avx2(const kx_cpu_matmul_block_t* b, int64_t first, int64_t last);  // K % 32 == 0

void kx_cpu_softmax_portable(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last);
void kx_cpu_softmax_sse41(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last);  // L % 8 == 0
void kx_cpu_softmax_avx2(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last);   // L % 16 == 0

void kx_cpu_standardize_portable(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last);
void kx_cpu_standardize_sse41(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last);  // m % 8 == 0
void kx_cpu_standardize_avx2(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last);   // m % 16 == 0

// NEON (ARM): the same item ranges; element-wise widths are multiples of 8.
void kx_cpu_add_neon(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n);  // n % 8 == 0
void kx_cpu_linear_rows_neon(const kx_cpu_linear_block_t* b, uint64_t item);
void kx_cpu_linear_outputs_neon(const kx_cpu_linear_block_t* b, int64_t first, int64_t last);
void kx_cpu_lstm_neon(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n);
void kx_cpu_softmax_neon(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last);          // L % 8 == 0
void kx_cpu_standardize_neon(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last);  // m % 8 == 0
