// The GPU device kind through its plug-in (lavapipe here unless a GPU is present),
// against cpu:1 in the same run: one window embedding, a minute of audio through
// kx_orvel_process, and the cost of one recorded operator with batching (the host
// waits once per 64 calls) and without (the host waits after every call).
//
// Uses models/default.kx with every window embedded (voice threshold 0). All figures
// are wall time, minimum over the iterations: the GPU works on other threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "device/device.h"
#include "engine/embedding.h"
#include "engine/recognizer.h"
#include "kx_orvel.h"
#include "nn/network.h"
#include "nn/ops.h"
#include "support/audio.h"

namespace {

const std::string& model_path() {
    static const std::string path = std::string(KX_SOURCE_DIR) + "/models/default.kx";
    return path;
}

struct Recognizer {
    kx_orvel_t* object = nullptr;
    explicit Recognizer(const char* device) {
#ifdef KX_VULKAN_PLUGIN
        setenv("KX_ORVEL_GPU_PLUGIN", KX_VULKAN_PLUGIN, 0);
#endif
        if (kx_orvel_init(model_path().c_str(), device, 0.0f, &object) != KX_STATUS_SUCCESS) object = nullptr;
    }
    ~Recognizer() { kx_orvel_delete(object); }
};

struct Minimum {
    double value = 1e30;
    void add(double v) { value = std::min(value, v); }
};

void BM_GpuWindow(benchmark::State& state) {
    Recognizer cpu("cpu:1"), gpu("gpu");
    if (!cpu.object || !gpu.object) {
        state.SkipWithError("model or GPU device not available");
        return;
    }
    const int32_t samples = cpu.object->window_frames * KX_FRAME_SAMPLES;
    const std::vector<int16_t> pcm = kxtest::speech_like(static_cast<size_t>(samples), 3);
    std::vector<float> sum(static_cast<size_t>(cpu.object->network->embedding_size));
    Minimum on_cpu, on_gpu;
    for (auto _ : state) {
        for (auto [r, m] : {std::pair{cpu.object, &on_cpu}, std::pair{gpu.object, &on_gpu}}) {
            int32_t added = 0;
            const double t = wall_seconds();
            kx_embedding_extract(r, pcm.data(), sum.data(), &added);
            m->add(wall_seconds() - t);
        }
    }
    state.counters["cpu1_us"] = 1e6 * on_cpu.value;
    state.counters["gpu_us"] = 1e6 * on_gpu.value;
    state.counters["gpu/cpu1"] = on_gpu.value / on_cpu.value;
}
BENCHMARK(BM_GpuWindow)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_GpuMinute(benchmark::State& state) {
    Recognizer cpu("cpu:1"), gpu("gpu");
    if (!cpu.object || !gpu.object) {
        state.SkipWithError("model or GPU device not available");
        return;
    }
    const std::vector<int16_t> pcm = kxtest::speech_like(60 * 16000, 5);
    std::vector<float> profile(static_cast<size_t>(cpu.object->network->embedding_size), 0.0f);
    profile[0] = 1.0f;
    const float* profiles[1] = {profile.data()};
    Minimum on_cpu, on_gpu;
    for (auto _ : state) {
        for (auto [r, m] : {std::pair{cpu.object, &on_cpu}, std::pair{gpu.object, &on_gpu}}) {
            float* scores = nullptr;
            const double t = wall_seconds();
            kx_orvel_process(r, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
            m->add(wall_seconds() - t);
            kx_orvel_scores_delete(scores);
        }
    }
    state.counters["cpu1_ms"] = 1e3 * on_cpu.value;
    state.counters["gpu_ms"] = 1e3 * on_gpu.value;
    state.counters["rtf_gpu"] = on_gpu.value / 60.0;
    state.counters["gpu/cpu1"] = on_gpu.value / on_cpu.value;
}
BENCHMARK(BM_GpuMinute)->Iterations(2)->Unit(benchmark::kMillisecond);

// A chain of dependent small additions: the per-operator cost of recording, batched
// four to a submission, against waiting for the device after every operator.
void BM_GpuOperatorOverhead(benchmark::State& state) {
    Recognizer gpu("gpu");
    if (!gpu.object) {
        state.SkipWithError("GPU device not available");
        return;
    }
    kx_device_t* d = gpu.object->device;
    kx_buffer_t* sum = kx_buffer_create(d, 256, 0);
    kx_buffer_t* step = kx_buffer_create(d, 256, 0);
    const std::vector<uint8_t> zero(256, 0);
    kx_buffer_write(d, sum, zero.data(), 0, 256);
    kx_buffer_write(d, step, zero.data(), 0, 256);
    const kx_op_args_t add{{sum, sum, step}, {128, 0, 0, 0}};
    constexpr int kCalls = 64;
    Minimum batched, waiting;
    for (auto _ : state) {
        double t = wall_seconds();
        for (int i = 0; i < kCalls; ++i) kx_op_execute(d, KX_OP_ADD, &add);
        kx_buffer_map(d, sum, 1);
        kx_buffer_unmap(d, sum, 0);
        batched.add((wall_seconds() - t) / kCalls);
        t = wall_seconds();
        for (int i = 0; i < kCalls; ++i) {
            kx_op_execute(d, KX_OP_ADD, &add);
            kx_buffer_map(d, sum, 1);
            kx_buffer_unmap(d, sum, 0);
        }
        waiting.add((wall_seconds() - t) / kCalls);
    }
    kx_buffer_destroy(d, sum);
    kx_buffer_destroy(d, step);
    state.counters["batched_us_per_op"] = 1e6 * batched.value;
    state.counters["waiting_us_per_op"] = 1e6 * waiting.value;
    state.counters["waiting/batched"] = waiting.value / batched.value;
}
BENCHMARK(BM_GpuOperatorOverhead)->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace
