// Reference arithmetic of ADD, LINEAR, LINEAR_ACCUMULATE, MATMUL_F32, COPY and ZERO.
#include <cstring>

#include "nn/reference_ops.h"

using kx_ref::Access;
using kx_ref::extent;
using kx_ref::HostMapping;
using kx_ref::load;
using kx_ref::store;

kx_status_t kx_reference_add(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t count = args->ints[0];
    if (count < 0) return KX_STATUS_INVALID_ARGUMENT;
    const int64_t bytes = extent({2, count});
    const Access ranges[3] = {{args->buffers[0], args->ints[1], bytes, false, true},
                              {args->buffers[1], args->ints[2], bytes, true, false},
                              {args->buffers[2], args->ints[3], bytes, true, false}};
    uint8_t* p[3];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 3, p);
    if (status != KX_STATUS_SUCCESS) return status;
    for (int32_t k = 0; k < count; ++k)
        store<int16_t>(p[0], k, kx_ref::saturate16(load<int16_t>(p[1], k) + load<int16_t>(p[2], k)));
    return KX_STATUS_SUCCESS;
}

namespace {

// Shared body of LINEAR and LINEAR_ACCUMULATE: the rounded product is stored, or added
// onto what the output holds, with saturation either way.
kx_status_t linear(kx_device_t* device, const kx_op_args_t* args, bool accumulate) {
    const int32_t vectors = args->ints[0];
    const int32_t rows = args->ints[1];
    const int32_t columns = args->ints[2];
    if (kx_ref::any_negative({vectors, rows, columns})) return KX_STATUS_INVALID_ARGUMENT;
    const bool work = vectors > 0 && rows > 0;
    const Access ranges[4] = {{args->buffers[0], args->ints[3], extent({2, rows, vectors}), accumulate, true},
                              {args->buffers[1], args->ints[4], work ? extent({2, columns, vectors}) : 0, true, false},
                              {args->buffers[2], 0, work ? extent({rows, columns}) : 0, true, false},
                              {args->buffers[3], 0, work ? int64_t{rows} : 0, true, false}};
    uint8_t* p[4];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 4, p);
    if (status != KX_STATUS_SUCCESS || !work) return status;
    const auto* weights = reinterpret_cast<const int8_t*>(p[2]);
    const auto* bias = reinterpret_cast<const int8_t*>(p[3]);
    for (int32_t v = 0; v < vectors; ++v) {
        const uint8_t* x = p[1] + int64_t{2} * columns * v;
        uint8_t* y = p[0] + int64_t{2} * rows * v;
        for (int32_t r = 0; r < rows; ++r) {
            const int8_t* w = weights + int64_t{r} * columns;
            // 32-bit accumulation with wrap-around, like the kernels' 32-bit lanes.
            uint32_t acc = static_cast<uint32_t>(bias[r] * 1024);
            for (int32_t c = 0; c < columns; ++c)
                acc += static_cast<uint32_t>(w[c] * static_cast<int32_t>(load<int16_t>(x, c)));
            const int32_t product = kx_ref::wrap32(acc + 64u) >> 7;
            const int32_t base = accumulate ? load<int16_t>(y, r) : 0;
            store<int16_t>(y, r, kx_ref::saturate16(base + product));
        }
    }
    return KX_STATUS_SUCCESS;
}

}  // namespace

kx_status_t kx_reference_linear(kx_device_t* device, const kx_op_args_t* args) { return linear(device, args, false); }

kx_status_t kx_reference_linear_accumulate(kx_device_t* device, const kx_op_args_t* args) {
    return linear(device, args, true);
}

kx_status_t kx_reference_matmul_f32(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t vectors = args->ints[0];
    const int32_t rows = args->ints[1];
    const int32_t columns = args->ints[2];
    if (kx_ref::any_negative({vectors, rows, columns})) return KX_STATUS_INVALID_ARGUMENT;
    const bool work = vectors > 0 && rows > 0;
    const Access ranges[3] = {{args->buffers[0], args->ints[3], extent({4, rows, vectors}), false, true},
                              {args->buffers[1], args->ints[4], work ? extent({4, columns, vectors}) : 0, true, false},
                              {args->buffers[2], args->ints[5], work ? extent({4, rows, columns}) : 0, true, false}};
    uint8_t* p[3];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 3, p);
    if (status != KX_STATUS_SUCCESS || !work) return status;
    for (int32_t v = 0; v < vectors; ++v) {
        for (int32_t r = 0; r < rows; ++r) {
            float sum = 0.0f;
            for (int32_t c = 0; c < columns; ++c)
                sum += load<float>(p[1], int64_t{v} * columns + c) * load<float>(p[2], int64_t{r} * columns + c);
            store<float>(p[0], int64_t{v} * rows + r, sum);
        }
    }
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_reference_copy(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t bytes = args->ints[0];
    if (bytes < 0) return KX_STATUS_INVALID_ARGUMENT;
    const Access ranges[2] = {{args->buffers[0], args->ints[1], bytes, false, true},
                              {args->buffers[1], args->ints[2], bytes, true, false}};
    uint8_t* p[2];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 2, p);
    if (status != KX_STATUS_SUCCESS || bytes == 0) return status;
    // No caller overlaps the ranges; memmove keeps a mistaken one well-defined.
    std::memmove(p[0], p[1], static_cast<size_t>(bytes));
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_reference_zero(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t bytes = args->ints[0];
    if (bytes < 0) return KX_STATUS_INVALID_ARGUMENT;
    const Access range = {args->buffers[0], args->ints[1], bytes, false, true};
    uint8_t* p = nullptr;
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(&range, 1, &p);
    if (status != KX_STATUS_SUCCESS || bytes == 0) return status;
    std::memset(p, 0, static_cast<size_t>(bytes));
    return KX_STATUS_SUCCESS;
}
