#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "device/cpu.h"
#include "device/cpu_kernels.h"
#include "device/device.h"
#include "device/thread_pool.h"
#include "support/error_stack.h"

namespace {

struct PoolDeleter {
    void operator()(kx_thread_pool_t* pool) const { kx_thread_pool_destroy(pool); }
};
using Pool = std::unique_ptr<kx_thread_pool_t, PoolDeleter>;

Pool make_pool(int32_t threads) {
    kx_thread_pool_t* pool = nullptr;
    EXPECT_EQ(kx_thread_pool_create(threads, &pool), KX_STATUS_SUCCESS);
    return Pool(pool);
}

// Waits until done() holds; false after 20 s so that a broken pool fails the test
// instead of hanging it.
template <typename F>
bool wait_for(F done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::yield();
    }
    return true;
}

struct Tally {
    std::vector<std::atomic<int>> runs;
    explicit Tally(uint64_t count) : runs(count) {}
    static void task(void* arg, uint64_t item) { static_cast<Tally*>(arg)->runs[item].fetch_add(1); }
    bool each_once() const {
        for (const auto& r : runs)
            if (r.load() != 1) return false;
        return true;
    }
};

int thread_count_of_process() {
    int count = 0;
#if defined(_WIN32)
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
#else
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
#endif
    return count;
}

// Exited threads may linger for a moment after they were joined (under an emulator
// those of earlier tests too, so the count may end below the one taken before).
// A thread that was joined may still be listed for a moment (notably under
// emulation), so a baseline is only taken once the count has held for 50 ms.
int settled_thread_count() {
    int count = thread_count_of_process();
    for (int steady = 0, round = 0; steady < 25 && round < 2000; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const int now = thread_count_of_process();
        steady = now == count ? steady + 1 : 0;
        count = now;
    }
    return count;
}

bool process_threads_settle_at(int expected) {
    return wait_for([&] { return thread_count_of_process() <= expected; });
}

}  // namespace

TEST(ThreadPool, EveryItemRunsExactlyOnceUnderStress) {
    std::mt19937 rng(7);
    for (int32_t threads : {2, 3, 4, 8}) {
        Pool pool = make_pool(threads);
        for (int job = 0; job < 1500; ++job) {
            // Mostly small jobs, including fewer items than threads and none at all.
            const uint64_t count = job % 10 == 0 ? rng() % 5000 : rng() % 40;
            Tally tally(count);
            kx_thread_pool_run(pool.get(), Tally::task, &tally, count);
            ASSERT_TRUE(tally.each_once()) << threads << " threads, " << count << " items";
        }
    }
}

TEST(ThreadPool, SlowItemsAreStolenAndStillRunOnce) {
    struct Job {
        std::vector<std::atomic<int>> runs = std::vector<std::atomic<int>>(64);
        std::vector<std::atomic<int>> spins = std::vector<std::atomic<int>>(64);
    };
    Pool pool = make_pool(4);
    std::mt19937 rng(11);
    for (int round = 0; round < 50; ++round) {
        Job job;
        for (auto& s : job.spins) s = rng() % 4 == 0 ? 20000 + rng() % 50000 : 0;
        kx_thread_pool_run(
            pool.get(),
            [](void* arg, uint64_t item) {
                auto* j = static_cast<Job*>(arg);
                volatile unsigned sink = 0;
                for (int i = 0; i < j->spins[item].load(); ++i) sink = sink + static_cast<unsigned>(i);
                j->runs[item].fetch_add(1);
            },
            &job, 64);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(job.runs[i].load(), 1) << "item " << i;
    }
}

TEST(ThreadPool, TenItemsOnFourThreadsSplitThreeThreeTwoTwo) {
    // Every thread's first item waits until all four threads have begun one, so each
    // first item is the start of that thread's own range.
    struct Job {
        std::mutex lock;
        std::vector<std::thread::id> threads;
        std::vector<uint64_t> first_items;
        std::atomic<int> entered{0};
        std::atomic<bool> timed_out{false};
        Tally tally{10};
    } job;
    Pool pool = make_pool(4);
    kx_thread_pool_run(
        pool.get(),
        [](void* arg, uint64_t item) {
            auto* j = static_cast<Job*>(arg);
            bool first = false;
            {
                std::lock_guard<std::mutex> guard(j->lock);
                const auto self = std::this_thread::get_id();
                bool seen = false;
                for (auto id : j->threads) seen = seen || id == self;
                if (!seen) {
                    j->threads.push_back(self);
                    j->first_items.push_back(item);
                    first = true;
                }
            }
            if (first) {
                j->entered.fetch_add(1);
                if (!wait_for([&] { return j->entered.load() >= 4; })) j->timed_out = true;
            }
            Tally::task(&j->tally, item);
        },
        &job, 10);
    ASSERT_FALSE(job.timed_out.load());
    EXPECT_TRUE(job.tally.each_once());
    std::sort(job.first_items.begin(), job.first_items.end());
    EXPECT_EQ(job.first_items, (std::vector<uint64_t>{0, 3, 6, 8}));
}

TEST(ThreadPool, ThievesTakeFromTheBackInVictimOrder) {
    // Three slots of two items: [0,2) caller, [2,4) and [4,6) workers. The workers
    // stall on their first item, so the caller runs its own range and then steals
    // from slot 2 before slot 1, each from the back.
    struct Job {
        std::atomic<int> stalled{0};
        std::atomic<bool> release{false};
        std::atomic<bool> timed_out{false};
        std::thread::id caller = std::this_thread::get_id();
        std::vector<uint64_t> caller_items;  // only the caller appends
        Tally tally{6};
    } job;
    Pool pool = make_pool(3);
    kx_thread_pool_run(
        pool.get(),
        [](void* arg, uint64_t item) {
            auto* j = static_cast<Job*>(arg);
            if (std::this_thread::get_id() == j->caller) {
                if (item == 0 && !wait_for([&] { return j->stalled.load() == 2; })) j->timed_out = true;
                j->caller_items.push_back(item);
                if (j->caller_items.size() == 4) j->release = true;
            } else if (item == 2 || item == 4) {
                j->stalled.fetch_add(1);
                if (!wait_for([&] { return j->release.load(); })) j->timed_out = true;
            }
            Tally::task(&j->tally, item);
        },
        &job, 6);
    ASSERT_FALSE(job.timed_out.load());
    EXPECT_TRUE(job.tally.each_once());
    EXPECT_EQ(job.caller_items, (std::vector<uint64_t>{0, 1, 5, 3}));
}

TEST(ThreadPool, ConcurrentSubmittersRunOneJobAtATime) {
    struct Job {
        std::atomic<int>* active;
        std::atomic<bool>* overlap;
        Tally tally{37};
    };
    Pool pool = make_pool(3);
    std::atomic<int> active{0};
    std::atomic<bool> overlap{false};
    auto submit = [&] {
        for (int i = 0; i < 300; ++i) {
            Job job{&active, &overlap};
            kx_thread_pool_run(
                pool.get(),
                [](void* arg, uint64_t item) {
                    auto* j = static_cast<Job*>(arg);
                    if (item == 0) {
                        if (j->active->fetch_add(1) != 0) *j->overlap = true;
                        std::this_thread::yield();
                        j->active->fetch_sub(1);
                    }
                    Tally::task(&j->tally, item);
                },
                &job, 37);
            ASSERT_TRUE(job.tally.each_once());
        }
    };
    std::thread other(submit);
    submit();
    other.join();
    EXPECT_FALSE(overlap.load());
}

TEST(ThreadPool, DestroyRightAfterCreateStopsTheWorkers) {
    const int before = settled_thread_count();
    for (int i = 0; i < 100; ++i) {
        kx_thread_pool_t* pool = nullptr;
        ASSERT_EQ(kx_thread_pool_create(2 + i % 7, &pool), KX_STATUS_SUCCESS);
        kx_thread_pool_destroy(pool);
    }
    EXPECT_TRUE(process_threads_settle_at(before));
    kx_thread_pool_destroy(nullptr);
}

TEST(ThreadPool, DivisionByThreadCountMatchesDivide) {
    std::mt19937_64 rng(3);
    for (int32_t threads : {2, 3, 4, 5, 7, 8, 9, 12, 16, 31, 33, 100}) {
        kx_thread_pool_t* pool = nullptr;
        ASSERT_EQ(kx_thread_pool_create(threads, &pool), KX_STATUS_SUCCESS);
        const uint64_t n = static_cast<uint64_t>(threads);
        std::vector<uint64_t> values = {0, 1, n - 1, n, n + 1, 2 * n - 1, ~uint64_t{0}, ~uint64_t{0} - 1,
                                        uint64_t{1} << 63, (uint64_t{1} << 63) - 1};
        for (int i = 0; i < 2000; ++i) values.push_back(i % 2 ? rng() : rng() >> (rng() % 64));
        for (uint64_t x : values) ASSERT_EQ(kx_thread_pool_divide(pool, x), x / n) << x << " / " << n;
        kx_thread_pool_destroy(pool);
    }
}

TEST(ThreadPool, CreationFailuresLeaveNothingRunning) {
    const int before = settled_thread_count();
    kx_thread_pool_t* pool = reinterpret_cast<kx_thread_pool_t*>(1);
    kx_thread_pool_fail_worker_start(3);
    EXPECT_EQ(kx_thread_pool_create(6, &pool), KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(pool, nullptr);
    EXPECT_TRUE(process_threads_settle_at(before));

    kx_thread_pool_fail_worker_start(1);
    EXPECT_EQ(kx_thread_pool_create(2, &pool), KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(pool, nullptr);

    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_thread_pool_create(4, &pool), KX_STATUS_OUT_OF_MEMORY);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(pool, nullptr);
    EXPECT_TRUE(process_threads_settle_at(before));

    // The hook fires once: the next creation succeeds.
    pool = nullptr;
    EXPECT_EQ(kx_thread_pool_create(3, &pool), KX_STATUS_SUCCESS);
    kx_thread_pool_destroy(pool);
}

TEST(CpuDevicePool, WorkerThreadsFollowTheThreadCount) {
    const struct {
        const char* text;
        int workers;
    } cases[] = {{"cpu:1", 0}, {"best", 0}, {"cpu:-4", 0}, {"cpu:2", 1}, {"cpu:4", 3}};
    for (const auto& c : cases) {
        const int before = settled_thread_count();
        kx_device_t* device = nullptr;
        ASSERT_EQ(kx_device_create_from_string(c.text, "cpu:1", &device), KX_STATUS_SUCCESS) << c.text;
        auto* cpu = static_cast<kx_cpu_device_t*>(device->backend);
        EXPECT_EQ(cpu->pool != nullptr, c.workers > 0) << c.text;
        EXPECT_EQ(thread_count_of_process() - before, c.workers) << c.text;
        kx_device_release(device);
        EXPECT_TRUE(process_threads_settle_at(before)) << c.text;
    }
}

TEST(CpuDevicePool, WorkerStartFailureFailsTheDevice) {
    kx_error_stack_begin_call();
    kx_device_t* device = nullptr;
    kx_thread_pool_fail_worker_start(2);
    EXPECT_EQ(kx_device_create_from_string("cpu:3", "cpu:1", &device), KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(device, nullptr);
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], messages[1]);
    EXPECT_NE(messages[0].find("0000012C"), std::string::npos) << messages[0];
}

// Kernels of a call that runs on the pool submit jobs of their own: those run on the
// submitting thread instead of waiting for workers that are busy with the outer job.
TEST(ThreadPool, JobsSubmittedFromInsideAJobRunOnTheSubmitter) {
    Pool pool = make_pool(3);
    struct Outer {
        kx_thread_pool_t* pool;
        std::atomic<int> inner_on_other_threads{0};
        Tally inner{4 * 3};
        static void task(void* arg, uint64_t item) {
            auto* o = static_cast<Outer*>(arg);
            struct Inner {
                Outer* outer;
                uint64_t base;
                std::thread::id submitter;
                static void task(void* arg, uint64_t i) {
                    auto* in = static_cast<Inner*>(arg);
                    if (std::this_thread::get_id() != in->submitter) in->outer->inner_on_other_threads++;
                    Tally::task(&in->outer->inner, in->base + i);
                }
            } inner{o, 3 * item, std::this_thread::get_id()};
            kx_thread_pool_run(o->pool, Inner::task, &inner, 3);
        }
    } outer{pool.get()};
    kx_thread_pool_run(pool.get(), Outer::task, &outer, 4);
    EXPECT_TRUE(outer.inner.each_once());
    EXPECT_EQ(outer.inner_on_other_threads.load(), 0);
}

// Handing a job to the workers costs more than a small kernel call: such calls run
// every item on the calling thread even on a device with a pool.
TEST(CpuDevicePool, SmallKernelJobsStayOnTheCallingThread) {
    kx_device_t* device = nullptr;
    ASSERT_EQ(kx_device_create_from_string("cpu:4", "cpu:1", &device), KX_STATUS_SUCCESS);
    const auto* cpu = static_cast<const kx_cpu_device_t*>(device->backend);
    struct Record {
        std::thread::id caller = std::this_thread::get_id();
        std::atomic<int> elsewhere{0};
        static void task(void* arg, uint64_t) {
            auto* r = static_cast<Record*>(arg);
            if (std::this_thread::get_id() != r->caller) r->elsewhere++;
        }
    } record;
    // The shape of a recurrent step: 192 rows of 128 columns, 16 items on 4 threads.
    kx_cpu_job_t job{};
    job.task = Record::task;
    job.count = 16;
    job.work = 192 * 128;
    for (int round = 0; round < 50; ++round) kx_cpu_job_run(cpu, &job);
    EXPECT_EQ(record.elsewhere.load(), 0);
    kx_device_release(device);
}
