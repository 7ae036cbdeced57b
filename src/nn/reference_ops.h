// Host side of the reference operators: bounds-checked mapping of the byte ranges an
// operator touches, and element loads and stores that work at any byte offset.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "device/elements.h"
#include "nn/ops.h"

// The thirteen reference implementations (table kx_op_reference in ops.cpp).
kx_status_t kx_reference_add(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_linear_accumulate(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_linear(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_gelu(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_normalize_quantize(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_lstm_cell(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_matmul_f32(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_copy(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_zero(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_relu(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_softmax(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_standardize(kx_device_t* device, const kx_op_args_t* args);
kx_status_t kx_reference_sum_pool(kx_device_t* device, const kx_op_args_t* args);

namespace kx_ref {

using kx_elements::extent;
using kx_elements::load;
using kx_elements::saturate16;
using kx_elements::store;

// Arithmetic right shift of a 32-bit value computed with wrap-around, as a 32-bit
// SIMD lane computes it; sums of products may exceed int32 for very wide rows.
inline int32_t wrap32(uint32_t v) { return static_cast<int32_t>(v); }

inline bool any_negative(std::initializer_list<int32_t> values) {
    for (int32_t v : values)
        if (v < 0) return true;
    return false;
}

// One byte range of one buffer that an operator reads and/or writes.
struct Access {
    kx_buffer_t* buffer;
    int64_t offset;
    int64_t bytes;
    bool reads;
    bool writes;
};

constexpr int kMaxBuffers = 4;

// Maps every distinct buffer behind a set of ranges once and unmaps them when it goes
// out of scope. A written range that does not cover its whole buffer asks for the
// contents too, so that a backend with separate memory keeps the untouched bytes.
class HostMapping {
public:
    explicit HostMapping(kx_device_t* device) : device_(device) {}
    ~HostMapping();
    HostMapping(const HostMapping&) = delete;
    HostMapping& operator=(const HostMapping&) = delete;

    // INVALID_ARGUMENT when a non-empty range lies outside its buffer (or has none),
    // RUNTIME_ERROR when the device cannot map. pointers[i] addresses the first byte of
    // range i, null for an empty range.
    kx_status_t map(const Access* ranges, int count, uint8_t** pointers);

private:
    kx_device_t* device_;
    kx_buffer_t* buffers_[kMaxBuffers] = {};
    uint8_t* bases_[kMaxBuffers] = {};
    bool need_[kMaxBuffers] = {};
    bool modified_[kMaxBuffers] = {};
    int distinct_ = 0;
    int mapped_ = 0;
};

}  // namespace kx_ref
