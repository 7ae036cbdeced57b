// A GPU plug-in for tests of the loader and of the GPU kind's failure paths: buffers in
// host memory, one kernel (ADD), and failures chosen by the environment when a device
// is created:
//   KX_FAKE_GPU_DEVICES  number of devices listed (default 1; 0 means no GPU)
//   KX_FAKE_GPU_FAIL     "alloc:N"  the Nth buffer the device creates fails
//                        "map:N"    the Nth buffer map of the device fails
//                        "kernel"   every kernel call fails with RUNTIME_ERROR
//                        "list"     listing fails with OUT_OF_MEMORY
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/gpu_plugin.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct FakeGpu {
    int64_t allocations = 0;
    int64_t fail_at = 0;  // 0: never
    int64_t maps = 0;
    int64_t map_fails_at = 0;
    bool kernels_fail = false;
};

thread_local std::string t_last_error;

int devices_listed() {
    const char* text = std::getenv("KX_FAKE_GPU_DEVICES");
    return text ? std::atoi(text) : 1;
}

std::string failure_mode() {
    const char* text = std::getenv("KX_FAKE_GPU_FAIL");
    return text ? text : "";
}

bool allocation_fails(void* handle) {
    auto* gpu = static_cast<FakeGpu*>(handle);
    return ++gpu->allocations == gpu->fail_at;
}

}  // namespace

EXPORT int32_t kx_gpu_abi_version() { return KX_GPU_PLUGIN_ABI_VERSION; }

EXPORT const char* kx_gpu_last_error() { return t_last_error.c_str(); }

EXPORT kx_status_t kx_gpu_device_create(int32_t index, void** handle) {
    *handle = nullptr;
    const int count = devices_listed();
    if (count == 0) {
        t_last_error = "no fake GPU";
        return KX_STATUS_RUNTIME_ERROR;
    }
    if (index < 0 || index >= count) {
        t_last_error = "index " + std::to_string(index) + " is not listed";
        return KX_STATUS_INVALID_ARGUMENT;
    }
    auto* gpu = new FakeGpu;
    const std::string mode = failure_mode();
    if (mode.rfind("alloc:", 0) == 0) gpu->fail_at = std::atoll(mode.c_str() + 6);
    if (mode.rfind("map:", 0) == 0) gpu->map_fails_at = std::atoll(mode.c_str() + 4);
    gpu->kernels_fail = mode == "kernel";
    *handle = gpu;
    return KX_STATUS_SUCCESS;
}

EXPORT void kx_gpu_device_destroy(void* handle) { delete static_cast<FakeGpu*>(handle); }

EXPORT kx_buffer_t* kx_gpu_buffer_create(void* handle, uint32_t size, uint32_t flags) {
    if (allocation_fails(handle)) return nullptr;
    auto* buffer = static_cast<kx_buffer_t*>(std::malloc(sizeof(kx_buffer_t)));
    buffer->size = size;
    buffer->flags = flags;
    buffer->storage = std::malloc(size ? size : 1);
    return buffer;
}

EXPORT void kx_gpu_buffer_destroy(void*, kx_buffer_t* buffer) {
    if (!buffer) return;
    std::free(buffer->storage);
    std::free(buffer);
}

EXPORT kx_status_t kx_gpu_buffer_write(void*, kx_buffer_t* buffer, const void* source, uint32_t offset,
                                       uint32_t length) {
    std::memcpy(static_cast<uint8_t*>(buffer->storage) + offset, source, length);
    return KX_STATUS_SUCCESS;
}

EXPORT void* kx_gpu_buffer_map(void* handle, kx_buffer_t* buffer, int) {
    auto* gpu = static_cast<FakeGpu*>(handle);
    if (++gpu->maps == gpu->map_fails_at) {
        t_last_error = "fake map failure";
        return nullptr;
    }
    return buffer->storage;
}

EXPORT void kx_gpu_buffer_unmap(void*, kx_buffer_t*, int) {}

EXPORT uint32_t kx_gpu_buffer_size(void*, const kx_buffer_t* buffer) { return buffer->size; }

EXPORT kx_status_t kx_gpu_list_devices(char*** lines, int32_t* count) {
    *lines = nullptr;
    *count = 0;
    if (failure_mode() == "list") return KX_STATUS_OUT_OF_MEMORY;
    const int n = devices_listed();
    if (n == 0) return KX_STATUS_SUCCESS;
    *lines = static_cast<char**>(std::calloc(static_cast<size_t>(n), sizeof(char*)));
    for (int i = 0; i < n; ++i) {
        char text[64];
        std::snprintf(text, sizeof(text), "gpu:%d - Fake GPU %d", i, i);
        (*lines)[i] = strdup(text);
    }
    *count = n;
    return KX_STATUS_SUCCESS;
}

EXPORT void kx_gpu_free_device_list(char** lines, int32_t count) {
    for (int32_t i = 0; i < count; ++i) std::free(lines[i]);
    std::free(lines);
}

// ADD on the host (offsets even, as the engine passes them); everything else declines.
EXPORT kx_status_t kx_gpu_kernel_add(void* handle, void*, const kx_op_args_t* args) {
    const int32_t count = args->ints[0];
    if (count < 0 || (args->ints[1] | args->ints[2] | args->ints[3]) & 1) return KX_STATUS_INVALID_ARGUMENT;
    for (const int b : {0, 1, 2})
        if (args->ints[1 + b] < 0 || int64_t{args->ints[1 + b]} + 2 * int64_t{count} > args->buffers[b]->size)
            return KX_STATUS_INVALID_ARGUMENT;
    if (static_cast<FakeGpu*>(handle)->kernels_fail) {
        t_last_error = "fake kernel failure";
        return KX_STATUS_RUNTIME_ERROR;
    }
    auto at = [&](int b) { return static_cast<int16_t*>(args->buffers[b]->storage) + args->ints[1 + b] / 2; };
    for (int32_t k = 0; k < count; ++k) {
        const int32_t sum = at(1)[k] + at(2)[k];
        at(0)[k] = static_cast<int16_t>(sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum));
    }
    return KX_STATUS_SUCCESS;
}

EXPORT kx_status_t kx_gpu_kernel_lstm_cell(void* handle, void*, const kx_op_args_t*) {
    if (static_cast<FakeGpu*>(handle)->kernels_fail) {
        t_last_error = "fake kernel failure";
        return KX_STATUS_RUNTIME_ERROR;
    }
    return KX_STATUS_INVALID_ARGUMENT;
}
