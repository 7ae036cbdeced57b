// Work-stealing thread pool of a CPU device.
#pragma once

#include <cstdint>

struct kx_thread_pool_t;

typedef void (*kx_pool_task_fn)(void* task_arg, uint64_t item);

#include "kx_orvel.h"

// Starts threads - 1 workers (threads >= 2) and returns once all of them run.
// OUT_OF_MEMORY when the pool cannot be allocated, RUNTIME_ERROR when a worker
// thread cannot be started (nothing is left running or allocated then).
kx_status_t kx_thread_pool_create(int32_t threads, kx_thread_pool_t** out);

// Runs task(task_arg, i) for every i in [0, count) across the pool, the calling
// thread included, and returns when all items are done. One job at a time. A job
// submitted from inside a job's item, or in a process forked after the pool was
// created, runs its items in order on the calling thread.
void kx_thread_pool_run(kx_thread_pool_t* pool, kx_pool_task_fn task, void* task_arg, uint64_t count);

// Stops and joins the workers and frees the pool (in a forked child: only frees its
// copy). Null is ignored.
void kx_thread_pool_destroy(kx_thread_pool_t* pool);

// Test hooks: make the start of worker number `worker` (1-based) of the next pool
// creation fail (0 disarms), and the pool's division of x by its thread count.
void kx_thread_pool_fail_worker_start(int32_t worker);
uint64_t kx_thread_pool_divide(const kx_thread_pool_t* pool, uint64_t x);
