// Work-stealing thread pool: workers spin, then block (a futex on Linux, events on
// Windows) until the command word changes.
#include "device/thread_pool.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "base/memory.h"
#include "device/wide_math.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#error "the thread pool blocks on Windows events or Linux futexes; this system has neither"
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kPhaseBit = 0x80000000u;
constexpr uint32_t kCommandMask = 0x7FFFFFFFu;
constexpr uint32_t kCommandRun = 1;
constexpr uint32_t kCommandExit = 2;
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

// ---- Platform primitives: threads, the pool lock, blocking on a 32-bit word ----
#if defined(_WIN32)

// Spin with the pause hint, then give up the time slice with Sleep(0), then block.
constexpr int kSpinRounds = 5000;
constexpr int kYieldRounds = 5000;
inline void yield_slice() { Sleep(0); }

// No fork on Windows: every pool belongs to the process that sees it.
inline uint32_t process_generation() { return 0; }
inline int os_online_processors() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

using kx_os_thread_t = HANDLE;
using kx_os_thread_fn = void* (*)(void*);

struct ThreadStart {
    kx_os_thread_fn fn;
    void* arg;
};

// Two manual-reset events per word, one per phase of the value waited on: the
// publisher resets the new value's event before storing it and sets the old one's.
struct kx_os_word_events_t {
    HANDLE phase[2];
};

struct kx_os_sync_t {
    SRWLOCK lock;
    kx_os_word_events_t command;
    HANDLE done;  // auto-reset: one waiter, the submitter
};

bool os_sync_init(kx_os_sync_t* s) {
    InitializeSRWLock(&s->lock);
    s->command.phase[0] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s->command.phase[1] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return s->command.phase[0] && s->command.phase[1] && s->done;
}

void os_sync_destroy(kx_os_sync_t* s) {
    const HANDLE handles[] = {s->command.phase[0], s->command.phase[1], s->done};
    for (HANDLE h : handles)
        if (h) CloseHandle(h);
}

inline void os_lock(kx_os_sync_t* s) { AcquireSRWLockExclusive(&s->lock); }
inline void os_unlock(kx_os_sync_t* s) { ReleaseSRWLockExclusive(&s->lock); }

inline void os_command_wait(kx_os_sync_t* s, std::atomic<uint32_t>*, uint32_t expected) {
    WaitForSingleObject(s->command.phase[expected >> 31], INFINITE);
}

// Before the new value is stored: whoever sees it waits on its phase's event.
inline void os_command_prepare(kx_os_sync_t* s, uint32_t old, uint32_t value) {
    if ((old ^ value) & kPhaseBit) ResetEvent(s->command.phase[value >> 31]);
}

inline void os_command_wake(kx_os_sync_t* s, std::atomic<uint32_t>*, uint32_t old) {
    SetEvent(s->command.phase[old >> 31]);
}

inline void os_done_wait(kx_os_sync_t* s, std::atomic<uint32_t>*) { WaitForSingleObject(s->done, INFINITE); }
inline void os_done_wake(kx_os_sync_t* s, std::atomic<uint32_t>*) { SetEvent(s->done); }

DWORD WINAPI thread_trampoline(void* arg) {
    const ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    start.fn(start.arg);
    return 0;
}

bool os_thread_start(kx_os_thread_t* thread, kx_os_thread_fn fn, void* arg) {
    auto* start = new (std::nothrow) ThreadStart{fn, arg};
    if (!start) return false;
    *thread = CreateThread(nullptr, 0, thread_trampoline, start, 0, nullptr);
    if (!*thread) delete start;
    return *thread != nullptr;
}

void os_thread_join(kx_os_thread_t thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Windows delivers no asynchronous signals to arbitrary threads.
struct SignalsBlocked {};

#else

// Spin with the processor's pause or yield hint, then block on a futex.
constexpr int kSpinRounds = 1000;
constexpr int kYieldRounds = 0;
inline void yield_slice() {}

// Counts the forks this process descends from (since the first pool): a forked child
// has none of its parent's workers. A process id would not do, since a descendant can
// be given its ancestor's id once that has ended.
std::atomic<uint32_t> g_fork_generation{0};
pthread_once_t g_fork_handler_once = PTHREAD_ONCE_INIT;
void count_fork() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
void register_fork_handler() { pthread_atfork(nullptr, nullptr, count_fork); }
inline uint32_t process_generation() {
    pthread_once(&g_fork_handler_once, register_fork_handler);
    return g_fork_generation.load(std::memory_order_relaxed);
}
inline int os_online_processors() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

using kx_os_thread_t = pthread_t;
using kx_os_thread_fn = void* (*)(void*);

struct kx_os_sync_t {
    pthread_mutex_t lock;
};

bool os_sync_init(kx_os_sync_t* s) { return pthread_mutex_init(&s->lock, nullptr) == 0; }
void os_sync_destroy(kx_os_sync_t* s) { pthread_mutex_destroy(&s->lock); }
inline void os_lock(kx_os_sync_t* s) { pthread_mutex_lock(&s->lock); }
inline void os_unlock(kx_os_sync_t* s) { pthread_mutex_unlock(&s->lock); }

inline void futex_wait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

inline void futex_wake_all(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

inline void os_command_wait(kx_os_sync_t*, std::atomic<uint32_t>* word, uint32_t expected) {
    futex_wait(word, expected);
}

inline void os_command_prepare(kx_os_sync_t*, uint32_t, uint32_t) {}
inline void os_command_wake(kx_os_sync_t*, std::atomic<uint32_t>* word, uint32_t) { futex_wake_all(word); }

inline void os_done_wait(kx_os_sync_t*, std::atomic<uint32_t>* word) { futex_wait(word, 1); }
inline void os_done_wake(kx_os_sync_t*, std::atomic<uint32_t>* word) { futex_wake_all(word); }

bool os_thread_start(kx_os_thread_t* thread, kx_os_thread_fn fn, void* arg) {
    return pthread_create(thread, nullptr, fn, arg) == 0;
}

void os_thread_join(kx_os_thread_t thread) { pthread_join(thread, nullptr); }

// Workers block every signal so that the application's threads receive them.
struct SignalsBlocked {
    sigset_t previous;
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

#endif

// Spins, then gives up time slices, then blocks until keep_waiting() is false.
template <typename KeepWaiting, typename Block>
inline void spin_then_block(int spin_rounds, KeepWaiting keep_waiting, Block block) {
    for (int round = 0; round < spin_rounds; ++round) {
        if (!keep_waiting()) return;
        spin_hint();
    }
    for (int round = 0; round < kYieldRounds; ++round) {
        if (!keep_waiting()) return;
        yield_slice();
    }
    block();
}

}  // namespace

struct alignas(kLine) kx_pool_slot_t {
    int64_t start;                   // written by the submitter, read by the owner
    std::atomic<int64_t> end;        // thieves take from here downwards
    std::atomic<int64_t> remaining;  // items of the range not yet claimed
    int32_t index;
    kx_thread_pool_t* pool;
    kx_os_thread_t thread;
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
    uint32_t owner_generation;  // a forked child has none of the workers

    // Written once per worker per job.
    alignas(kLine) std::atomic<intptr_t> pending;
    std::atomic<uint32_t> done_word;
    std::atomic<int32_t> done_sleepers;

    alignas(kLine) kx_os_sync_t sync;

    kx_pool_slot_t* slots() { return reinterpret_cast<kx_pool_slot_t*>(this + 1); }

    // floor(x / count) without a division instruction.
    uint64_t divide(uint64_t x) const {
        const uint64_t t = kx_mul_high64(div_multiplier, x);
        return (t + ((x - t) >> div_shift1)) >> div_shift2;
    }
};

namespace {

void signal_done(kx_thread_pool_t* pool) {
    pool->done_word.store(0, std::memory_order_seq_cst);
    if (pool->done_sleepers.load(std::memory_order_seq_cst) > 0) os_done_wake(&pool->sync, &pool->done_word);
}

void wait_done(kx_thread_pool_t* pool) {
    spin_then_block(pool->spin_rounds, [pool] { return pool->done_word.load(std::memory_order_acquire) != 0; },
                    [pool] {
                        pool->done_sleepers.fetch_add(1, std::memory_order_seq_cst);
                        while (pool->done_word.load(std::memory_order_seq_cst) != 0)
                            os_done_wait(&pool->sync, &pool->done_word);
                        pool->done_sleepers.fetch_sub(1, std::memory_order_relaxed);
                    });
}

uint32_t wait_command(kx_thread_pool_t* pool, uint32_t last) {
    uint32_t c = last;
    spin_then_block(
        pool->spin_rounds, [pool, last, &c] { return (c = pool->command.load(std::memory_order_acquire)) == last; },
        [pool, last, &c] {
                        pool->command_sleepers.fetch_add(1, std::memory_order_seq_cst);
                        while ((c = pool->command.load(std::memory_order_seq_cst)) == last)
                            os_command_wait(&pool->sync, &pool->command, last);
                        pool->command_sleepers.fetch_sub(1, std::memory_order_relaxed);
                    });
    return c;
}

void publish_command(kx_thread_pool_t* pool, uint32_t word) {
    const uint32_t old = pool->command.load(std::memory_order_relaxed);
    os_command_prepare(&pool->sync, old, word);
    pool->command.store(word, std::memory_order_seq_cst);
    if (pool->command_sleepers.load(std::memory_order_seq_cst) > 0) os_command_wake(&pool->sync, &pool->command, old);
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
    for (int32_t i = 1; i < started; ++i) os_thread_join(slots[i].thread);
    os_sync_destroy(&pool->sync);
    std::memset(static_cast<void*>(pool), 0, sizeof(kx_thread_pool_t) + sizeof(kx_pool_slot_t) * pool->count);
    kx_host_aligned_free(pool);
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
    // floor(2^64 · (2^L - N) / N) + 1 by long division: 2^L - N < N, so every
    // partial remainder stays below 2N.
    const uint64_t n = static_cast<uint64_t>(threads);
    uint64_t remainder = (uint64_t{1} << log2) - n, quotient = 0;
    for (int bit = 0; bit < 64; ++bit) {
        remainder <<= 1;
        quotient <<= 1;
        if (remainder >= n) {
            remainder -= n;
            quotient |= 1;
        }
    }
    pool->div_multiplier = quotient + 1;
    pool->div_shift1 = 1;
    pool->div_shift2 = log2 - 1;
    pool->runner = run_slot;
    pool->spin_rounds = threads > os_online_processors() ? kOversubscribedSpinRounds : kSpinRounds;
    pool->owner_generation = process_generation();

    if (!os_sync_init(&pool->sync)) {
        os_sync_destroy(&pool->sync);
        kx_host_aligned_free(pool);
        return KX_STATUS_RUNTIME_ERROR;
    }
    pool->pending.store(threads - 1, std::memory_order_relaxed);
    pool->done_word.store(1, std::memory_order_relaxed);

    const int32_t fail_at = g_fail_worker.exchange(0);
    int32_t started = 1;
    bool failed = false;
    {
        [[maybe_unused]] const SignalsBlocked blocked;
        for (; started < threads; ++started) {
            if (started == fail_at || !os_thread_start(&slots[started].thread, worker_main, &slots[started])) {
                failed = true;
                break;
            }
        }
    }
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
    if (t_inside_job || process_generation() != pool->owner_generation) {
        for (uint64_t i = 0; i < count; ++i) task(task_arg, i);
        return;
    }
    os_lock(&pool->sync);
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
    os_unlock(&pool->sync);
}

void kx_thread_pool_destroy(kx_thread_pool_t* pool) {
    if (!pool) return;
    if (process_generation() != pool->owner_generation) {
        // A forked child's copy: its workers and its mutex's owner live in the parent.
        kx_host_aligned_free(pool);
        return;
    }
    stop_and_free(pool, pool->count);
}

uint64_t kx_thread_pool_divide(const kx_thread_pool_t* pool, uint64_t x) { return pool->divide(x); }
