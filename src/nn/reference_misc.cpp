// Reference arithmetic of NORMALIZE_QUANTIZE, STANDARDIZE, SUM_POOL, SOFTMAX, GELU and RELU.
#include <cmath>
#include <cstring>

#include "nn/reference_ops.h"

using kx_ref::Access;
using kx_ref::extent;
using kx_ref::HostMapping;
using kx_ref::load;
using kx_ref::store;

kx_status_t kx_reference_normalize_quantize(kx_device_t* device, const kx_op_args_t* args) {
    float epsilon;
    std::memcpy(&epsilon, &args->ints[0], sizeof(epsilon));
    const int32_t n = args->ints[1];
    const int32_t m = args->ints[2];
    if (kx_ref::any_negative({n, m})) return KX_STATUS_INVALID_ARGUMENT;
    const Access ranges[2] = {{args->buffers[0], 0, extent({2, n, m}), false, true},
                              {args->buffers[1], 0, extent({4, n, m}), true, false}};
    uint8_t* p[2];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 2, p);
    if (status != KX_STATUS_SUCCESS || n == 0 || m == 0) return status;
    const float count = static_cast<float>(n);
    // Features in blocks, frames in the outer loops: each feature still sums its
    // frames in order, but rows are read contiguously and the lanes vectorise.
    constexpr int32_t kBlock = 64;
    float sum[kBlock], mean[kBlock], squares[kBlock], inv[kBlock];
    for (int32_t f0 = 0; f0 < m; f0 += kBlock) {
        const int32_t w = m - f0 < kBlock ? m - f0 : kBlock;
        for (int32_t j = 0; j < w; ++j) sum[j] = 0.0f;
        for (int32_t t = 0; t < n; ++t) {
            const uint8_t* row = p[1] + 4 * (int64_t{t} * m + f0);
            for (int32_t j = 0; j < w; ++j) sum[j] += load<float>(row, j);
        }
        for (int32_t j = 0; j < w; ++j) {
            mean[j] = sum[j] / count;
            squares[j] = 0.0f;
        }
        for (int32_t t = 0; t < n; ++t) {
            const uint8_t* row = p[1] + 4 * (int64_t{t} * m + f0);
            for (int32_t j = 0; j < w; ++j) {
                const float d = load<float>(row, j) - mean[j];
                squares[j] += d * d;
            }
        }
        for (int32_t j = 0; j < w; ++j) inv[j] = 1.0f / std::sqrt(squares[j] / count + epsilon);
        for (int32_t t = 0; t < n; ++t) {
            const uint8_t* row = p[1] + 4 * (int64_t{t} * m + f0);
            uint8_t* out = p[0] + 2 * (int64_t{t} * m + f0);
            for (int32_t j = 0; j < w; ++j) {
                const float v = ((load<float>(row, j) - mean[j]) * inv[j]) * 1024.0f;
                int16_t q;
                if (v >= 32767.0f)
                    q = 32767;
                else if (v <= -32768.0f)
                    q = -32768;
                else if (v == v)
                    q = static_cast<int16_t>(v);
                else
                    q = 0;  // NaN (no variance and no epsilon, or a NaN feature) has no value to convert
                store<int16_t>(out, j, q);
            }
        }
    }
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_reference_standardize(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t n = args->ints[0];
    const int32_t m = args->ints[1];
    if (kx_ref::any_negative({n, m})) return KX_STATUS_INVALID_ARGUMENT;
    const bool work = n > 0 && m > 0;
    const Access ranges[4] = {{args->buffers[0], args->ints[2], extent({2, n, m}), false, true},
                              {args->buffers[1], args->ints[3], extent({2, n, m}), true, false},
                              {args->buffers[2], 0, work ? extent({2, m}) : 0, true, false},
                              {args->buffers[3], 0, work ? extent({2, m}) : 0, true, false}};
    uint8_t* p[4];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 4, p);
    if (status != KX_STATUS_SUCCESS || !work) return status;
    for (int32_t t = 0; t < n; ++t) {
        for (int32_t f = 0; f < m; ++f) {
            const int64_t index = int64_t{t} * m + f;
            // |in - mean| <= 65535 and |scale| <= 32768: the product fits in 32 bits.
            const int32_t d = load<int16_t>(p[1], index) - load<int16_t>(p[2], f);
            store<int16_t>(p[0], index, kx_ref::saturate16((d * load<int16_t>(p[3], f)) >> 10));
        }
    }
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_reference_sum_pool(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t n = args->ints[0];
    const int32_t m = args->ints[1];
    if (kx_ref::any_negative({n, m})) return KX_STATUS_INVALID_ARGUMENT;
    const Access ranges[2] = {{args->buffers[0], args->ints[2], extent({4, m}), false, true},
                              {args->buffers[1], args->ints[3], extent({2, n, m}), true, false}};
    uint8_t* p[2];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 2, p);
    if (status != KX_STATUS_SUCCESS || m == 0) return status;
    // 32-bit sums with wrap-around, as the kernels' lanes; frames outer so that rows
    // are read contiguously (integer sums do not depend on order).
    constexpr int32_t kBlock = 64;
    uint32_t sum[kBlock];
    for (int32_t f0 = 0; f0 < m; f0 += kBlock) {
        const int32_t w = m - f0 < kBlock ? m - f0 : kBlock;
        for (int32_t j = 0; j < w; ++j) sum[j] = 0;
        for (int32_t t = 0; t < n; ++t) {
            const uint8_t* row = p[1] + 2 * (int64_t{t} * m + f0);
            for (int32_t j = 0; j < w; ++j) sum[j] += static_cast<uint32_t>(load<int16_t>(row, j));
        }
        for (int32_t j = 0; j < w; ++j)
            store<float>(p[0], f0 + j, static_cast<float>(kx_ref::wrap32(sum[j])) * (1.0f / 1024.0f));
    }
    return KX_STATUS_SUCCESS;
}

namespace {

// e^(d/1024) in Q31 for d = x - max (never positive, unless an output written over its
// own input changed the row; such a d is taken as 0 so the tables are never left).
int64_t softmax_exponent(int32_t d) {
    if (d > 0) d = 0;
    if (d < -32767) return 242;
    return kx_softmax_exponent(-d < 16383 ? -d : 16383);
}

}  // namespace

kx_status_t kx_reference_softmax(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t rows = args->ints[0];
    const int32_t length = args->ints[1];
    if (kx_ref::any_negative({rows, length})) return KX_STATUS_INVALID_ARGUMENT;
    const Access ranges[2] = {{args->buffers[0], args->ints[2], extent({4, rows, length}), false, true},
                              {args->buffers[1], args->ints[3], extent({2, rows, length}), true, false}};
    uint8_t* p[2];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 2, p);
    // A row of length 0 has no outputs.
    if (status != KX_STATUS_SUCCESS || rows == 0 || length == 0) return status;
    for (int32_t row = 0; row < rows; ++row) {
        const uint8_t* x = p[1] + int64_t{2} * length * row;
        uint8_t* y = p[0] + int64_t{4} * length * row;
        int32_t max = -32768;
        for (int32_t j = 0; j < length; ++j) {
            const int32_t v = load<int16_t>(x, j);
            if (v > max) max = v;
        }
        // The exponents are recomputed in the second pass instead of being kept, so
        // that a row of any length needs no scratch memory.
        int64_t sum = 0;
        for (int32_t j = 0; j < length; ++j) sum += softmax_exponent(load<int16_t>(x, j) - max);
        int64_t f = (int64_t{1} << 62) / sum;
        if (f > 2147483647) f = 2147483647;
        if (f < -2147483648LL) f = -2147483648LL;
        for (int32_t j = 0; j < length; ++j) {
            const int64_t out = (softmax_exponent(load<int16_t>(x, j) - max) * f + (int64_t{1} << 30)) >> 31;
            store<int32_t>(y, j, static_cast<int32_t>(out < 2147483647 ? out : 2147483647));
        }
    }
    return KX_STATUS_SUCCESS;
}

namespace {

// Shared frame of the float pointwise operators (count, out offset, in offset).
template <typename F>
kx_status_t pointwise(kx_device_t* device, const kx_op_args_t* args, F function) {
    const int32_t count = args->ints[0];
    if (count < 0) return KX_STATUS_INVALID_ARGUMENT;
    const int64_t bytes = extent({4, count});
    const Access ranges[2] = {{args->buffers[0], args->ints[1], bytes, false, true},
                              {args->buffers[1], args->ints[2], bytes, true, false}};
    uint8_t* p[2];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 2, p);
    if (status != KX_STATUS_SUCCESS) return status;
    for (int32_t k = 0; k < count; ++k) store<float>(p[0], k, function(load<float>(p[1], k)));
    return KX_STATUS_SUCCESS;
}

}  // namespace

kx_status_t kx_reference_gelu(kx_device_t* device, const kx_op_args_t* args) {
    return pointwise(device, args, [](float x) {
        const float t = 1.702f * x;
        // Two forms of x·sigmoid(1.702x), chosen so the exponential never overflows.
        if (t >= 0.0f) return x / (1.0f + static_cast<float>(std::exp(-static_cast<double>(t))));
        const float e = static_cast<float>(std::exp(static_cast<double>(t)));
        return e / (e + 1.0f) * x;
    });
}

kx_status_t kx_reference_relu(kx_device_t* device, const kx_op_args_t* args) {
    return pointwise(device, args, [](float x) { return x > 0.0f ? x : 0.0f; });
}
