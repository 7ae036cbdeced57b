// Front-end timings: one 512-point real FFT, the embedding features of one 1.5 s
// window (hop 160, 40 bands), and one voice-activity feature step (256 samples).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "frontend/fft.h"
#include "frontend/frontend.h"

namespace {

std::vector<int16_t> signal(size_t count) {
    std::vector<int16_t> pcm(count);
    uint32_t state = 12345;
    for (size_t n = 0; n < count; ++n) {
        state = state * 1664525u + 1013904223u;
        const double tone = std::sin(2.0 * 3.141592653589793 * 220.0 * n / 16000.0);
        pcm[n] = static_cast<int16_t>(8000.0 * tone + static_cast<double>(state >> 20) - 2048.0);
    }
    return pcm;
}

kx_orvel_frontend_t* typical_frontend() {
    FILE* file = std::tmpfile();
    if (!file) return nullptr;
    const int32_t sizes[3] = {512, 160, 40};
    const float floor = 1e-6f;
    std::fwrite(sizes, sizeof(int32_t), 3, file);
    std::fwrite(&floor, sizeof(float), 1, file);
    const std::vector<float> mean(40, -4.0f), deviation(40, 0.7f);
    std::fwrite(mean.data(), sizeof(float), 40, file);
    std::fwrite(deviation.data(), sizeof(float), 40, file);
    std::rewind(file);
    kx_orvel_frontend_t* frontend = nullptr;
    if (kx_orvel_frontend_read(file, &frontend) != KX_STATUS_SUCCESS) frontend = nullptr;
    std::fclose(file);
    return frontend;
}

void BM_Rfft512(benchmark::State& state) {
    kx_fft_context_t* context = nullptr;
    kx_fft_context_create(&context);
    std::vector<float> input(512), output(514);
    for (int n = 0; n < 512; ++n) input[n] = std::sin(0.1f * n) * 0.5f;
    for (auto _ : state) {
        kx_rfft512(context, input.data(), output.data());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    kx_fft_context_delete(context);
}
BENCHMARK(BM_Rfft512);

void BM_Rfft512Plain(benchmark::State& state) {
    std::vector<float> input(512), output(514);
    for (int n = 0; n < 512; ++n) input[n] = std::sin(0.1f * n) * 0.5f;
    for (auto _ : state) {
        kx_rfft512_plain(nullptr, input.data(), output.data());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Rfft512Plain);

void BM_EmbeddingFeatures1500ms(benchmark::State& state) {
    kx_orvel_frontend_t* frontend = typical_frontend();
    if (!frontend) {
        state.SkipWithError("front-end block not read");
        return;
    }
    const auto pcm = signal(24000);
    std::vector<float> out(150 * 40);
    for (auto _ : state) {
        kx_orvel_frontend_compute(frontend, out.data(), pcm.data(), 24000);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames"] = 150;
    kx_orvel_frontend_delete(frontend);
}
BENCHMARK(BM_EmbeddingFeatures1500ms)->Unit(benchmark::kMicrosecond);

void BM_VadFeatureStep(benchmark::State& state) {
    kx_vad_frontend_t* vad = nullptr;
    if (kx_vad_frontend_init(256, &vad) != KX_STATUS_SUCCESS) {
        state.SkipWithError("voice-activity state not created");
        return;
    }
    const auto pcm = signal(256 * 64);
    int16_t out[40];
    size_t hop = 0;
    for (auto _ : state) {
        kx_vad_frontend_process(vad, pcm.data() + 256 * hop, out);
        hop = (hop + 1) % 64;
        benchmark::DoNotOptimize(out);
    }
    kx_vad_frontend_delete(vad);
}
BENCHMARK(BM_VadFeatureStep);

}  // namespace
