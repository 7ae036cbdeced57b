// Work-stealing thread pool: POSIX threads, spinning then futex waits.
#include "device/thread_pool.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "base/memory.h"

namespace {

constexpr uint32_t kPhaseBit = 0x80000000u;
constexpr uint32_t kCommandMask = 0x7FFFFFFFu;
constexpr uint32_t kCommandRun = 1;
constexpr uint32_t kCommandExit = 2;
constexpr int kSpinRounds = 1000;
// With more threads than processors a spinning thread holds a processor that a
// thread with work needs, so waits block almost at once.
constexpr int kOversubscribedSpinRounds = 16;
constexpr size_t kLine = 64;

std::atomic<int32_t> g_fail_worker{0};

// Set while this thread runs items of a job (workers: always). A job submitted from
// inside one runs on the submitting thread, since every thread may be busy with the
// outer job.
thread_local bool t_inside_job = false;

inline void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

inline void futex_wait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

inline void futex_wake_all(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

struct alignas(kLine) kx_pool_slot_t {
    int64_t start;                   // written by the submitter, read by the owner
    std::atomic<int64_t> end;        // thieves take from here downwards
    std::atomic<int64_t> remaining;  // items of the range not yet claimed
    int32_t index;
    kx_thread_pool_t* pool;
    pthread_t thread;
};
static_assert(sizeof(kx_pool_slot_t) == kLine, "one cache line per slot");

struct alignas(kLine) kx_thread_pool_t {
    // Read by every thread during a job.
    alignas(kLine) std::atomic<uint32_t> command;
    void (*runner)(kx_thread_pool_t* pool, kx_pool_slot_t* slot);
    kx_pool_task_fn task;
    void* task_arg;
    int32_t count;
    uint64_t div_multiplier;
    uint32_t div_shift1;
    uint32_t div_shift2;
    std::atomic<int32_t> command_sleepers;  // workers blocked on command
    int32_t spin_rounds;
    pid_t owner_pid;  // a forked child has none of the workers

    // Written once per worker per job.
    alignas(kLine) std::atomic<intptr_t> pending;
    std::atomic<uint32_t> done_word;
    std::atomic<int32_t> done_sleepers;

    alignas(kLine) pthread_mutex_t mutex;

    kx_pool_slot_t* slots() { return reinterpret_cast<kx_pool_slot_t*>(this + 1); }

    // floor(x / count) without a division instruction.
    uint64_t divide(uint64_t x) const {
        const uint64_t t = static_cast<uint64_t>((static_cast<unsigned __int128>(div_multiplier) * x) >> 64);
        return (t + ((x - t) >> div_shift1)) >> div_shift2;
    }
};

namespace {

void signal_done(kx_thread_pool_t* pool) {
    pool->done_word.store(0, std::memory_order_seq_cst);
    if (pool->done_sleepers.load(std::memory_order_seq_cst) > 0) futex_wake_all(&pool->done_word);
}

void wait_done(kx_thread_pool_t* pool) {
    for (int round = 0; round < pool->spin_rounds; ++round) {
        if (pool->done_word.load(std::memory_order_acquire) == 0) return;
        spin_hint();
    }
    pool->done_sleepers.fetch_add(1, std::memory_order_seq_cst);
    while (pool->done_word.load(std::memory_order_seq_cst) != 0) futex_wait(&pool->done_word, 1);
    pool->done_sleepers.fetch_sub(1, std::memory_order_relaxed);
}

uint32_t wait_command(kx_thread_pool_t* pool, uint32_t last) {
    for (int round = 0; round < pool->spin_rounds; ++round) {
        const uint32_t c = pool->command.load(std::memory_order_acquire);
        if (c != last) return c;
        spin_hint();
    }
    pool->command_sleepers.fetch_add(1, std::memory_order_seq_cst);
    uint32_t c;
    while ((c = pool->command.load(std::memory_order_seq_cst)) == last) futex_wait(&pool->command, last);
    pool->command_sleepers.fetch_sub(1, std::memory_order_relaxed);
    return c;
}

void publish_command(kx_thread_pool_t* pool, uint32_t word) {
    pool->command.store(word, std::memory_order_seq_cst);
    if (pool->command_sleepers.load(std::memory_order_seq_cst) > 0) futex_wake_all(&pool->command);
}

bool claim(kx_pool_slot_t* slot) {
    int64_t r = slot->remaining.load(std::memory_order_relaxed);
    while (r > 0)
        if (slot->remaining.compare_exchange_weak(r, r - 1, std::memory_order_relaxed)) return true;
    return false;
}

// Own range from the front, then the other slots' ranges from the back, in the
// order s-1, ..., 0, N-1, ..., s+1.
void run_slot(kx_thread_pool_t* pool, kx_pool_slot_t* slot) {
    const kx_pool_task_fn task = pool->task;
    void* const arg = pool->task_arg;
    for (int64_t next = slot->start; claim(slot); ++next) task(arg, static_cast<uint64_t>(next));
    const int32_t n = pool->count;
    kx_pool_slot_t* slots = pool->slots();
    for (int32_t k = 1; k < n; ++k) {
        int32_t v = slot->index - k;
        if (v < 0) v += n;
        kx_pool_slot_t* victim = &slots[v];
        while (claim(victim)) {
            const int64_t item = victim->end.fetch_sub(1, std::memory_order_relaxed) - 1;
            task(arg, static_cast<uint64_t>(item));
        }
    }
}

void* worker_main(void* arg) {
    auto* slot = static_cast<kx_pool_slot_t*>(arg);
    kx_thread_pool_t* pool = slot->pool;
    t_inside_job = true;
    if (pool->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) signal_done(pool);
    uint32_t last = 0;
    for (;;) {
        const uint32_t c = wait_command(pool, last);
        const uint32_t command = c & kCommandMask;
        if (command == kCommandExit) return nullptr;
        if (command == kCommandRun) pool->runner(pool, slot);
        if (pool->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) signal_done(pool);
        last = c;
    }
}

// Stops workers [1, started) and releases the pool.
void stop_and_free(kx_thread_pool_t* pool, int32_t started) {
    pool->pending.store(pool->count - 1, std::memory_order_relaxed);
    publish_command(pool, kCommandExit);
    kx_pool_slot_t* slots = pool->slots();
    for (int32_t i = 1; i < started; ++i) pthread_join(slots[i].thread, nullptr);
    pthread_mutex_destroy(&pool->mutex);
    std::memset(static_cast<void*>(pool), 0, sizeof(kx_thread_pool_t) + sizeof(kx_pool_slot_t) * pool->count);
    kx_host_free(pool);
}

}  // namespace

void kx_thread_pool_fail_worker_start(int32_t worker) { g_fail_worker.store(worker); }

kx_status_t kx_thread_pool_create(int32_t threads, kx_thread_pool_t** out) {
    *out = nullptr;
    if (threads < 2) return KX_STATUS_INVALID_ARGUMENT;
    const size_t bytes = sizeof(kx_thread_pool_t) + sizeof(kx_pool_slot_t) * static_cast<size_t>(threads);
    void* memory = kx_host_aligned_alloc(kLine, bytes);
    if (!memory) return KX_STATUS_OUT_OF_MEMORY;
    std::memset(memory, 0, bytes);
    auto* pool = new (memory) kx_thread_pool_t();
    kx_pool_slot_t* slots = pool->slots();
    for (int32_t i = 0; i < threads; ++i) {
        new (&slots[i]) kx_pool_slot_t();
        slots[i].index = i;
        slots[i].pool = pool;
    }

    pool->count = threads;
    uint32_t log2 = 0;
    while ((uint64_t{1} << log2) < static_cast<uint64_t>(threads)) ++log2;
    const unsigned __int128 numerator = (static_cast<unsigned __int128>(1) << 64) *
                                        ((uint64_t{1} << log2) - static_cast<uint64_t>(threads));
    pool->div_multiplier = static_cast<uint64_t>(numerator / static_cast<uint64_t>(threads)) + 1;
    pool->div_shift1 = 1;
    pool->div_shift2 = log2 - 1;
    pool->runner = run_slot;
    pool->spin_rounds = threads > get_nprocs() ? kOversubscribedSpinRounds : kSpinRounds;
    pool->owner_pid = getpid();

    if (pthread_mutex_init(&pool->mutex, nullptr) != 0) {
        kx_host_free(pool);
        return KX_STATUS_RUNTIME_ERROR;
    }
    pool->pending.store(threads - 1, std::memory_order_relaxed);
    pool->done_word.store(1, std::memory_order_relaxed);

    // Workers block every signal so that the application's threads receive them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int32_t fail_at = g_fail_worker.exchange(0);
    int32_t started = 1;
    bool failed = false;
    for (; started < threads; ++started) {
        if (started == fail_at || pthread_create(&slots[started].thread, nullptr, worker_main, &slots[started]) != 0) {
            failed = true;
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed) {
        stop_and_free(pool, started);
        return KX_STATUS_RUNTIME_ERROR;
    }
    wait_done(pool);
    *out = pool;
    return KX_STATUS_SUCCESS;
}

void kx_thread_pool_run(kx_thread_pool_t* pool, kx_pool_task_fn task, void* task_arg, uint64_t count) {
    // Inside another job, or in a child forked after the pool started: in order here.
    if (t_inside_job || getpid() != pool->owner_pid) {
        for (uint64_t i = 0; i < count; ++i) task(task_arg, i);
        return;
    }
    pthread_mutex_lock(&pool->mutex);
    pool->task = task;
    pool->task_arg = task_arg;
    pool->pending.store(pool->count - 1, std::memory_order_relaxed);
    pool->done_word.store(1, std::memory_order_relaxed);

    const uint64_t n = static_cast<uint64_t>(pool->count);
    const uint64_t q = pool->divide(count);
    const uint64_t r = count - n * q;
    kx_pool_slot_t* slots = pool->slots();
    uint64_t start = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t size = q + (i < r ? 1 : 0);
        slots[i].start = static_cast<int64_t>(start);
        slots[i].end.store(static_cast<int64_t>(start + size), std::memory_order_relaxed);
        slots[i].remaining.store(static_cast<int64_t>(size), std::memory_order_relaxed);
        start += size;
    }

    const uint32_t old = pool->command.load(std::memory_order_relaxed);
    publish_command(pool, ((old & kPhaseBit) ^ kPhaseBit) | kCommandRun);
    t_inside_job = true;
    pool->runner(pool, &slots[0]);
    t_inside_job = false;
    wait_done(pool);
    pthread_mutex_unlock(&pool->mutex);
}

void kx_thread_pool_destroy(kx_thread_pool_t* pool) {
    if (!pool) return;
    if (getpid() != pool->owner_pid) {
        // A forked child's copy: its workers and its mutex's owner live in the parent.
        kx_host_free(pool);
        return;
    }
    stop_and_free(pool, pool->count);
}

uint64_t kx_thread_pool_divide(const kx_thread_pool_t* pool, uint64_t x) { return pool->divide(x); }
