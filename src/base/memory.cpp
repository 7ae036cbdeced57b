#include "base/memory.h"

#include <atomic>
#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {
std::atomic<int64_t> g_fail_at{0};
std::atomic<int64_t> g_count{0};
}  // namespace

bool kx_fault_next_allocation_fails() {
    const int64_t n = ++g_count;
    const int64_t fail_at = g_fail_at.load(std::memory_order_relaxed);
    return fail_at != 0 && n == fail_at;
}

void kx_fault_fail_allocation(int64_t n) {
    g_count.store(0);
    g_fail_at.store(n);
}

int64_t kx_fault_allocation_count() { return g_count.load(); }

void* kx_host_malloc(size_t size) {
    if (kx_fault_next_allocation_fails()) return nullptr;
    return std::malloc(size ? size : 1);
}

void* kx_host_calloc(size_t count, size_t size) {
    if (kx_fault_next_allocation_fails()) return nullptr;
    return std::calloc(count ? count : 1, size ? size : 1);
}

void kx_host_free(void* ptr) { std::free(ptr); }

void* kx_host_aligned_alloc(size_t alignment, size_t size) {
    if (kx_fault_next_allocation_fails()) return nullptr;
#if defined(_WIN32)
    return _aligned_malloc(size ? size : 1, alignment);
#else
    void* ptr = nullptr;
    if (posix_memalign(&ptr, alignment, size ? size : 1) != 0) return nullptr;
    return ptr;
#endif
}

void kx_host_aligned_free(void* ptr) {
#if defined(_WIN32)
    _aligned_free(ptr);
#else
    std::free(ptr);
#endif
}
