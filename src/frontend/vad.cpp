// Built-in voice-activity detector.
#include "frontend/vad.h"

#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "generated/vad_weights.h"

namespace {

constexpr uint32_t kConstant = 1u;

void* constant(const void* data) { return const_cast<void*>(data); }

}  // namespace

const kx_tensor_desc_t kx_vad_tensors[KX_VAD_BUFFER_COUNT] = {
    {8, 0, nullptr},
    {160, 0, nullptr},
    {480, 0, nullptr},
    {4, 0, nullptr},
    {160, 0, nullptr},
    {160, 0, nullptr},
    {160, 0, nullptr},
    {160, 0, nullptr},
    {80, kConstant, constant(kx_vad_band_means)},
    {80, kConstant, constant(kx_vad_band_scales)},
    {19200, kConstant, constant(kx_vad_layer1_input_weights)},
    {240, kConstant, constant(kx_vad_layer1_input_bias)},
    {19200, kConstant, constant(kx_vad_layer1_recurrent_weights)},
    {240, kConstant, constant(kx_vad_layer1_recurrent_bias)},
    {19200, kConstant, constant(kx_vad_layer2_input_weights)},
    {240, kConstant, constant(kx_vad_layer2_input_bias)},
    {19200, kConstant, constant(kx_vad_layer2_recurrent_weights)},
    {240, kConstant, constant(kx_vad_layer2_recurrent_bias)},
    {160, kConstant, constant(kx_vad_output_weights)},
    {2, kConstant, constant(kx_vad_output_bias)},
};

const int32_t kx_vad_program[KX_VAD_PROGRAM_LENGTH] = {
    // initialisation: both layers' hidden and cell states
    KX_OP_ZERO, 4, 160, 0,
    KX_OP_ZERO, 5, 160, 0,
    KX_OP_ZERO, 6, 160, 0,
    KX_OP_ZERO, 7, 160, 0,
    // per frame
    KX_OP_STANDARDIZE, 1, 1, 8, 9, 2, 40, 0, 0,
    KX_OP_LINEAR, 2, 1, 10, 11, 1, 240, 80, 0, 0,
    KX_OP_LINEAR_ACCUMULATE, 2, 4, 12, 13, 1, 240, 80, 0, 0,
    KX_OP_LSTM_CELL, 1, 5, 2, 80, 0, 0, 0,
    KX_OP_COPY, 4, 1, 160, 0, 0,
    KX_OP_LINEAR, 2, 1, 14, 15, 1, 240, 80, 0, 0,
    KX_OP_LINEAR_ACCUMULATE, 2, 6, 16, 17, 1, 240, 80, 0, 0,
    KX_OP_LSTM_CELL, 1, 7, 2, 80, 0, 0, 0,
    KX_OP_COPY, 6, 1, 160, 0, 0,
    KX_OP_LINEAR, 3, 1, 18, 19, 1, 2, 80, 0, 0,
    KX_OP_SOFTMAX, 0, 3, 1, 2, 0, 0,
};

namespace {

// Where the device fuses a recurrent step, the per-frame section runs as: the
// standardisation [16, 25), each layer in one call (layer 2 reads layer 1's hidden
// state, buffer 4), then this output tail on layer 2's hidden state (buffer 6).
constexpr int32_t kStandardizeEnd = 25;
constexpr int32_t kFusedTail[] = {
    KX_OP_LINEAR, 3, 6, 18, 19, 1, 2, 80, 0, 0,
    KX_OP_SOFTMAX, 0, 3, 1, 2, 0, 0,
};
constexpr int32_t kHidden = 80;

kx_lstm_step_t layer_step(const kx_vad_t* vad, int layer) {
    kx_buffer_t* const* b = vad->program->buffers;
    const int w = 10 + 4 * layer;
    return {b[4 + 2 * layer], b[5 + 2 * layer], b[layer == 0 ? 1 : 4], b[w], b[w + 1], b[w + 2], b[w + 3],
            vad->step_workspace[layer], kHidden, kHidden};
}

kx_status_t run_frame(kx_vad_t* vad) {
    kx_device_t* device = vad->device;
    kx_buffer_t* const* buffers = vad->program->buffers;
    if (!vad->step_workspace[0])
        return kx_op_program_run(device, buffers, kx_vad_program, KX_VAD_BUFFER_COUNT, KX_VAD_PROGRAM_STEP_START,
                                 KX_VAD_PROGRAM_LENGTH);
    kx_status_t status = kx_op_program_run(device, buffers, kx_vad_program, KX_VAD_BUFFER_COUNT,
                                           KX_VAD_PROGRAM_STEP_START, kStandardizeEnd);
    if (status != KX_STATUS_SUCCESS) return status;
    kx_lstm_step_t step = layer_step(vad, 0);
    status = kx_op_lstm_step(device, &step);
    // Declined: the operators from the first layer's products on.
    if (status == KX_STATUS_INVALID_ARGUMENT)
        return kx_op_program_run(device, buffers, kx_vad_program, KX_VAD_BUFFER_COUNT, kStandardizeEnd,
                                 KX_VAD_PROGRAM_LENGTH);
    if (status == KX_STATUS_SUCCESS) {
        step = layer_step(vad, 1);
        status = kx_op_lstm_step(device, &step);
    }
    if (status != KX_STATUS_SUCCESS) return status;
    return kx_op_program_run(device, buffers, kFusedTail, KX_VAD_BUFFER_COUNT, 0,
                             static_cast<int32_t>(sizeof(kFusedTail) / sizeof(kFusedTail[0])));
}

// Workspaces of the fused step, where the device has one; their headers start zeroed
// so that the device rearranges the weights on first use.
kx_status_t create_step_workspaces(kx_vad_t* vad) {
    kx_device_t* device = vad->device;
    if (!kx_op_lstm_step_available(device)) return KX_STATUS_SUCCESS;
    const auto bytes = static_cast<uint32_t>(kx_lstm_step_workspace_bytes(kHidden, kHidden));
    for (kx_buffer_t*& workspace : vad->step_workspace) {
        workspace = kx_buffer_create(device, bytes, 0);
        if (!workspace) {
            kx_error_push(&KX_ERR_OUT_OF_MEMORY);
            return KX_STATUS_OUT_OF_MEMORY;
        }
        void* mapping = kx_buffer_map_or_record(device, workspace, 0);
        if (!mapping) return KX_STATUS_RUNTIME_ERROR;
        std::memset(mapping, 0, 128);
        kx_buffer_unmap(device, workspace, 1);
    }
    return KX_STATUS_SUCCESS;
}

}  // namespace

float kx_vad_q31_to_probability(int32_t q31) { return static_cast<float>(q31) * 4.656613e-10f; }

kx_status_t kx_vad_init(kx_device_t* device, kx_vad_t** out) {
    if (!device) {
        kx_error_push(&KX_ERR_VAD_NO_DEVICE);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (!out) {
        kx_error_push(&KX_ERR_ARG_NULL, "object");
        kx_device_release(device);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    auto* vad = static_cast<kx_vad_t*>(kx_host_calloc(1, sizeof(kx_vad_t)));
    if (!vad) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        kx_device_release(device);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    vad->device = device;
    // Buffers only; the initialisation section runs once the feature state exists.
    kx_status_t status = kx_program_create(device, kx_vad_tensors, KX_VAD_BUFFER_COUNT, kx_vad_program, 0, 0,
                                           &vad->program);
    if (status != KX_STATUS_SUCCESS) {
        vad->program = nullptr;
        kx_vad_delete(vad);
        return status;
    }
    status = create_step_workspaces(vad);
    if (status != KX_STATUS_SUCCESS) {
        kx_vad_delete(vad);
        return status;
    }
    status = kx_vad_frontend_init(256, &vad->features);
    if (status != KX_STATUS_SUCCESS) {
        vad->features = nullptr;
        kx_error_push(&KX_ERR_BACKEND);
        kx_vad_delete(vad);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    status = kx_op_program_run(device, vad->program->buffers, kx_vad_program, KX_VAD_BUFFER_COUNT, 0,
                               KX_VAD_PROGRAM_STEP_START);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace(kx_status_to_string(status));
        kx_vad_delete(vad);
        return status;
    }
    *out = vad;
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_vad_process(kx_vad_t* vad, const int16_t* pcm, float* is_voiced) {
    kx_error_stack_begin_call();
    if (!vad) {
        kx_error_push(&KX_ERR_ARG_NULL, "object");
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (!kx_check_not_null(pcm, "pcm") || !kx_check_not_null(is_voiced, "is_voiced")) return KX_STATUS_INVALID_ARGUMENT;
    kx_device_t* device = vad->device;
    kx_buffer_t* const* buffers = vad->program->buffers;
    auto* features = static_cast<int16_t*>(kx_buffer_map_or_record(device, buffers[1], 0));
    kx_status_t status = KX_STATUS_RUNTIME_ERROR;
    if (features) {
        status = kx_vad_frontend_process(vad->features, pcm, features);
        if (status == KX_STATUS_SUCCESS) status = kx_vad_frontend_process(vad->features, pcm + 256, features + 40);
        kx_buffer_unmap(device, buffers[1], 1);
    }
    if (status == KX_STATUS_SUCCESS) status = run_frame(vad);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace(kx_status_to_string(status));
        return status;
    }
    const auto* probabilities = static_cast<const int32_t*>(kx_buffer_map_or_record(device, buffers[0], 1));
    if (!probabilities) {
        kx_error_trace(kx_status_to_string(KX_STATUS_RUNTIME_ERROR));
        return KX_STATUS_RUNTIME_ERROR;
    }
    *is_voiced = kx_vad_q31_to_probability(probabilities[1]);
    kx_buffer_unmap(device, buffers[0], 0);
    return KX_STATUS_SUCCESS;
}

void kx_vad_delete(kx_vad_t* vad) {
    if (!vad) return;
    if (vad->features) kx_vad_frontend_delete(vad->features);
    for (kx_buffer_t* workspace : vad->step_workspace)
        if (workspace) kx_buffer_destroy(vad->device, workspace);
    if (vad->program) kx_program_free(vad->program);
    kx_device_release(vad->device);
    kx_host_free(vad);
}
