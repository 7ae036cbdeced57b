// Model files: the fuzzed bytes as a ".kx" file for kx_orvel_init and
// kx_orvel_profiler_init, optionally with one allocation failing, and on success a
// short enrollment and recognition with the loaded network.
//
// Input: control byte, then the file. Control bits 0-6: number of the allocation
// that fails (0: none); bit 7: use the objects after loading.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/memory.h"
#include "engine/recognizer.h"
#include "fuzz_util.h"
#include "nn/network.h"

namespace {

// The file lives in memory; the library opens it by its /proc path.
std::string g_path;
int g_fd = -1;

void write_file(const uint8_t* data, size_t size) {
    if (g_fd < 0) {
        g_fd = memfd_create("kx_fuzz_model", 0);
        FUZZ_CHECK(g_fd >= 0);
        g_path = "/proc/self/fd/" + std::to_string(g_fd);
    }
    FUZZ_CHECK(ftruncate(g_fd, 0) == 0);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(g_fd, data + done, size - done, static_cast<off_t>(done));
        FUZZ_CHECK(n > 0);
        done += static_cast<size_t>(n);
    }
}

constexpr uint32_t kCodeTrace = 0x136;
constexpr uint32_t kOomCodes[] = {0xC8, 0x323, 0x324};

bool is_oom_code(uint32_t code) {
    for (uint32_t c : kOomCodes)
        if (code == c) return true;
    return false;
}

// Checks the error stack of a failed call: innermost cause first.
void check_failure(kx_status_t status, bool injected) {
    const std::vector<std::string> messages = fuzz_drain_error_stack();
    FUZZ_CHECK(!messages.empty());
    FUZZ_CHECK(fuzz_innermost_names_cause(messages));
    const uint32_t first = fuzz_message_code(messages[0]);
    if (status == KX_STATUS_OUT_OF_MEMORY) {
        FUZZ_CHECK(injected);
        FUZZ_CHECK(is_oom_code(first) || first == 0x12C || first == kCodeTrace);  // 300: no backend
    }
}

// Work of one window's embedding, to keep slow but valid models out of the loop.
double window_cost(const kx_orvel_t* recognizer) {
    const double frames = double(recognizer->window_frames) * 512 / recognizer->frontend->hop_length;
    double per_frame = 512.0 * 9;  // FFT and bands
    const kx_network_t* network = recognizer->network;
    for (int32_t i = 0; i < network->layer_count; ++i) {
        const double h = network->forward[i].hidden_size, in = network->forward[i].input_size;
        per_frame += 2 * 3 * h * (h + in);
    }
    return frames * per_frame + double(network->embedding_size) * network->pooled_size;
}

uint32_t g_rng;
int16_t noise() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 17;
    g_rng ^= g_rng << 5;
    return static_cast<int16_t>(g_rng);
}

// Enrolls until complete (or a frame budget), exports, then scores noise against it.
void exercise(kx_orvel_profiler_t* profiler, kx_orvel_t* recognizer, uint32_t seed) {
    g_rng = seed | 1;
    int32_t min_samples = 0;
    FUZZ_CHECK_OK(kx_orvel_process_min_audio_length_samples(recognizer, &min_samples));
    FUZZ_CHECK(min_samples > 0 && min_samples % 512 == 0);
    int32_t bytes = 0;
    FUZZ_CHECK_OK(kx_orvel_profiler_export_size(profiler, &bytes));
    FUZZ_CHECK(bytes >= 0 && bytes % 4 == 0);
    if (min_samples > 64 * 512 || window_cost(recognizer) > 2e7 || bytes > (1 << 20)) return;

    // A projection kind other than 0 and 1 loads but cannot embed.
    const int32_t kind = recognizer->network->projection_kind;
    if (kind != 0 && kind != 1) {
        std::vector<int16_t> audio(static_cast<size_t>(min_samples), 1000);
        const float* profiles[1] = {nullptr};
        std::vector<float> profile(static_cast<size_t>(bytes / 4) + 1, 0.0f);
        profiles[0] = profile.data();
        float* scores = nullptr;
        const kx_status_t status = kx_orvel_process(recognizer, audio.data(), min_samples, profiles, 1, &scores);
        FUZZ_CHECK(status == KX_STATUS_RUNTIME_ERROR || (status == KX_STATUS_SUCCESS && scores == nullptr));
        if (status != KX_STATUS_SUCCESS) check_failure(status, false);
        return;
    }

    std::vector<int16_t> audio(static_cast<size_t>(min_samples) + 3 * 512);
    for (int16_t& s : audio) s = noise();
    float percentage = -1;
    for (size_t f = 0; f + 512 <= audio.size(); f += 512) {
        FUZZ_CHECK_OK(kx_orvel_profiler_enroll(profiler, &audio[f], &percentage));
        FUZZ_CHECK(percentage >= 0.0f && percentage <= 100.0f);
    }
    FUZZ_CHECK_OK(kx_orvel_profiler_flush(profiler, &percentage));
    std::vector<float> profile(static_cast<size_t>(bytes / 4) + 1, 0.0f);  // a valid profile until exported
    const kx_status_t exported = kx_orvel_profiler_export(profiler, profile.data());
    FUZZ_CHECK(exported == (percentage >= 100.0f ? KX_STATUS_SUCCESS : KX_STATUS_INVALID_STATE));
    if (exported != KX_STATUS_SUCCESS) fuzz_drain_error_stack();
    for (size_t i = 0; i + 1 < profile.size(); ++i) FUZZ_CHECK(std::isfinite(profile[i]));

    const float* profiles[2] = {profile.data(), profile.data()};
    float* scores = nullptr;
    FUZZ_CHECK_OK(kx_orvel_process(recognizer, audio.data(), static_cast<int32_t>(audio.size()), profiles, 2, &scores));
    if (scores) {
        for (int i = 0; i < 2; ++i) FUZZ_CHECK(scores[i] >= 0.0f && scores[i] <= 1.0f);
        FUZZ_CHECK(scores[0] == scores[1]);
    }
    kx_orvel_scores_delete(scores);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kx_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 18)) return 0;  // the shipped model is 120 KB
    const uint8_t control = data[0];
    write_file(data + 1, size - 1);
    const int64_t fail_at = control & 0x7f;
    const bool use = (control & 0x80) != 0;

    fuzz_drain_error_stack();
    kx_orvel_t* recognizer = reinterpret_cast<kx_orvel_t*>(uintptr_t{0x10});
    kx_fault_fail_allocation(fail_at);
    const kx_status_t status = kx_orvel_init(g_path.c_str(), "cpu:1", 0.0f, &recognizer);
    bool injected = fail_at != 0 && kx_fault_allocation_count() >= fail_at;
    kx_fault_fail_allocation(0);
    FUZZ_CHECK(fuzz_valid_status(status));
    if (status != KX_STATUS_SUCCESS) {
        FUZZ_CHECK(recognizer == nullptr);
        check_failure(status, injected);
    } else {
        FUZZ_CHECK(recognizer != nullptr);
        FUZZ_CHECK(!injected);  // a failed allocation may not go unnoticed
        // A loaded model's window is bounded: no small file may ask for minutes of work.
        FUZZ_CHECK(int64_t{recognizer->window_frames} * 512 / recognizer->frontend->hop_length <= 8192);
    }

    // The profiler reads the same file: the same verdict unless an allocation failed.
    kx_orvel_profiler_t* profiler = reinterpret_cast<kx_orvel_profiler_t*>(uintptr_t{0x10});
    const int64_t profiler_fail_at = injected ? 0 : fail_at;
    kx_fault_fail_allocation(profiler_fail_at);
    const kx_status_t profiler_status = kx_orvel_profiler_init(g_path.c_str(), "cpu:1", 2, 0.0f, &profiler);
    const bool profiler_injected = profiler_fail_at != 0 && kx_fault_allocation_count() >= profiler_fail_at;
    kx_fault_fail_allocation(0);
    FUZZ_CHECK(fuzz_valid_status(profiler_status));
    if (profiler_status != KX_STATUS_SUCCESS) {
        FUZZ_CHECK(profiler == nullptr);
        check_failure(profiler_status, profiler_injected);
    } else {
        FUZZ_CHECK(profiler != nullptr);
        FUZZ_CHECK(!profiler_injected);
    }
    if (!injected && !profiler_injected) FUZZ_CHECK(status == profiler_status);

    if (use && status == KX_STATUS_SUCCESS && profiler_status == KX_STATUS_SUCCESS) {
        uint32_t seed = 0;
        for (size_t i = 0; i < size && i < 64; ++i) seed = seed * 31 + data[i];
        exercise(profiler, recognizer, seed);
    }
    if (status == KX_STATUS_SUCCESS) kx_orvel_delete(recognizer);
    if (profiler_status == KX_STATUS_SUCCESS) kx_orvel_profiler_delete(profiler);
    fuzz_drain_error_stack();
    return 0;
}
