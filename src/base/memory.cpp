#include "base/memory.h"

#include <atomic>
#include <cstdlib>

#if defined(_WIN32) || defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {
std::atomic<int64_t> g_fail_at{0};
std::atomic<int64_t> g_count{0};

// Bytes held, for the peak hook: glibc tells a block's size on free, which keeps the
// bookkeeping out of the blocks themselves.
#if defined(__GLIBC__)
constexpr bool kSizesKnown = true;
size_t block_size(void* ptr) { return ptr ? malloc_usable_size(ptr) : 0; }
#else
constexpr bool kSizesKnown = false;
size_t block_size(void*) { return 0; }
#endif
std::atomic<int64_t> g_held{0};
std::atomic<int64_t> g_peak{0};
std::atomic<int64_t> g_held_at_arm{0};

void* held(void* ptr) {
    if (!ptr || !kSizesKnown) return ptr;
    const auto bytes = static_cast<int64_t>(block_size(ptr));
    const int64_t now = g_held.fetch_add(bytes) + bytes;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return ptr;
}

void released(void* ptr) {
    if (ptr && kSizesKnown) g_held.fetch_sub(static_cast<int64_t>(block_size(ptr)));
}
}  // namespace

bool kx_fault_next_allocation_fails() {
    const int64_t n = ++g_count;
    const int64_t fail_at = g_fail_at.load(std::memory_order_relaxed);
    return fail_at != 0 && n == fail_at;
}

void kx_fault_fail_allocation(int64_t n) {
    g_count.store(0);
    g_held_at_arm.store(g_held.load());
    g_peak.store(g_held.load());
    g_fail_at.store(n);
}

int64_t kx_fault_allocation_count() { return g_count.load(); }

int64_t kx_fault_peak_bytes() { return kSizesKnown ? g_peak.load() - g_held_at_arm.load() : -1; }

void* kx_host_malloc(size_t size) {
    if (kx_fault_next_allocation_fails()) return nullptr;
    return held(std::malloc(size ? size : 1));
}

void* kx_host_calloc(size_t count, size_t size) {
    if (kx_fault_next_allocation_fails()) return nullptr;
    return held(std::calloc(count ? count : 1, size ? size : 1));
}

void kx_host_free(void* ptr) {
    released(ptr);
    std::free(ptr);
}

void* kx_host_aligned_alloc(size_t alignment, size_t size) {
    if (kx_fault_next_allocation_fails()) return nullptr;
#if defined(_WIN32)
    return _aligned_malloc(size ? size : 1, alignment);
#else
    void* ptr = nullptr;
    if (posix_memalign(&ptr, alignment, size ? size : 1) != 0) return nullptr;
    return held(ptr);
#endif
}

void kx_host_aligned_free(void* ptr) {
#if defined(_WIN32)
    _aligned_free(ptr);
#else
    released(ptr);
    std::free(ptr);
#endif
}
