// CPU kernels of seven operators: work split into items for the thread pool and
// vector paths chosen from the device's processor features.
#pragma once

#include <cstdint>

#include "device/cpu.h"
#include "device/thread_pool.h"
#include "device/operators.h"

kx_status_t kx_cpu_kernel_add(void* backend, void* op_state, const kx_op_args_t* args);
kx_status_t kx_cpu_kernel_linear_accumulate(void* backend, void* op_state, const kx_op_args_t* args);
kx_status_t kx_cpu_kernel_linear(void* backend, void* op_state, const kx_op_args_t* args);
kx_status_t kx_cpu_kernel_lstm_cell(void* backend, void* op_state, const kx_op_args_t* args);
kx_status_t kx_cpu_kernel_matmul_f32(void* backend, void* op_state, const kx_op_args_t* args);
kx_status_t kx_cpu_kernel_softmax(void* backend, void* op_state, const kx_op_args_t* args);
kx_status_t kx_cpu_kernel_standardize(void* backend, void* op_state, const kx_op_args_t* args);
// The fused recurrent direction on the calling thread: AVX-512 VNNI where usable and
// the sizes fit, the portable loop on processors without vector paths; declines
// (INVALID_ARGUMENT) otherwise and for arguments outside their buffers.
kx_status_t kx_cpu_kernel_lstm_sequence(void* backend, const kx_lstm_sequence_t* args);
int64_t kx_cpu_lstm_sequence_workspace(void* backend, int32_t hidden, int32_t input_size);
// The fused recurrent step on the calling thread, chosen and declined alike.
kx_status_t kx_cpu_kernel_lstm_step(void* backend, const kx_lstm_step_t* args);

// One kernel call as a pool job: the task, its item count, its size in units of
// about one multiply-accumulate, and the argument block.
struct kx_cpu_job_t {
    kx_pool_task_fn task;
    uint64_t count;
    uint64_t work;
    alignas(16) unsigned char block[128];
};

// Prepares the job of op on cpu without running it. INVALID_ARGUMENT (the kernel
// declines, the reference decides) for negative sizes, ranges outside their buffers,
// overlapping outputs and softmax rows shorter than 1.
kx_status_t kx_cpu_job_plan(const kx_cpu_device_t* cpu, kx_op_t op, const kx_op_args_t* args, kx_cpu_job_t* job);

// Runs a prepared job: as a pool job, or item by item on the calling thread when
// the device has no pool, the job has fewer than two items, or its work is below
// the device's hand-off size (handing it to workers would cost more than it saves).
void kx_cpu_job_run(const kx_cpu_device_t* cpu, kx_cpu_job_t* job);

// True when the LINEAR kernels have their AVX-512 path on this processor (AVX512F
// in the device's features plus AVX512BW, AVX512VL and AVX512-VNNI).
bool kx_cpu_linear_avx512_usable(uint32_t features);
