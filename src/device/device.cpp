// Device objects, device-string selection and hardware-device listing.
#include "device/device.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "device/cpu.h"
#include "device/gpu_plugin.h"
#include "device/thread_pool.h"

const kx_device_ops_t* kx_device_ops[KX_DEVICE_KIND_COUNT] = {&kx_cpu_device_ops, &kx_gpu_device_ops, nullptr,
                                                                    nullptr, nullptr};

kx_status_t kx_device_create(kx_device_kind_t kind, void* backend, kx_device_t** out) {
    const kx_device_ops_t* ops = kx_device_ops[kind];
    auto* device = static_cast<kx_device_t*>(kx_host_malloc(sizeof(kx_device_t)));
    if (!device) {
        kx_error_push(&KX_ERR_DEVICE_OOM);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(static_cast<void*>(device), 0, sizeof(*device));
    device->kind = kind;
    device->backend = backend;
    device->refcount = 1;
    for (int op = 0; op < KX_OP_COUNT; ++op) {
        if (!ops->op_init[op]) continue;
        const kx_status_t status = ops->op_init[op](backend, &device->op_state[op]);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_push(&KX_ERR_OPERATOR, "init");
            // Operators initialised so far are torn down again so nothing leaks.
            for (int done = op - 1; done >= 0; --done)
                if (ops->op_deinit[done]) ops->op_deinit[done](backend, device->op_state[done]);
            kx_host_free(device);
            return status;
        }
    }
    *out = device;
    return KX_STATUS_SUCCESS;
}

void kx_device_release(kx_device_t* device) {
    if (!device) return;
    if (--device->refcount > 0) return;
    const kx_device_ops_t* ops = kx_device_kind_ops(device);
    void* backend = device->backend;
    for (kx_cache_entry_t& entry : device->cache) {
        if (entry.buffer) ops->buffer_destroy(backend, entry.buffer);
        entry.buffer = nullptr;
    }
    for (int op = KX_OP_COUNT - 1; op >= 0; --op)
        if (ops->op_deinit[op]) ops->op_deinit[op](backend, device->op_state[op]);
    kx_host_free(device);
    if (ops->destroy) ops->destroy(backend);
}

void kx_device_run_parallel(kx_device_t* device, void (*task)(void* task_arg, uint64_t item), void* task_arg,
                            uint64_t count) {
    const auto* cpu = device->kind == KX_DEVICE_KIND_CPU ? static_cast<kx_cpu_device_t*>(device->backend) : nullptr;
    if (cpu && cpu->pool && count > 1) {
        kx_thread_pool_run(cpu->pool, task, task_arg, count);
        return;
    }
    for (uint64_t i = 0; i < count; ++i) task(task_arg, i);
}

void* kx_buffer_map_or_record(kx_device_t* d, kx_buffer_t* b, int need_contents) {
    void* mapping = kx_buffer_map(d, b, need_contents);
    if (!mapping) {
        const char* why = d->kind == KX_DEVICE_KIND_CUDA ? kx_gpu_plugin_last_error() : "";
        kx_error_push(&KX_ERR_BUFFER_MAP, *why ? why : "the device gave no reason");
    }
    return mapping;
}

int32_t kx_device_parallel_width(const kx_device_t* device) {
    if (device->kind != KX_DEVICE_KIND_CPU) return 1;
    const auto* cpu = static_cast<const kx_cpu_device_t*>(device->backend);
    if (!cpu->pool) return 1;
    const int32_t processors = kx_cpu_processor_count();
    return cpu->threads < processors ? cpu->threads : processors;
}

namespace {

kx_status_t create_cpu_device(int32_t threads, kx_device_t** out) {
    if (threads == 0) threads = kx_cpu_processor_count() / 2;
    kx_cpu_device_t* cpu = nullptr;
    kx_status_t status = kx_cpu_backend_create(threads, &cpu);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_push(&KX_ERR_BACKEND);
        kx_error_push(&KX_ERR_BACKEND);
        return status;
    }
    status = kx_device_create(KX_DEVICE_KIND_CPU, cpu, out);
    if (status != KX_STATUS_SUCCESS) {
        kx_cpu_device_ops.destroy(cpu);
        kx_error_push(&KX_ERR_BACKEND);
    }
    return status;
}

}  // namespace

kx_status_t kx_device_create_from_string(const char* device_string, const char* best_choice, kx_device_t** out) {
    long value = 0;
    size_t prefix_length = std::strlen(device_string);
    if (const char* colon = std::strchr(device_string, ':')) {
        char* end = nullptr;
        errno = 0;
        value = std::strtol(colon + 1, &end, 10);
        // Values beyond int32 are malformed, as they are where long is 32 bits wide.
        if (errno != 0 || *end != '\0' || value > INT32_MAX || value < INT32_MIN) return KX_STATUS_INVALID_ARGUMENT;
        prefix_length = static_cast<size_t>(colon - device_string);
    }

    if (std::strcmp(device_string, "best") == 0) {
        if (kx_device_create_from_string(best_choice, "gpu", out) == KX_STATUS_SUCCESS) return KX_STATUS_SUCCESS;
        const kx_status_t status = kx_device_create_from_string("cpu", "gpu", out);
        if (status != KX_STATUS_SUCCESS) kx_error_push(&KX_ERR_BACKEND);
        return status;
    }

    // At most 4 characters take part, so the terminating NUL of "cpu" must match too.
    const size_t compared = prefix_length < 4 ? prefix_length : 4;
    if (std::strncmp(device_string, "cpu", compared) == 0) {
        // A pool of more threads than this would only exhaust the process.
        if (value > KX_CPU_MAX_THREADS) {
            kx_error_push(&KX_ERR_DEVICE_STRING, device_string);
            return KX_STATUS_INVALID_ARGUMENT;
        }
        return create_cpu_device(static_cast<int32_t>(value), out);
    }
    if (prefix_length > 0 && std::strncmp(device_string, "gpu", compared) == 0)
        return kx_gpu_device_create_from_index(static_cast<int32_t>(value), out);
    kx_error_push(&KX_ERR_DEVICE_STRING, device_string);
    return KX_STATUS_INVALID_ARGUMENT;
}

extern "C" {

KX_API kx_status_t kx_orvel_list_hardware_devices(char*** hardware_devices, int32_t* num_hardware_devices) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(hardware_devices, "hardware_devices") ||
        !kx_check_not_null(num_hardware_devices, "num_hardware_devices"))
        return KX_STATUS_INVALID_ARGUMENT;
    *hardware_devices = nullptr;
    *num_hardware_devices = 0;

    char** lists[KX_DEVICE_KIND_COUNT] = {};
    int32_t counts[KX_DEVICE_KIND_COUNT] = {};
    auto release_lists = [&]() {
        for (uint32_t kind = 0; kind < KX_DEVICE_KIND_COUNT; ++kind)
            if (lists[kind]) kx_device_ops[kind]->free_device_list(lists[kind], counts[kind]);
    };

    int64_t total = 0;
    for (uint32_t kind = 0; kind < KX_DEVICE_KIND_COUNT; ++kind) {
        const kx_device_ops_t* ops = kx_device_ops[kind];
        if (!ops || !ops->list_devices) continue;
        const kx_status_t status = ops->list_devices(&lists[kind], &counts[kind]);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_push(&KX_ERR_DEVICE_LIST);
            release_lists();
            return status;
        }
        total += counts[kind];
    }
    if (total < 1) {
        release_lists();
        return KX_STATUS_SUCCESS;
    }

    auto** array = static_cast<char**>(kx_host_calloc(static_cast<size_t>(total), sizeof(char*)));
    int32_t copied = 0;
    bool failed = array == nullptr;
    for (uint32_t kind = 0; kind < KX_DEVICE_KIND_COUNT && !failed; ++kind) {
        for (int32_t i = 0; i < counts[kind] && !failed; ++i) {
            const char* line = lists[kind][i];
            if (!line) continue;
            const size_t length = std::strlen(line);
            char* copy = static_cast<char*>(kx_host_malloc(length + 1));
            if (!copy) {
                failed = true;
                break;
            }
            std::memcpy(copy, line, length + 1);
            array[copied++] = copy;
        }
    }
    release_lists();
    if (failed) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        kx_orvel_free_hardware_devices(array, copied);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    *hardware_devices = array;
    *num_hardware_devices = copied;
    return KX_STATUS_SUCCESS;
}

KX_API void kx_orvel_free_hardware_devices(char** hardware_devices, int32_t num_hardware_devices) {
    if (!hardware_devices) return;
    for (int32_t i = 0; i < num_hardware_devices; ++i) std::free(hardware_devices[i]);
    std::free(hardware_devices);
}

}  // extern "C"
