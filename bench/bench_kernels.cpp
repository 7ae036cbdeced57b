// LINEAR kernel throughput per code path against this processor's peak rate of
// 16-bit multiply-adds, and the thread pool's cost per job.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "device/cpu.h"
#include "device/cpu_kernels.h"
#include "device/device.h"
#include "device/thread_pool.h"
#include "nn/ops.h"

namespace {

// Twelve independent vpmaddwd per round: no instruction waits on another.
#define KX_MADD12(op, reg)                                                                                           \
    op " %%" reg "14, %%" reg "15, %%" reg "0\n\t" op " %%" reg "14, %%" reg "15, %%" reg "1\n\t" op " %%" reg       \
       "14, %%" reg "15, %%" reg "2\n\t" op " %%" reg "14, %%" reg "15, %%" reg "3\n\t" op " %%" reg "14, %%" reg    \
       "15, %%" reg "4\n\t" op " %%" reg "14, %%" reg "15, %%" reg "5\n\t" op " %%" reg "14, %%" reg "15, %%" reg    \
       "6\n\t" op " %%" reg "14, %%" reg "15, %%" reg "7\n\t" op " %%" reg "14, %%" reg "15, %%" reg "8\n\t" op      \
       " %%" reg "14, %%" reg "15, %%" reg "9\n\t" op " %%" reg "14, %%" reg "15, %%" reg "10\n\t" op " %%" reg      \
       "14, %%" reg "15, %%" reg "11\n\t"

#define KX_CLOBBERS                                                                                               \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm14", \
        "xmm15", "cc"

__attribute__((target("avx2"))) void madd_ymm(uint64_t rounds) {
    __asm__ volatile(
        "vpcmpeqd %%ymm14, %%ymm14, %%ymm14\n\t"
        "vpcmpeqd %%ymm15, %%ymm15, %%ymm15\n\t"
        "1:\n\t" KX_MADD12("vpmaddwd", "ymm") "dec %0\n\t"
        "jnz 1b\n\t"
        "vzeroupper\n\t"
        : "+r"(rounds)
        :
        : KX_CLOBBERS);
}

__attribute__((target("avx512f,avx512bw"))) void madd_zmm(uint64_t rounds) {
    __asm__ volatile(
        "vpternlogd $0xFF, %%zmm14, %%zmm14, %%zmm14\n\t"
        "vpternlogd $0xFF, %%zmm15, %%zmm15, %%zmm15\n\t"
        "1:\n\t" KX_MADD12("vpmaddwd", "zmm") "dec %0\n\t"
        "jnz 1b\n\t"
        "vzeroupper\n\t"
        : "+r"(rounds)
        :
        : KX_CLOBBERS);
}

bool has_avx512bw() {
    return kx_cpu_linear_avx512_usable(kx_cpu_detect_features());  // implies AVX512BW
}

// Multiply-accumulates per second of the faster of the two register widths, the
// best of a few short runs.
double peak_macs_per_second() {
    static const double peak = [] {
        double best = 0;
        for (int width : {16, 32}) {
            if (width == 32 && !has_avx512bw()) continue;
            for (int run = 0; run < 5; ++run) {
                const uint64_t rounds = 2000000;
                const double start = thread_seconds();
                width == 16 ? madd_ymm(rounds) : madd_zmm(rounds);
                const double seconds = thread_seconds() - start;
                best = std::max(best, 12.0 * width * rounds / seconds);
            }
        }
        return best;
    }();
    return peak;
}

void BM_PeakMadd(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    if (width == 32 && !has_avx512bw()) {
        state.SkipWithError("no AVX-512BW");
        return;
    }
    const uint64_t rounds = 100000;
    for (auto _ : state) width == 16 ? madd_ymm(rounds) : madd_zmm(rounds);
    state.counters["MAC/s"] =
        benchmark::Counter(12.0 * width * rounds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PeakMadd)->Arg(16)->ArgName("lanes")->Arg(32);

struct Path {
    const char* name;
    uint32_t mask;
};
const Path kPaths[] = {{"portable", 0},
                       {"sse41", KX_CPU_SSE41},
                       {"avx2", KX_CPU_SSE41 | KX_CPU_AVX | KX_CPU_AVX2},
                       {"avx512", ~0u}};

bool path_available(const Path& path) {
    const uint32_t detected = kx_cpu_detect_features();
    if (path.mask == ~0u) return kx_cpu_linear_avx512_usable(detected);
    return (detected & path.mask) == path.mask;
}

// One matrix-vector LINEAR (B = 1) of rows × columns on a device of the given
// thread count, timed through the kernel entry point.
void run_linear(benchmark::State& state, const Path& path, const char* device_text, bool wall) {
    const int32_t rows = static_cast<int32_t>(state.range(0)), columns = static_cast<int32_t>(state.range(1));
    if (!path_available(path)) {
        state.SkipWithError("path not supported by this processor");
        return;
    }
    kx_cpu_set_feature_mask(path.mask);
    kx_device_t* device = nullptr;
    kx_device_create_from_string(device_text, "cpu:1", &device);
    kx_cpu_set_feature_mask(~0u);

    std::mt19937 rng(1);
    auto buffer = [&](uint32_t size) {
        kx_buffer_t* b = kx_buffer_create(device, size, 0);
        for (uint32_t i = 0; i < size; ++i) static_cast<uint8_t*>(b->storage)[i] = static_cast<uint8_t>(rng());
        return b;
    };
    kx_buffer_t* out = buffer(2 * rows);
    kx_buffer_t* in = buffer(2 * columns);
    kx_buffer_t* weights = buffer(rows * columns);
    kx_buffer_t* bias = buffer(rows);
    const kx_op_args_t args = {{out, in, weights, bias}, {1, rows, columns, 0, 0, 0}};
    const kx_op_kernel_fn kernel = kx_device_kind_ops(device)->op_kernel[KX_OP_LINEAR];

    const double start = wall ? wall_seconds() : thread_seconds();
    for (auto _ : state) {
        kernel(device->backend, nullptr, &args);
        benchmark::ClobberMemory();
    }
    const double seconds = (wall ? wall_seconds() : thread_seconds()) - start;
    const double macs = static_cast<double>(rows) * columns * static_cast<double>(state.iterations());
    state.counters["GMAC/s"] = macs / seconds * 1e-9;
    state.counters["peak_%"] = 100.0 * macs / seconds / peak_macs_per_second();

    for (kx_buffer_t* b : {out, in, weights, bias}) kx_buffer_destroy(device, b);
    kx_device_release(device);
}

// Other processes disturb single runs; the best of several is quoted.
double best(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

void shapes(benchmark::internal::Benchmark* b) {
    b->Repetitions(7)->ReportAggregatesOnly(true)->ComputeStatistics("best", best);
    b->ArgNames({"rows", "columns"})->Args({240, 80})->Args({384, 168})->Args({384, 256});
}

void BM_LinearPortable(benchmark::State& state) { run_linear(state, kPaths[0], "cpu:1", false); }
void BM_LinearSse41(benchmark::State& state) { run_linear(state, kPaths[1], "cpu:1", false); }
void BM_LinearAvx2(benchmark::State& state) { run_linear(state, kPaths[2], "cpu:1", false); }
void BM_LinearAvx512(benchmark::State& state) { run_linear(state, kPaths[3], "cpu:1", false); }
// The best path split over a pool of two threads (one worker).
void BM_LinearBestTwoThreads(benchmark::State& state) { run_linear(state, kPaths[3], "cpu:2", true); }
void BM_LinearAvx2TwoThreads(benchmark::State& state) { run_linear(state, kPaths[2], "cpu:2", true); }
BENCHMARK(BM_LinearPortable)->Apply(shapes);
BENCHMARK(BM_LinearSse41)->Apply(shapes);
BENCHMARK(BM_LinearAvx2)->Apply(shapes);
BENCHMARK(BM_LinearAvx512)->Apply(shapes);
BENCHMARK(BM_LinearAvx2TwoThreads)->Apply(shapes)->UseRealTime();
BENCHMARK(BM_LinearBestTwoThreads)->Apply(shapes)->UseRealTime();

// A pool job whose items do nothing: the fixed cost of handing out one job.
void BM_PoolEmptyJob(benchmark::State& state) {
    kx_thread_pool_t* pool = nullptr;
    kx_thread_pool_create(static_cast<int32_t>(state.range(0)), &pool);
    for (auto _ : state) kx_thread_pool_run(pool, [](void*, uint64_t) {}, nullptr, 4);
    kx_thread_pool_destroy(pool);
}
BENCHMARK(BM_PoolEmptyJob)->ArgName("threads")->Arg(2)->UseRealTime();

}  // namespace
