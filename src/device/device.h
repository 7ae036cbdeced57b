// Compute devices: reference-counted device objects over per-kind operation tables.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/operators.h"
#include "kx_orvel.h"

enum kx_device_kind_t : uint32_t {
    KX_DEVICE_KIND_CPU = 0,
    KX_DEVICE_KIND_CUDA = 1,  // the GPU kind, served by a plug-in library (gpu_plugin.h)
    KX_DEVICE_KIND_METAL = 4,
};
constexpr uint32_t KX_DEVICE_KIND_COUNT = 5;
constexpr int KX_DEVICE_CACHE_SIZE = 64;

// Device flag bit 0: every operator runs its host reference implementation.
constexpr uint32_t KX_DEVICE_FLAG_REFERENCE_ONLY = 1u;
// Buffer flag bit 0: a record in constant data whose storage is borrowed, never freed.
// In a constant descriptor table the same bit means "has constant initial contents",
// which is why such a descriptor can serve as a borrowed buffer in place.
constexpr uint32_t KX_BUFFER_FLAG_BORROWED = 1u;

struct kx_buffer_t {
    uint32_t size;   // bytes
    uint32_t flags;
    void* storage;   // CPU: 32-byte aligned host memory
};

struct kx_cache_entry_t {
    kx_buffer_t* buffer;
    int32_t age;
};

struct kx_device_t {
    kx_device_kind_t kind;
    void* backend;
    uint32_t flags;
    int32_t refcount;
    void* op_state[KX_OP_COUNT];
    std::atomic<bool> cache_busy;  // the cache is shared by the threads of one call
    kx_cache_entry_t cache[KX_DEVICE_CACHE_SIZE];
};

typedef kx_status_t (*kx_op_kernel_fn)(void* backend, void* op_state, const kx_op_args_t* args);
typedef kx_status_t (*kx_op_init_fn)(void* backend, void** op_state);
typedef void (*kx_op_deinit_fn)(void* backend, void* op_state);

// Operations of one device kind; a null entry means the kind lacks the operation.
struct kx_device_ops_t {
    void (*destroy)(void* backend);
    // True when buffers live in host memory, so that a constant descriptor can serve
    // as a borrowed buffer in place instead of being copied into a new buffer.
    bool host_buffers;
    kx_buffer_t* (*buffer_create)(void* backend, uint32_t size, uint32_t flags);
    void (*buffer_destroy)(void* backend, kx_buffer_t* buffer);
    kx_status_t (*buffer_write)(void* backend, kx_buffer_t* buffer, const void* source, uint32_t offset,
                                uint32_t length);
    void* (*buffer_map)(void* backend, kx_buffer_t* buffer, int need_contents);
    void (*buffer_unmap)(void* backend, kx_buffer_t* buffer, int modified);
    uint32_t (*buffer_size)(void* backend, const kx_buffer_t* buffer);
    kx_op_kernel_fn op_kernel[KX_OP_COUNT];
    kx_op_deinit_fn op_deinit[KX_OP_COUNT];
    kx_op_init_fn op_init[KX_OP_COUNT];
    // A whole recurrent direction in one call, or INVALID_ARGUMENT when the kind
    // declines these arguments (the caller then runs the operators frame by frame).
    kx_status_t (*lstm_sequence)(void* backend, const kx_lstm_sequence_t* args);
    // The workspace bytes lstm_sequence uses for these sizes; 0 when it uses none.
    int64_t (*lstm_sequence_workspace)(void* backend, int32_t hidden, int32_t input_size);
    // One recurrent step (kx_lstm_step_t), or INVALID_ARGUMENT when the kind declines.
    kx_status_t (*lstm_step)(void* backend, const kx_lstm_step_t* args);
    kx_status_t (*list_devices)(char*** lines, int32_t* count);
    void (*free_device_list)(char** lines, int32_t count);
};

// Indexed by kind; null for kinds this build does not provide. Reserved kinds 2 and 3
// stay empty in the library; tests may install a fake kind there.
extern const kx_device_ops_t* kx_device_ops[KX_DEVICE_KIND_COUNT];

inline const kx_device_ops_t* kx_device_kind_ops(const kx_device_t* device) { return kx_device_ops[device->kind]; }

// Thin wrappers over the kind's operations. Device memory is reached only through
// buffers; host-side records come from the host allocator (base/memory.h).
inline kx_buffer_t* kx_buffer_create(kx_device_t* d, uint32_t size, uint32_t flags) {
    return kx_device_kind_ops(d)->buffer_create(d->backend, size, flags);
}
inline void kx_buffer_destroy(kx_device_t* d, kx_buffer_t* b) { kx_device_kind_ops(d)->buffer_destroy(d->backend, b); }
inline kx_status_t kx_buffer_write(kx_device_t* d, kx_buffer_t* b, const void* src, uint32_t offset, uint32_t length) {
    return kx_device_kind_ops(d)->buffer_write(d->backend, b, src, offset, length);
}
inline void* kx_buffer_map(kx_device_t* d, kx_buffer_t* b, int need_contents) {
    return kx_device_kind_ops(d)->buffer_map(d->backend, b, need_contents);
}
// The mapping, or null with record 841 and the device's reason pushed (a GPU plug-in
// fails a map when it cannot synchronise or stage the buffer).
void* kx_buffer_map_or_record(kx_device_t* d, kx_buffer_t* b, int need_contents);
inline void kx_buffer_unmap(kx_device_t* d, kx_buffer_t* b, int modified) {
    kx_device_kind_ops(d)->buffer_unmap(d->backend, b, modified);
}
inline uint32_t kx_buffer_size(kx_device_t* d, const kx_buffer_t* b) {
    return kx_device_kind_ops(d)->buffer_size(d->backend, b);
}

// Parses a device string ("best", a prefix of "cpu" or "gpu", optionally ":number")
// and creates a device with reference count 1. "best" tries best_choice first.
kx_status_t kx_device_create_from_string(const char* device_string, const char* best_choice, kx_device_t** out);

// Wraps a backend object of the given kind in a new device object.
kx_status_t kx_device_create(kx_device_kind_t kind, void* backend, kx_device_t** out);

inline void kx_device_retain(kx_device_t* device) { device->refcount++; }

// Runs task(task_arg, i) for every i in [0, count): spread over the thread pool of a
// CPU device that has one, else in order on the calling thread.
void kx_device_run_parallel(kx_device_t* device, void (*task)(void* task_arg, uint64_t item), void* task_arg,
                            uint64_t count);
// How many items kx_device_run_parallel can usefully run at once: the pool's threads,
// at most one per processor; 1 without a pool.
int32_t kx_device_parallel_width(const kx_device_t* device);
// Drops one reference; destroys the device when none is left. Null is ignored.
void kx_device_release(kx_device_t* device);
