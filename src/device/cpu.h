// CPU device kind: backend object, processor features and operation table.
#pragma once

#include <cstdint>

#include "device/device.h"

struct kx_thread_pool_t;

enum kx_cpu_feature_t : uint32_t {
    KX_CPU_SSE41 = 1,
    KX_CPU_AVX = 2,
    KX_CPU_AVX2 = 4,
    KX_CPU_AVX512F = 8,
    KX_CPU_NEON = 16,
};

// Largest thread count a device string may ask for.
constexpr int32_t KX_CPU_MAX_THREADS = 1024;

struct kx_cpu_device_t {
    int32_t threads;
    uint32_t features;
    kx_thread_pool_t* pool;  // null when threads < 2
};

extern const kx_device_ops_t kx_cpu_device_ops;

// Processor features from CPUID leaves 0, 1 and 7.
uint32_t kx_cpu_detect_features();

// Test hook: features of CPU devices created from now on are ANDed with this mask.
void kx_cpu_set_feature_mask(uint32_t mask);

// Number of configured processors.
int32_t kx_cpu_processor_count();

// Creates the CPU backend with the given thread count (pool when threads >= 2).
kx_status_t kx_cpu_backend_create(int32_t threads, kx_cpu_device_t** out);
