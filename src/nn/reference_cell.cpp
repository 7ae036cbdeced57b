// Reference arithmetic of LSTM_CELL: the coupled-gate cell in 16-bit fixed point.
#include "nn/reference_ops.h"

using kx_ref::Access;
using kx_ref::HostMapping;
using kx_ref::load;
using kx_ref::store;

namespace {

int16_t tanh_q15(int16_t x) {
    int16_t y;
    kx_tanh_q15(&x, &y, 1);
    return y;
}

}  // namespace

kx_status_t kx_reference_lstm_cell(kx_device_t* device, const kx_op_args_t* args) {
    const int32_t h = args->ints[0];
    if (h < 0) return KX_STATUS_INVALID_ARGUMENT;
    const int64_t lane_bytes = kx_ref::extent({2, h});
    const Access ranges[3] = {{args->buffers[0], args->ints[1], lane_bytes, false, true},
                              {args->buffers[1], args->ints[2], lane_bytes, true, true},
                              {args->buffers[2], args->ints[3], kx_ref::extent({6, h}), true, true}};
    uint8_t* p[3];
    HostMapping mapping(device);
    const kx_status_t status = mapping.map(ranges, 3, p);
    if (status != KX_STATUS_SUCCESS || h == 0) return status;
    uint8_t* hidden = p[0];
    uint8_t* cell = p[1];
    uint8_t* gates = p[2];

    // First every cell lane (the output gate and then tanh of the new cell are kept in
    // the gates scratch), then every hidden lane: hidden and cell may share a buffer.
    for (int32_t k = 0; k < h; ++k) {
        const int32_t i = kx_sigmoid_q15(load<int16_t>(gates, k));
        const int32_t g = tanh_q15(load<int16_t>(gates, h + k));
        const int16_t o = kx_sigmoid_q15(load<int16_t>(gates, 2 * h + k));
        const int32_t c = load<int16_t>(cell, k);
        const int16_t updated = kx_ref::saturate16(((c * (32767 - i) + 16384) >> 15) + ((i * g + 524288) >> 20));
        store<int16_t>(cell, k, updated);
        store<int16_t>(gates, k, tanh_q15(updated));
        store<int16_t>(gates, 2 * h + k, o);
    }
    for (int32_t k = 0; k < h; ++k) {
        const int32_t t = load<int16_t>(gates, k);
        const int32_t o = load<int16_t>(gates, 2 * h + k);
        store<int16_t>(hidden, k, static_cast<int16_t>((t * o + 524288) >> 20));
    }
    return KX_STATUS_SUCCESS;
}
