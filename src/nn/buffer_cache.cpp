// The device's cache of released scratch buffers.
#include <thread>

#include "nn/ops.h"

namespace {
// A cached buffer not taken again within this many releases goes back to the device.
constexpr int32_t kMaxAge = 128;

// Held for a few table scans at most, so waiters spin and then yield.
struct CacheLock {
    kx_device_t* device;
    explicit CacheLock(kx_device_t* d) : device(d) {
        for (int round = 0; device->cache_busy.exchange(true, std::memory_order_acquire); ++round)
            if (round > 64) std::this_thread::yield();
    }
    ~CacheLock() { device->cache_busy.store(false, std::memory_order_release); }
};

kx_buffer_t* take_cached(kx_device_t* device, uint32_t size) {
    CacheLock lock(device);
    int best = -1;
    uint32_t best_size = 0;
    for (int slot = 0; slot < KX_DEVICE_CACHE_SIZE; ++slot) {
        kx_buffer_t* buffer = device->cache[slot].buffer;
        if (!buffer) continue;
        const uint32_t buffer_size = kx_buffer_size(device, buffer);
        if (buffer_size == size) {
            device->cache[slot] = kx_cache_entry_t{};
            return buffer;
        }
        if (buffer_size > size && (best < 0 || buffer_size < best_size)) {
            best = slot;
            best_size = buffer_size;
        }
    }
    if (best < 0) return nullptr;
    kx_buffer_t* buffer = device->cache[best].buffer;
    device->cache[best] = kx_cache_entry_t{};
    return buffer;
}

}  // namespace

kx_buffer_t* kx_buffer_cache_acquire(kx_device_t* device, uint32_t size) {
    kx_buffer_t* buffer = take_cached(device, size);
    return buffer ? buffer : kx_buffer_create(device, size, 0);
}

void kx_buffer_cache_release(kx_device_t* device, kx_buffer_t* buffer) {
    if (!buffer) return;
    CacheLock lock(device);
    for (kx_cache_entry_t& entry : device->cache) {
        if (entry.buffer && ++entry.age > kMaxAge) {
            kx_buffer_destroy(device, entry.buffer);
            entry = kx_cache_entry_t{};
        }
    }
    int chosen = -1;
    for (int slot = 0; slot < KX_DEVICE_CACHE_SIZE && chosen < 0; ++slot)
        if (!device->cache[slot].buffer) chosen = slot;
    if (chosen < 0) {
        chosen = 0;
        for (int slot = 1; slot < KX_DEVICE_CACHE_SIZE; ++slot)
            if (device->cache[slot].age > device->cache[chosen].age) chosen = slot;
        kx_buffer_destroy(device, device->cache[chosen].buffer);
    }
    device->cache[chosen] = kx_cache_entry_t{buffer, 0};
}
