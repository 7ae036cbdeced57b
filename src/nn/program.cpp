// Program instances: the buffer table of a built-in network and its device reference.
#include <cstring>

#include "base/error.h"
#include "base/memory.h"
#include "nn/ops.h"

namespace {

// Buffers of the table from the last to the first, then the table itself.
void release_table(kx_program_t* instance) {
    if (!instance->buffers) return;
    for (int32_t i = instance->buffer_count - 1; i >= 0; --i)
        if (instance->buffers[i]) kx_buffer_destroy(instance->device, instance->buffers[i]);
    kx_host_free(instance->buffers);
    instance->buffers = nullptr;
    instance->buffer_count = 0;
}

}  // namespace

void kx_program_free(kx_program_t* program) {
    if (!program) return;
    release_table(program);
    kx_device_release(program->device);
    kx_host_free(program);
}

kx_status_t kx_program_create(kx_device_t* device, const kx_tensor_desc_t* descriptors, int32_t count,
                              const int32_t* program, int32_t init_start, int32_t init_end, kx_program_t** out) {
    if (!kx_check_not_null(out, "out")) return KX_STATUS_INVALID_ARGUMENT;
    *out = nullptr;
    if (!kx_check_not_null(device, "device")) return KX_STATUS_INVALID_ARGUMENT;
    // The table size must stay within the device's 32-bit allocation size.
    constexpr int32_t kMaxBuffers = 1 << 24;
    if (count < 0 || count > kMaxBuffers || (count > 0 && !descriptors)) {
        kx_error_push(&KX_ERR_ARG_INVALID, "count");
        return KX_STATUS_INVALID_ARGUMENT;
    }

    kx_device_retain(device);
    auto* instance = static_cast<kx_program_t*>(kx_host_calloc(1, sizeof(kx_program_t)));
    if (!instance) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        kx_device_release(device);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    instance->device = device;
    const uint32_t table_bytes = static_cast<uint32_t>(count) * static_cast<uint32_t>(sizeof(kx_buffer_t*));
    instance->buffers = static_cast<kx_buffer_t**>(kx_host_malloc(table_bytes));
    if (!instance->buffers) {
        kx_error_push(&KX_ERR_DEVICE_OOM);
        kx_error_trace("OUT_OF_MEMORY");
        kx_program_free(instance);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(instance->buffers, 0, table_bytes);
    instance->buffer_count = count;

    const bool host_memory = kx_device_kind_ops(device)->host_buffers;
    bool failed = false;
    for (int32_t i = 0; i < count && !failed; ++i) {
        const kx_tensor_desc_t& descriptor = descriptors[i];
        const bool constant = (descriptor.flags & KX_BUFFER_FLAG_BORROWED) && descriptor.storage;
        if (constant && host_memory) {
            instance->buffers[i] = const_cast<kx_buffer_t*>(&descriptor);
            continue;
        }
        kx_buffer_t* buffer = kx_buffer_create(device, descriptor.size, descriptor.flags & ~KX_BUFFER_FLAG_BORROWED);
        if (!buffer) {
            kx_error_push(&KX_ERR_TENSOR_OOM);
            failed = true;
            break;
        }
        if (constant && kx_buffer_write(device, buffer, descriptor.storage, 0, descriptor.size) != KX_STATUS_SUCCESS) {
            kx_error_trace("aba5af0");
            kx_buffer_destroy(device, buffer);
            failed = true;
            break;
        }
        instance->buffers[i] = buffer;
    }
    if (failed) {
        release_table(instance);
        kx_error_push(&KX_ERR_TENSOR_OOM);
        kx_error_trace("OUT_OF_MEMORY");
        kx_program_free(instance);
        return KX_STATUS_OUT_OF_MEMORY;
    }

    const kx_status_t status = kx_op_program_run(device, instance->buffers, program, count, init_start, init_end);
    if (status != KX_STATUS_SUCCESS) {
        const char* name = kx_status_to_string(status);
        kx_error_trace(name ? name : "RUNTIME_ERROR");
        kx_program_free(instance);
        return status;
    }
    *out = instance;
    return KX_STATUS_SUCCESS;
}
