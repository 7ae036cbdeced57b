// CPU device kind: backend object, processor features and operation table.
#pragma once

#include <cstdint>

#include "device/cpu_features.h"
#include "device/device.h"

struct kx_thread_pool_t;

// Largest thread count a device string may ask for.
constexpr int32_t KX_CPU_MAX_THREADS = 1024;

struct kx_cpu_device_t {
    int32_t threads;
    uint32_t features;
    kx_thread_pool_t* pool;  // null when threads < 2
    uint64_t hand_off_work;  // smallest kernel job (kx_cpu_job_t::work) given to the pool
};

// Waking the workers and collecting them costs a few microseconds, the time of
// about this many multiply-accumulates on one core.
constexpr uint64_t KX_CPU_HAND_OFF_WORK = uint64_t{1} << 18;

extern const kx_device_ops_t kx_cpu_device_ops;

// Test hook: features of CPU devices created from now on are ANDed with this mask.
void kx_cpu_set_feature_mask(uint32_t mask);
// Test hook: the hand-off size of CPU devices created from now on (0 sends every
// job of two or more items to the pool).
void kx_cpu_set_hand_off_work(uint64_t work);

// Number of configured processors.
int32_t kx_cpu_processor_count();

// Creates the CPU backend with the given thread count (pool when threads >= 2).
kx_status_t kx_cpu_backend_create(int32_t threads, kx_cpu_device_t** out);
