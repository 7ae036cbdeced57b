// Host allocation used by the whole library, with a test hook that makes the Nth
// allocation fail so that every out-of-memory path can be exercised.
#pragma once

#include <cstddef>
#include <cstdint>

void* kx_host_malloc(size_t size);
void* kx_host_calloc(size_t count, size_t size);
void kx_host_free(void* ptr);
// Aligned allocation (alignment a power of two, at least sizeof(void*)), released
// only with kx_host_aligned_free (Windows keeps aligned blocks apart from the heap's).
void* kx_host_aligned_alloc(size_t alignment, size_t size);
void kx_host_aligned_free(void* ptr);

// True when the current allocation attempt must fail (test hook). Every allocation
// of the library (host heap, device memory, buffers) asks it once.
bool kx_fault_next_allocation_fails();

// Test hooks: arm the failure of allocation number n (1-based, counted from this call;
// 0 disarms), and read how many allocations were attempted since the last arm.
void kx_fault_fail_allocation(int64_t n);
int64_t kx_fault_allocation_count();
// Test hook: the most bytes the library held at once since the last arm, beyond what
// it held then; -1 where the platform's heap cannot tell a block's size.
int64_t kx_fault_peak_bytes();

// a x b, or false when the product does not fit in T (sizes of allocations, which a
// 32-bit size_t wraps long before the memory runs out).
template <typename T>
inline bool kx_checked_product(T a, T b, T* product) {
    return !__builtin_mul_overflow(a, b, product);
}
