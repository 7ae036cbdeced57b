// Placeholder until the work-stealing pool lands: devices run single-threaded.
#include "device/thread_pool.h"

kx_status_t kx_thread_pool_create(int32_t, kx_thread_pool_t** out) {
    *out = nullptr;
    return KX_STATUS_SUCCESS;
}

void kx_thread_pool_run(kx_thread_pool_t*, kx_pool_task_fn task, void* task_arg, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) task(task_arg, i);
}

void kx_thread_pool_destroy(kx_thread_pool_t*) {}
