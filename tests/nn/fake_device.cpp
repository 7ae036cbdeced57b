#include "fake_device.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace {

struct FakeBuffer {
    kx_buffer_t base;  // first, so the record's address is the buffer's
    uint8_t* staging;
};

FakeBuffer* fake(kx_buffer_t* buffer) { return reinterpret_cast<FakeBuffer*>(buffer); }

kx_buffer_t* fake_buffer_create(void* backend, uint32_t size, uint32_t flags) {
    auto* buffer = static_cast<FakeBuffer*>(kx_host_malloc(sizeof(FakeBuffer)));
    if (!buffer) return nullptr;
    buffer->base.storage = kx_host_malloc(size);
    if (!buffer->base.storage) {
        kx_host_free(buffer);
        return nullptr;
    }
    buffer->base.size = size;
    buffer->base.flags = flags;
    buffer->staging = nullptr;
    static_cast<FakeBackend*>(backend)->buffers_alive++;
    return &buffer->base;
}

void fake_buffer_destroy(void* backend, kx_buffer_t* buffer) {
    if (!buffer || (buffer->flags & KX_BUFFER_FLAG_BORROWED)) return;
    auto* b = static_cast<FakeBackend*>(backend);
    b->buffers_alive--;
    b->destroyed++;
    std::free(fake(buffer)->staging);
    kx_host_free(buffer->storage);
    kx_host_free(buffer);
}

kx_status_t fake_buffer_write(void* backend, kx_buffer_t* buffer, const void* source, uint32_t offset,
                              uint32_t length) {
    if (static_cast<FakeBackend*>(backend)->writes_failing) return KX_STATUS_RUNTIME_ERROR;
    std::memcpy(static_cast<uint8_t*>(buffer->storage) + offset, source, length);
    return KX_STATUS_SUCCESS;
}

void* fake_buffer_map(void* backend, kx_buffer_t* buffer, int need_contents) {
    auto* b = static_cast<FakeBackend*>(backend);
    FakeBuffer* f = fake(buffer);
    if (f->staging) {
        b->double_maps++;
        return f->staging;
    }
    f->staging = static_cast<uint8_t*>(std::malloc(buffer->size ? buffer->size : 1));
    if (need_contents)
        std::memcpy(f->staging, buffer->storage, buffer->size);
    else
        std::memset(f->staging, 0xA5, buffer->size);  // what a fresh transfer area may hold
    b->maps_open++;
    return f->staging;
}

void fake_buffer_unmap(void* backend, kx_buffer_t* buffer, int modified) {
    FakeBuffer* f = fake(buffer);
    if (!f->staging) return;
    if (modified) std::memcpy(buffer->storage, f->staging, buffer->size);
    std::free(f->staging);
    f->staging = nullptr;
    static_cast<FakeBackend*>(backend)->maps_open--;
}

uint32_t fake_buffer_size(void*, const kx_buffer_t* buffer) { return buffer->size; }

}  // namespace

uint8_t* fake_device_memory(kx_buffer_t* buffer) { return static_cast<uint8_t*>(buffer->storage); }

FakeKind::FakeKind(const kx_op_kernel_fn kernels[KX_OP_COUNT]) : ops_{} {
    ops_.buffer_create = fake_buffer_create;
    ops_.buffer_destroy = fake_buffer_destroy;
    ops_.buffer_write = fake_buffer_write;
    ops_.buffer_map = fake_buffer_map;
    ops_.buffer_unmap = fake_buffer_unmap;
    ops_.buffer_size = fake_buffer_size;
    if (kernels)
        for (int op = 0; op < KX_OP_COUNT; ++op) ops_.op_kernel[op] = kernels[op];
    kx_device_ops[KX_FAKE_KIND] = &ops_;
    if (kx_device_create(KX_FAKE_KIND, &backend_, &device_) != KX_STATUS_SUCCESS) device_ = nullptr;
}

FakeKind::~FakeKind() {
    kx_device_release(device_);
    kx_device_ops[KX_FAKE_KIND] = nullptr;
}
