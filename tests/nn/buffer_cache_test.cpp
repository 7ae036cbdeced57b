// The device's buffer cache: best fit, ageing and eviction.
#include "base/memory.h"
#include "fake_device.h"
#include "nn_test_util.h"

namespace {

bool cached(kx_device_t* device, const kx_buffer_t* buffer) {
    for (const kx_cache_entry_t& entry : device->cache)
        if (entry.buffer == buffer) return true;
    return false;
}

}  // namespace

TEST(BufferCache, ExactMatchFirstThenSmallestLargerOne) {
    CpuDevice device;
    kx_buffer_t* b96 = kx_buffer_cache_acquire(device, 96);
    kx_buffer_t* b256 = kx_buffer_cache_acquire(device, 256);
    kx_buffer_t* b128 = kx_buffer_cache_acquire(device, 128);
    ASSERT_TRUE(b96 && b128 && b256);
    for (kx_buffer_t* b : {b96, b256, b128}) kx_buffer_cache_release(device, b);
    EXPECT_EQ(kx_buffer_cache_acquire(device, 100), b128);
    EXPECT_FALSE(cached(device, b128));
    kx_buffer_cache_release(device, b128);

    // An exact 100-byte buffer wins even from the last slot.
    kx_buffer_t* b100 = kx_buffer_create(device, 100, 0);
    kx_buffer_cache_release(device, b100);
    EXPECT_EQ(kx_buffer_cache_acquire(device, 100), b100);
    kx_buffer_cache_release(device, b100);

    // Nothing fits: a new buffer of exactly the requested size.
    kx_buffer_t* big = kx_buffer_cache_acquire(device, 300);
    EXPECT_EQ(kx_buffer_size(device, big), 300u);
    EXPECT_FALSE(cached(device, big));
    kx_buffer_cache_release(device, big);
    kx_buffer_cache_release(device, nullptr);  // ignored
}

TEST(BufferCache, EarliestSlotWinsATie) {
    CpuDevice device;
    kx_buffer_t* first = kx_buffer_create(device, 64, 0);
    kx_buffer_t* second = kx_buffer_create(device, 64, 0);
    kx_buffer_cache_release(device, first);
    kx_buffer_cache_release(device, second);
    EXPECT_EQ(kx_buffer_cache_acquire(device, 10), first);
    kx_buffer_cache_release(device, first);
}

TEST(BufferCache, UntakenBuffersAgeOutAfter128Releases) {
    FakeKind fake;
    kx_device_t* device = fake.device();
    kx_buffer_t* idle = kx_buffer_cache_acquire(device, 40);
    kx_buffer_t* busy = kx_buffer_cache_acquire(device, 8);
    kx_buffer_cache_release(device, idle);
    kx_buffer_cache_release(device, busy);
    // The idle buffer has seen one release (busy's); 127 more leave it at age 128.
    for (int k = 0; k < 127; ++k) {
        ASSERT_EQ(kx_buffer_cache_acquire(device, 8), busy);
        kx_buffer_cache_release(device, busy);
    }
    EXPECT_TRUE(cached(device, idle));
    EXPECT_EQ(fake.backend().destroyed, 0);
    ASSERT_EQ(kx_buffer_cache_acquire(device, 8), busy);
    kx_buffer_cache_release(device, busy);  // the 129th release after idle's own
    EXPECT_FALSE(cached(device, idle));
    EXPECT_EQ(fake.backend().destroyed, 1);
    EXPECT_TRUE(cached(device, busy));
}

TEST(BufferCache, FullCacheEvictsTheOldest) {
    FakeKind fake;
    kx_device_t* device = fake.device();
    std::vector<kx_buffer_t*> buffers;
    for (int k = 0; k < KX_DEVICE_CACHE_SIZE + 1; ++k) buffers.push_back(kx_buffer_create(device, 16 + k, 0));
    for (int k = 0; k < KX_DEVICE_CACHE_SIZE; ++k) kx_buffer_cache_release(device, buffers[k]);
    // Take the oldest out and put it back: now buffers[1] is the oldest.
    ASSERT_EQ(kx_buffer_cache_acquire(device, 16), buffers[0]);
    kx_buffer_cache_release(device, buffers[0]);
    EXPECT_EQ(device->cache[0].buffer, buffers[0]);
    kx_buffer_cache_release(device, buffers[KX_DEVICE_CACHE_SIZE]);
    EXPECT_FALSE(cached(device, buffers[1]));
    EXPECT_EQ(device->cache[1].buffer, buffers[KX_DEVICE_CACHE_SIZE]);
    EXPECT_EQ(device->cache[1].age, 0);
    EXPECT_EQ(fake.backend().destroyed, 1);
    // The rest go back to the device with it.
}

TEST(BufferCache, CreationFailureReturnsNull) {
    CpuDevice device;
    kx_fault_fail_allocation(2);  // the storage of the new buffer
    EXPECT_EQ(kx_buffer_cache_acquire(device, 32), nullptr);
    kx_fault_fail_allocation(0);
}
