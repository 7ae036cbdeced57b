// Operator dispatch, op programs and the buffer cache.
#pragma once

#include <cstdint>

#include "device/device.h"

// Host reference implementation of each operator (maps buffers through the device).
// Each checks the byte ranges it would touch against its buffers and returns
// INVALID_ARGUMENT, touching nothing, for a range outside a buffer or a negative count.
typedef kx_status_t (*kx_op_reference_fn)(kx_device_t* device, const kx_op_args_t* args);
extern const kx_op_reference_fn kx_op_reference[KX_OP_COUNT];

// Runs one operator: the device kind's kernel first, the reference when there is
// none, when the kernel declines (INVALID_ARGUMENT) or when the device forces it.
kx_status_t kx_op_execute(kx_device_t* device, kx_op_t op, const kx_op_args_t* args);

// Runs a whole recurrent direction through the device kind's fused kernel.
// INVALID_ARGUMENT when the kind has none, declines, or the device forces references.
kx_status_t kx_op_lstm_sequence(kx_device_t* device, const kx_lstm_sequence_t* args);
// The workspace bytes the fused direction uses for these sizes; 0 when none.
int64_t kx_op_lstm_sequence_workspace(const kx_device_t* device, int32_t hidden, int32_t input_size);

// One recurrent step through the device kind's fused kernel, declined alike. The
// caller provides the workspace only where the kind has such a kernel.
kx_status_t kx_op_lstm_step(kx_device_t* device, const kx_lstm_step_t* args);
bool kx_op_lstm_step_available(const kx_device_t* device);

// Interprets the instructions of program that begin in [start, end).
kx_status_t kx_op_program_run(kx_device_t* device, kx_buffer_t* const* buffers, const int32_t* program,
                              int32_t buffer_count, int32_t start, int32_t end);

// A buffer descriptor of a built-in network: size, flags (bit 0: constant contents)
// and contents. Laid out like kx_buffer_t so that on the CPU a constant descriptor
// serves as a borrowed buffer in place.
typedef kx_buffer_t kx_tensor_desc_t;

// A program instance: a device reference and the buffer table built from descriptors.
struct kx_program_t {
    kx_device_t* device;
    kx_buffer_t** buffers;
    int32_t buffer_count;
};

// Builds the buffer table from descriptors and runs the initialisation section
// [init_start, init_end) of program. Takes one device reference of its own.
kx_status_t kx_program_create(kx_device_t* device, const kx_tensor_desc_t* descriptors, int32_t count,
                              const int32_t* program, int32_t init_start, int32_t init_end, kx_program_t** out);
void kx_program_free(kx_program_t* program);

// Scratch buffers: exact match first, then the smallest larger one, else a new one.
// Returns null when a new buffer cannot be created (the caller records 804).
kx_buffer_t* kx_buffer_cache_acquire(kx_device_t* device, uint32_t size);
void kx_buffer_cache_release(kx_device_t* device, kx_buffer_t* buffer);
