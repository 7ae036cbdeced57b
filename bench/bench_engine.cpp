// End-to-end timings through the engine: one window embedding and one detector
// frame through kx_op_execute with the share spent in the LINEAR kernels,
// kx_orvel_process on a minute of speech-like audio on cpu:1 and cpu:2, the
// multiply-accumulate rate of a whole call against a vpmaddwd loop measured in the
// same run, enrollment per frame, allocations per frame, 10 s of audio on more
// threads than processors, and two recognizers scoring on two threads at once.
//
// Uses models/default.kx when it exists, else a generated model of the default
// shape (two bidirectional layers of 64, hop 256, 40 bands, window 48 + 8).
// Every figure is the minimum over the iterations of one run; single-thread
// figures are thread CPU time, pool figures wall time (the machine is shared).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_timing.h"
#include "device/device.h"
#include "engine/recognizer.h"
#include "frontend/frontend.h"
#include "frontend/vad.h"
#include "base/memory.h"
#include "frontend/window_selector.h"
#include "kx_orvel.h"
#include "engine/embedding.h"
#include "nn/network.h"
#include "nn/ops.h"
#include "support/audio.h"
#include "support/model_writer.h"

#ifndef KX_SOURCE_DIR
#define KX_SOURCE_DIR "."
#endif

namespace {

constexpr int32_t kSampleRate = 16000;

using kxtest::speech_like;

std::string default_model_path() { return std::string(KX_SOURCE_DIR) + "/models/default.kx"; }

// The default model, or a generated one of the same shape (kept for the process).
const std::string& model_path() {
    static std::unique_ptr<kxtest::TempFile> generated;
    static const std::string path = [] {
        const std::string candidate = default_model_path();
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
        kxtest::ModelShape shape;
        shape.window_frames = 48;
        shape.lookahead_frames = 8;
        shape.hop_length = 256;
        shape.num_bands = 40;
        shape.hidden_sizes = {64, 64};
        shape.embedding_size = 128;
        shape.projection_kind = 1;
        generated = std::make_unique<kxtest::TempFile>(kxtest::make_random_model(shape, 7), "bench_model");
        return generated->path();
    }();
    return path;
}

struct Recognizer {
    kx_orvel_t* object = nullptr;
    explicit Recognizer(const char* device, float threshold = 0.0f) {
        if (kx_orvel_init(model_path().c_str(), device, threshold, &object) != KX_STATUS_SUCCESS) object = nullptr;
    }
    ~Recognizer() { kx_orvel_delete(object); }
};

struct Minimum {
    double value = 1e30;
    void add(double v) { value = std::min(value, v); }
};

// The LINEAR calls of one window, with the shapes and buffers the embedding uses.
double replay_embedding_linears(const kx_orvel_t* rec, int32_t frames, int32_t* calls, double (*clock)()) {
    kx_device_t* device = rec->device;
    const kx_network_t* network = rec->network;
    const double start = clock();
    *calls = 0;
    for (int32_t i = 0; i < network->layer_count; ++i) {
        for (const kx_lstm_layer_t* layer : {&network->forward[i], &network->backward[i]}) {
            const int32_t h = layer->hidden_size, in = layer->input_size;
            kx_buffer_t* state = kx_buffer_cache_acquire(device, 2u * static_cast<uint32_t>(2 * h + in));
            kx_buffer_t* gates = kx_buffer_cache_acquire(device, 6u * static_cast<uint32_t>(h));
            const kx_op_args_t args = {{gates, state, layer->weights, layer->bias}, {1, 3 * h, h + in, 0, 2 * h, 0}};
            for (int32_t t = 0; t < frames; ++t) kx_op_execute(device, KX_OP_LINEAR, &args);
            *calls += frames;
            kx_buffer_cache_release(device, gates);
            kx_buffer_cache_release(device, state);
        }
    }
    return clock() - start;
}

// cpu:1 figures in thread CPU time; with a pool the workers' time counts, so wall time.
double (*clock_for(int64_t threads))() { return threads > 1 ? wall_seconds : thread_seconds; }
const char* device_for(int64_t threads) { return threads > 1 ? "cpu:2" : "cpu:1"; }

// One window: the whole extraction, its features alone, and the same products as
// separate LINEAR calls (the frame-by-frame path of devices without a fused direction).
void BM_EmbeddingWindow(benchmark::State& state) {
    double (*clock)() = clock_for(state.range(0));
    Recognizer rec(device_for(state.range(0)));
    if (!rec.object) {
        state.SkipWithError("model did not load");
        return;
    }
    const kx_orvel_t* r = rec.object;
    const int32_t samples = r->window_frames * KX_FRAME_SAMPLES;
    const int32_t frames = samples / r->frontend->hop_length;
    const std::vector<int16_t> pcm = speech_like(static_cast<size_t>(samples), 3);
    std::vector<float> sum(static_cast<size_t>(r->network->embedding_size));
    std::vector<float> features(static_cast<size_t>(frames) * r->frontend->num_bands);
    Minimum whole, frontend, linear;
    int32_t calls = 0;
    for (auto _ : state) {
        int32_t added = 0;
        double t = clock();
        kx_embedding_extract(r, pcm.data(), sum.data(), &added);
        whole.add(clock() - t);
        t = clock();
        kx_orvel_frontend_compute(r->frontend, features.data(), pcm.data(), frames * r->frontend->hop_length);
        frontend.add(clock() - t);
        linear.add(replay_embedding_linears(r, frames, &calls, clock));
    }
    const double network = whole.value - frontend.value;
    state.counters["window_us"] = 1e6 * whole.value;
    state.counters["features_us"] = 1e6 * frontend.value;
    state.counters["network_us"] = 1e6 * network;
    state.counters["linear_us"] = 1e6 * linear.value;
    state.counters["linear_calls"] = calls;
    // The whole network (fused where the device fuses) against its products alone as
    // operator calls; below 1 once dispatch and copies are gone.
    state.counters["network/linear"] = network / linear.value;
}
BENCHMARK(BM_EmbeddingWindow)->ArgName("threads")->Arg(1)->Arg(2)->Iterations(60)->Unit(benchmark::kMicrosecond);

// The detector's instructions of one kind set only: the LINEAR and LINEAR_ACCUMULATE ones.
std::vector<int32_t> linear_only_program() {
    std::vector<int32_t> out;
    int32_t p = KX_VAD_PROGRAM_STEP_START;
    while (p < KX_VAD_PROGRAM_LENGTH) {
        const int32_t code = kx_vad_program[p];
        const int32_t length = 1 + kx_op_arity[code].buffers + kx_op_arity[code].ints;
        if (code == KX_OP_LINEAR || code == KX_OP_LINEAR_ACCUMULATE)
            out.insert(out.end(), kx_vad_program + p, kx_vad_program + p + length);
        p += length;
    }
    return out;
}

// One detector frame: the whole step (with the device's fused recurrent steps where
// it has them), its features, its op program run operator by operator, and that
// program's LINEAR calls. Each figure times blocks of 30 frames, so that the clock's
// own cost (a system call for the thread's CPU time) is not counted per frame.
void BM_DetectorFrame(benchmark::State& state) {
    constexpr int kBlock = 30;
    double (*clock)() = clock_for(state.range(0));
    kx_device_t* device = nullptr;
    kx_device_create_from_string(device_for(state.range(0)), "cpu:1", &device);
    kx_device_retain(device);
    kx_vad_t* vad = nullptr;
    if (kx_vad_init(device, &vad) != KX_STATUS_SUCCESS) {
        kx_device_release(device);
        state.SkipWithError("detector did not start");
        return;
    }
    kx_vad_frontend_t* features = nullptr;
    kx_vad_frontend_init(256, &features);
    const std::vector<int16_t> pcm = speech_like(16000, 4);
    const std::vector<int32_t> linears = linear_only_program();
    int16_t row[80];
    Minimum whole, front, program, linear;
    for (auto _ : state) {
        float voiced = 0;
        double t = clock();
        for (int f = 0; f < kBlock; ++f) kx_vad_process(vad, pcm.data() + f * KX_FRAME_SAMPLES, &voiced);
        whole.add((clock() - t) / kBlock);
        t = clock();
        for (int f = 0; f < kBlock; ++f) {
            kx_vad_frontend_process(features, pcm.data() + f * KX_FRAME_SAMPLES, row);
            kx_vad_frontend_process(features, pcm.data() + f * KX_FRAME_SAMPLES + 256, row + 40);
        }
        front.add((clock() - t) / kBlock);
        t = clock();
        for (int f = 0; f < kBlock; ++f)
            kx_op_program_run(device, vad->program->buffers, kx_vad_program, KX_VAD_BUFFER_COUNT,
                              KX_VAD_PROGRAM_STEP_START, KX_VAD_PROGRAM_LENGTH);
        program.add((clock() - t) / kBlock);
        t = clock();
        for (int f = 0; f < kBlock; ++f)
            kx_op_program_run(device, vad->program->buffers, linears.data(), KX_VAD_BUFFER_COUNT, 0,
                              static_cast<int32_t>(linears.size()));
        linear.add((clock() - t) / kBlock);
    }
    state.counters["frame_us"] = 1e6 * whole.value;
    state.counters["features_us"] = 1e6 * front.value;
    state.counters["program_us"] = 1e6 * program.value;
    state.counters["linear_us"] = 1e6 * linear.value;
    state.counters["outside/linear"] = (program.value - linear.value) / linear.value;
    kx_vad_frontend_delete(features);
    kx_vad_delete(vad);
    kx_device_release(device);
}
BENCHMARK(BM_DetectorFrame)->ArgName("threads")->Arg(1)->Arg(2)->Iterations(100)->Unit(benchmark::kMicrosecond);

// Windows the selector commits on this audio (the embeddings one call computes).
int32_t committed_windows(const kx_orvel_t* r, const std::vector<int16_t>& pcm) {
    kx_orvel_window_selector* selector = nullptr;
    if (kx_orvel_window_selector_init(r->device, r->window_frames, r->lookahead_frames, r->voice_threshold,
                                      &selector) != KX_STATUS_SUCCESS)
        return -1;
    int32_t windows = 0, last = -1;
    for (size_t f = 0; f + KX_FRAME_SAMPLES <= pcm.size(); f += KX_FRAME_SAMPLES) {
        kx_orvel_window_selector_push(selector, pcm.data() + f, &last);
        windows += last >= 0;
    }
    kx_orvel_window_selector_flush(selector, &last);
    windows += last >= 0;
    kx_orvel_window_selector_delete(selector);
    return windows;
}

// One minute through kx_orvel_process on cpu:1 and cpu:2, alternating in one run.
// range(0): voice threshold in percent (0 embeds every window the selector offers).
void BM_ProcessMinute(benchmark::State& state) {
    const float threshold = static_cast<float>(state.range(0)) / 100.0f;
    Recognizer one("cpu:1", threshold), two("cpu:2", threshold);
    if (!one.object || !two.object) {
        state.SkipWithError("model did not load");
        return;
    }
    const std::vector<int16_t> pcm = speech_like(60 * kSampleRate, 5);
    std::vector<float> profile(static_cast<size_t>(one.object->network->embedding_size), 0.0f);
    profile[0] = 1.0f;
    const float* profiles[1] = {profile.data()};
    Minimum cpu1_thread, cpu1_wall, cpu2_wall;
    for (auto _ : state) {
        float* scores = nullptr;
        double w = wall_seconds(), t = thread_seconds();
        kx_orvel_process(one.object, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
        cpu1_thread.add(thread_seconds() - t);
        cpu1_wall.add(wall_seconds() - w);
        kx_orvel_scores_delete(scores);
        w = wall_seconds();
        kx_orvel_process(two.object, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
        cpu2_wall.add(wall_seconds() - w);
        kx_orvel_scores_delete(scores);
    }
    const int32_t windows = committed_windows(one.object, pcm);
    state.counters["windows"] = windows;
    state.counters["cpu1_ms"] = 1e3 * cpu1_thread.value;
    state.counters["cpu1_wall_ms"] = 1e3 * cpu1_wall.value;
    state.counters["cpu2_wall_ms"] = 1e3 * cpu2_wall.value;
    state.counters["rtf_cpu1"] = cpu1_thread.value / 60.0;
    state.counters["rtf_cpu2"] = cpu2_wall.value / 60.0;
    // Target: at least 1.6.
    state.counters["speedup_cpu2"] = cpu1_wall.value / cpu2_wall.value;
}
BENCHMARK(BM_ProcessMinute)->ArgName("threshold_pct")->Arg(0)->Arg(50)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// One core's int16 multiply-accumulate peak: independent vpmaddwd + vpaddd chains
// on 256-bit vectors (16 products each), the instruction pair the kernels use.
double int16_peak_macs_per_second() {
    constexpr int64_t kRounds = 4000000;
    double best = 1e30;
    for (int trial = 0; trial < 5; ++trial) {
        const double t = thread_seconds();
        // Eight independent products and sums per round (written out so that the
        // compiler cannot fold the constant operands).
        __asm__ volatile(
            "vpxor %%ymm0, %%ymm0, %%ymm0\n\t"
            "vpcmpeqw %%ymm14, %%ymm14, %%ymm14\n\t"
            "vpsrlw $14, %%ymm14, %%ymm15\n\t"
            "mov %0, %%rcx\n\t"
            "1:\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm6\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm7\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm8\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm9\n\t"
            "vpaddd %%ymm6, %%ymm0, %%ymm0\n\t"
            "vpaddd %%ymm7, %%ymm1, %%ymm1\n\t"
            "vpaddd %%ymm8, %%ymm2, %%ymm2\n\t"
            "vpaddd %%ymm9, %%ymm3, %%ymm3\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm10\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm11\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm12\n\t"
            "vpmaddwd %%ymm14, %%ymm15, %%ymm13\n\t"
            "vpaddd %%ymm10, %%ymm4, %%ymm4\n\t"
            "vpaddd %%ymm11, %%ymm5, %%ymm5\n\t"
            "vpaddd %%ymm12, %%ymm0, %%ymm0\n\t"
            "vpaddd %%ymm13, %%ymm1, %%ymm1\n\t"
            "dec %%rcx\n\t"
            "jnz 1b\n\t"
            "vzeroupper\n\t"
            :
            : "r"(kRounds)
            : "rcx", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
              "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "cc");
        best = std::min(best, thread_seconds() - t);
    }
    return static_cast<double>(kRounds) * 8 * 16 / best;
}

// Multiply-accumulates of one call: the recurrent products of every embedded window
// and the detector's products of every frame.
double call_macs(const kx_orvel_t* r, int32_t windows, int64_t frames) {
    const kx_network_t* net = r->network;
    const double steps = static_cast<double>(r->window_frames) * KX_FRAME_SAMPLES / r->frontend->hop_length;
    double per_window = 0;
    for (int32_t i = 0; i < net->layer_count; ++i) {
        const kx_lstm_layer_t& l = net->forward[i];
        per_window += 2.0 * steps * 3 * l.hidden_size * (l.hidden_size + l.input_size);
    }
    const double detector = 4.0 * 240 * 80 + 2 * 80;
    return per_window * windows + detector * static_cast<double>(frames);
}

// cpu:1 over a minute against the int16 peak, in one run. Target: rate/peak >= 0.35,
// detector <= 2.5 us per frame. Also the one to profile the whole call with
// (callgrind --toggle-collect=kx_orvel_process).
void BM_MacRate(benchmark::State& state) {
    Recognizer one("cpu:1", 0.0f);
    if (!one.object) {
        state.SkipWithError("model did not load");
        return;
    }
    const std::vector<int16_t> pcm = speech_like(60 * kSampleRate, 5);
    std::vector<float> profile(static_cast<size_t>(one.object->network->embedding_size), 0.0f);
    const float* profiles[1] = {profile.data()};
    Minimum call;
    for (auto _ : state) {
        float* scores = nullptr;
        const double t = thread_seconds();
        kx_orvel_process(one.object, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
        call.add(thread_seconds() - t);
        kx_orvel_scores_delete(scores);
    }
    const double peak = int16_peak_macs_per_second();
    const int64_t frames = static_cast<int64_t>(pcm.size() / KX_FRAME_SAMPLES);
    const double macs = call_macs(one.object, committed_windows(one.object, pcm), frames);
    state.counters["call_ms"] = 1e3 * call.value;
    state.counters["peak_gmacs"] = 1e-9 * peak;
    state.counters["call_gmacs"] = 1e-9 * macs / call.value;
    state.counters["rate/peak"] = macs / call.value / peak;
}
BENCHMARK(BM_MacRate)->Iterations(5)->Unit(benchmark::kMillisecond);

// Enrollment of a minute fed frame by frame: cost per frame (windows included) and
// allocations per frame once the first window has been embedded.
void BM_EnrollFrame(benchmark::State& state) {
    const std::string device = "cpu:" + std::to_string(state.range(0));
    kx_orvel_profiler_t* profiler = nullptr;
    if (kx_orvel_profiler_init(model_path().c_str(), device.c_str(), 1000, 0.0f, &profiler) != KX_STATUS_SUCCESS) {
        state.SkipWithError("profiler did not start");
        return;
    }
    const std::vector<int16_t> pcm = speech_like(60 * kSampleRate, 6);
    const size_t frames = pcm.size() / KX_FRAME_SAMPLES;
    Minimum per_frame, per_frame_wall;
    double allocations = 0;
    for (auto _ : state) {
        kx_orvel_profiler_reset(profiler);
        float percentage = 0;
        const size_t warm = 200;  // past the first window
        for (size_t f = 0; f < warm; ++f) kx_orvel_profiler_enroll(profiler, pcm.data() + f * KX_FRAME_SAMPLES, &percentage);
        kx_fault_fail_allocation(0);
        const double t = thread_seconds(), w = wall_seconds();
        for (size_t f = warm; f < frames; ++f)
            kx_orvel_profiler_enroll(profiler, pcm.data() + f * KX_FRAME_SAMPLES, &percentage);
        per_frame.add((thread_seconds() - t) / static_cast<double>(frames - warm));
        per_frame_wall.add((wall_seconds() - w) / static_cast<double>(frames - warm));
        allocations = static_cast<double>(kx_fault_allocation_count()) / static_cast<double>(frames - warm);
    }
    kx_orvel_profiler_delete(profiler);
    // The calling thread's time, and wall time (which a pool's workers would add to).
    state.counters["frame_us"] = 1e6 * per_frame.value;
    state.counters["frame_wall_us"] = 1e6 * per_frame_wall.value;
    state.counters["allocs/frame"] = allocations;
}
BENCHMARK(BM_EnrollFrame)->ArgName("threads")->Arg(1)->Arg(2)->Iterations(3)->Unit(benchmark::kMillisecond);

// Allocations of one detector step in steady state. Target: 0.
void BM_DetectorAllocations(benchmark::State& state) {
    kx_device_t* device = nullptr;
    kx_device_create_from_string("cpu:1", "cpu:1", &device);
    kx_vad_t* vad = nullptr;
    if (kx_vad_init(device, &vad) != KX_STATUS_SUCCESS) {
        state.SkipWithError("detector did not start");
        return;
    }
    const std::vector<int16_t> pcm = speech_like(16000, 4);
    int64_t frames = 0;
    kx_fault_fail_allocation(0);
    for (auto _ : state) {
        float voiced = 0;
        kx_vad_process(vad, pcm.data() + (frames++ % 30) * KX_FRAME_SAMPLES, &voiced);
    }
    state.counters["allocs/frame"] = static_cast<double>(kx_fault_allocation_count()) / static_cast<double>(frames);
    kx_vad_delete(vad);
}
BENCHMARK(BM_DetectorAllocations)->Iterations(1000);

// Two recognizers on cpu:1 each, scoring a minute on two threads at once, against one of them
// alone: separate objects share no lock, so on two free processors the ratio of the
// pair's wall time to one's stays near 1. range(0): voice threshold in percent (100
// embeds nothing, so the detector's per-frame calls are all there is).
void BM_TwoRecognizersTwoThreads(benchmark::State& state) {
    const float threshold = static_cast<float>(state.range(0)) / 100.0f;
    Recognizer first("cpu:1", threshold), second("cpu:1", threshold);
    if (!first.object || !second.object) {
        state.SkipWithError("model did not load");
        return;
    }
    const std::vector<int16_t> pcm = speech_like(60 * kSampleRate, 9);
    std::vector<float> profile(static_cast<size_t>(first.object->network->embedding_size), 0.0f);
    const float* profiles[1] = {profile.data()};
    auto score = [&](kx_orvel_t* object) {
        float* scores = nullptr;
        kx_orvel_process(object, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
        kx_orvel_scores_delete(scores);
    };
    Minimum alone, pair;
    for (auto _ : state) {
        double w = wall_seconds();
        score(first.object);
        alone.add(wall_seconds() - w);
        std::atomic<int> ready{0};
        std::thread other([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            score(second.object);
        });
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        w = wall_seconds();
        score(first.object);
        other.join();
        pair.add(wall_seconds() - w);
    }
    state.counters["one_ms"] = 1e3 * alone.value;
    state.counters["two_ms"] = 1e3 * pair.value;
    state.counters["two/one"] = pair.value / alone.value;
}
BENCHMARK(BM_TwoRecognizersTwoThreads)->ArgName("threshold_pct")->Arg(100)->Arg(50)->Iterations(20)->Unit(benchmark::kMillisecond);

// 10 s through kx_orvel_process on 1, 2, 8 and 64 threads (more than this machine's
// processors): wall time and its ratio to cpu:1. Target: no ratio far above 1.
void BM_TenSecondsThreads(benchmark::State& state) {
    const std::string device = "cpu:" + std::to_string(state.range(0));
    Recognizer one("cpu:1", 0.0f), many(device.c_str(), 0.0f);
    if (!one.object || !many.object) {
        state.SkipWithError("model did not load");
        return;
    }
    const std::vector<int16_t> pcm = speech_like(10 * kSampleRate, 7);
    std::vector<float> profile(static_cast<size_t>(one.object->network->embedding_size), 0.0f);
    const float* profiles[1] = {profile.data()};
    Minimum single, threaded;
    for (auto _ : state) {
        float* scores = nullptr;
        double w = wall_seconds();
        kx_orvel_process(one.object, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
        single.add(wall_seconds() - w);
        kx_orvel_scores_delete(scores);
        w = wall_seconds();
        kx_orvel_process(many.object, pcm.data(), static_cast<int32_t>(pcm.size()), profiles, 1, &scores);
        threaded.add(wall_seconds() - w);
        kx_orvel_scores_delete(scores);
    }
    state.counters["cpu1_ms"] = 1e3 * single.value;
    state.counters["cpuN_ms"] = 1e3 * threaded.value;
    state.counters["cpuN/cpu1"] = threaded.value / single.value;
}
BENCHMARK(BM_TenSecondsThreads)->ArgName("threads")->Arg(2)->Arg(8)->Arg(64)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
