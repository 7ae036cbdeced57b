// Dispatch to device kernels or reference code, and the op-program
// interpreter.
#include "nn/ops.h"

#include "base/error.h"
#include "nn/reference_ops.h"

const kx_op_reference_fn kx_op_reference[KX_OP_COUNT] = {
    kx_reference_add,   kx_reference_linear_accumulate, kx_reference_linear,  kx_reference_gelu,
    kx_reference_normalize_quantize, kx_reference_lstm_cell, kx_reference_matmul_f32, kx_reference_copy,
    kx_reference_zero,  kx_reference_relu,              kx_reference_softmax, kx_reference_standardize,
    kx_reference_sum_pool,
};

kx_status_t kx_op_execute(kx_device_t* device, kx_op_t op, const kx_op_args_t* args) {
    if (!device || !args || op < 0 || op >= KX_OP_COUNT) return KX_STATUS_INVALID_ARGUMENT;
    const kx_op_kernel_fn kernel = kx_device_kind_ops(device)->op_kernel[op];
    if (kernel && !(device->flags & KX_DEVICE_FLAG_REFERENCE_ONLY)) {
        const kx_status_t status = kernel(device->backend, device->op_state[op], args);
        // INVALID_ARGUMENT from a kernel only means it does not handle these arguments.
        if (status != KX_STATUS_INVALID_ARGUMENT) return status;
    }
    return kx_op_reference[op](device, args);
}

kx_status_t kx_op_lstm_sequence(kx_device_t* device, const kx_lstm_sequence_t* args) {
    const auto kernel = kx_device_kind_ops(device)->lstm_sequence;
    if (!kernel || (device->flags & KX_DEVICE_FLAG_REFERENCE_ONLY)) return KX_STATUS_INVALID_ARGUMENT;
    return kernel(device->backend, args);
}

int64_t kx_op_lstm_sequence_workspace(const kx_device_t* device, int32_t hidden, int32_t input_size) {
    const auto query = kx_device_kind_ops(device)->lstm_sequence_workspace;
    if (!query || !kx_device_kind_ops(device)->lstm_sequence || (device->flags & KX_DEVICE_FLAG_REFERENCE_ONLY))
        return 0;
    return query(device->backend, hidden, input_size);
}

bool kx_op_lstm_step_available(const kx_device_t* device) {
    return kx_device_kind_ops(device)->lstm_step && !(device->flags & KX_DEVICE_FLAG_REFERENCE_ONLY);
}

kx_status_t kx_op_lstm_step(kx_device_t* device, const kx_lstm_step_t* args) {
    if (!kx_op_lstm_step_available(device)) return KX_STATUS_INVALID_ARGUMENT;
    return kx_device_kind_ops(device)->lstm_step(device->backend, args);
}

kx_status_t kx_op_program_run(kx_device_t* device, kx_buffer_t* const* buffers, const int32_t* program,
                              int32_t buffer_count, int32_t start, int32_t end) {
    if (start >= end) return KX_STATUS_SUCCESS;
    if (!device || !program || start < 0 || buffer_count < 0 || (buffer_count > 0 && !buffers))
        return KX_STATUS_INVALID_ARGUMENT;
    int32_t position = start;
    while (position < end) {
        const int32_t code = program[position++];
        if (code < 0 || code >= KX_OP_COUNT) return KX_STATUS_INVALID_ARGUMENT;
        const kx_op_arity_t arity = kx_op_arity[code];
        // Each run builds its own record, so runs on different objects may overlap.
        kx_op_args_t args{};
        for (int b = 0; b < arity.buffers; ++b) {
            if (position >= end) return KX_STATUS_INVALID_ARGUMENT;
            const int32_t index = program[position++];
            if (index < 0 || index >= buffer_count) return KX_STATUS_INVALID_ARGUMENT;
            args.buffers[b] = buffers[index];
        }
        for (int i = 0; i < arity.ints; ++i) {
            if (position >= end) return KX_STATUS_INVALID_ARGUMENT;
            args.ints[i] = program[position++];
        }
        const kx_status_t status = kx_op_execute(device, static_cast<kx_op_t>(code), &args);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_push(&KX_ERR_OPERATOR, "execute");
            return status;
        }
    }
    return KX_STATUS_SUCCESS;
}
