// CPU backend: aligned host memory, buffers in host memory, processor features.
#include "device/cpu.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/sysinfo.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "device/cpu_kernels.h"
#include "device/thread_pool.h"

namespace {

constexpr size_t kAlignment = 32;
std::atomic<uint32_t> g_feature_mask{~0u};
std::atomic<uint64_t> g_hand_off_work{KX_CPU_HAND_OFF_WORK};

void cpu_destroy(void* backend) {
    auto* cpu = static_cast<kx_cpu_device_t*>(backend);
    if (!cpu) return;
    kx_thread_pool_destroy(cpu->pool);
    kx_host_aligned_free(cpu);
}

kx_buffer_t* cpu_buffer_create(void*, uint32_t size, uint32_t flags) {
    auto* buffer = static_cast<kx_buffer_t*>(kx_host_aligned_alloc(kAlignment, sizeof(kx_buffer_t)));
    if (!buffer) return nullptr;
    buffer->storage = kx_host_aligned_alloc(kAlignment, size);
    if (!buffer->storage) {
        kx_host_aligned_free(buffer);
        return nullptr;
    }
    buffer->size = size;
    buffer->flags = flags;
    return buffer;
}

void cpu_buffer_destroy(void*, kx_buffer_t* buffer) {
    if (!buffer || (buffer->flags & KX_BUFFER_FLAG_BORROWED)) return;
    kx_host_aligned_free(buffer->storage);
    kx_host_aligned_free(buffer);
}

kx_status_t cpu_buffer_write(void*, kx_buffer_t* buffer, const void* source, uint32_t offset, uint32_t length) {
    if (length) std::memcpy(static_cast<uint8_t*>(buffer->storage) + offset, source, length);
    return KX_STATUS_SUCCESS;
}

void* cpu_buffer_map(void*, kx_buffer_t* buffer, int) { return buffer->storage; }

void cpu_buffer_unmap(void*, kx_buffer_t*, int) {}

uint32_t cpu_buffer_size(void*, const kx_buffer_t* buffer) { return buffer->size; }

kx_status_t cpu_list_devices(char*** lines, int32_t* count) {
    *lines = nullptr;
    *count = 0;
    const int32_t processors = kx_cpu_processor_count();
    char text[96];
    const int length = std::snprintf(text, sizeof(text), "cpu:[0-%d] - CPU (%d threads)", processors, processors);
    auto** array = static_cast<char**>(kx_host_malloc(sizeof(char*)));
    char* line = array ? static_cast<char*>(kx_host_malloc(static_cast<size_t>(length) + 1)) : nullptr;
    if (!line) {
        kx_host_free(array);
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memcpy(line, text, static_cast<size_t>(length) + 1);
    array[0] = line;
    *lines = array;
    *count = 1;
    return KX_STATUS_SUCCESS;
}

void cpu_free_device_list(char** lines, int32_t count) {
    if (!lines) return;
    for (int32_t i = 0; i < count; ++i) kx_host_free(lines[i]);
    kx_host_free(lines);
}

constexpr kx_device_ops_t make_cpu_ops() {
    kx_device_ops_t ops{};
    ops.destroy = cpu_destroy;
    ops.host_buffers = true;
    ops.buffer_create = cpu_buffer_create;
    ops.buffer_destroy = cpu_buffer_destroy;
    ops.buffer_write = cpu_buffer_write;
    ops.buffer_map = cpu_buffer_map;
    ops.buffer_unmap = cpu_buffer_unmap;
    ops.buffer_size = cpu_buffer_size;
    ops.op_kernel[KX_OP_ADD] = kx_cpu_kernel_add;
    ops.op_kernel[KX_OP_LINEAR_ACCUMULATE] = kx_cpu_kernel_linear_accumulate;
    ops.op_kernel[KX_OP_LINEAR] = kx_cpu_kernel_linear;
    ops.op_kernel[KX_OP_LSTM_CELL] = kx_cpu_kernel_lstm_cell;
    ops.op_kernel[KX_OP_MATMUL_F32] = kx_cpu_kernel_matmul_f32;
    ops.op_kernel[KX_OP_SOFTMAX] = kx_cpu_kernel_softmax;
    ops.op_kernel[KX_OP_STANDARDIZE] = kx_cpu_kernel_standardize;
    ops.lstm_sequence = kx_cpu_kernel_lstm_sequence;
    ops.lstm_sequence_workspace = kx_cpu_lstm_sequence_workspace;
    ops.lstm_step = kx_cpu_kernel_lstm_step;
    ops.list_devices = cpu_list_devices;
    ops.free_device_list = cpu_free_device_list;
    return ops;
}

}  // namespace

const kx_device_ops_t kx_cpu_device_ops = make_cpu_ops();

void kx_cpu_set_feature_mask(uint32_t mask) { g_feature_mask.store(mask); }

void kx_cpu_set_hand_off_work(uint64_t work) { g_hand_off_work.store(work); }

int32_t kx_cpu_processor_count() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int32_t>(info.dwNumberOfProcessors);
#elif defined(__linux__)
    return static_cast<int32_t>(get_nprocs_conf());
#else
    return static_cast<int32_t>(sysconf(_SC_NPROCESSORS_CONF));
#endif
}

kx_status_t kx_cpu_backend_create(int32_t threads, kx_cpu_device_t** out) {
    *out = nullptr;
    auto* cpu = static_cast<kx_cpu_device_t*>(kx_host_aligned_alloc(kAlignment, sizeof(kx_cpu_device_t)));
    if (!cpu) return KX_STATUS_OUT_OF_MEMORY;
    std::memset(cpu, 0, sizeof(*cpu));
    cpu->threads = threads;
    cpu->features = kx_cpu_detect_features() & g_feature_mask.load();
    cpu->hand_off_work = g_hand_off_work.load();
    if (threads > 1) {
        const kx_status_t status = kx_thread_pool_create(threads, &cpu->pool);
        if (status != KX_STATUS_SUCCESS) {
            kx_host_aligned_free(cpu);
            return status;
        }
    }
    *out = cpu;
    return KX_STATUS_SUCCESS;
}
