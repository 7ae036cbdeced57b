// Soak: enrolls and recognises a long stretch of audio in a loop, creating and
// deleting objects as an application would, and reports whether resident memory
// stays flat. Usage: kx_soak [minutes of audio, default 60] [device, default cpu:1]
//                            [model file, default the shipped model; "synthetic" for a
//                             generated one of a similar size]
//
// Prints one line per simulated minute: audio minutes done, wall seconds, resident
// kilobytes. Exit status 1 when resident memory grew by more than 1 MiB after the
// first simulated minute (the warm-up that fills caches and the error stack).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kx_orvel.h"
#include "support/audio.h"
#include "support/model_writer.h"

namespace {

constexpr int32_t kSampleRate = 16000;
constexpr int32_t kFrame = 512;

long resident_kib() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long pages = 0, resident = 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool check(kx_status_t status, const char* what) {
    if (status == KX_STATUS_SUCCESS) return true;
    std::fprintf(stderr, "%s failed: %s\n", what, kx_status_to_string(status));
    char** stack = nullptr;
    int32_t depth = 0;
    if (kx_get_error_stack(&stack, &depth) == KX_STATUS_SUCCESS) {
        for (int32_t i = 0; i < depth; ++i) std::fprintf(stderr, "  %s\n", stack[i]);
        kx_free_error_stack(stack);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 60.0;
    const char* device = argc > 2 ? argv[2] : "cpu:1";
    kx_log_disable();

    std::string model_path = argc > 3 ? argv[3] : KX_SOURCE_DIR "/models/default.kx";
    // A generated model of a similar size when there is no file: 1-second windows of 40
    // bands, two layers of 48.
    std::unique_ptr<kxtest::TempFile> generated;
    FILE* probe = model_path == "synthetic" ? nullptr : std::fopen(model_path.c_str(), "rb");
    if (probe) {
        std::fclose(probe);
    } else {
        kxtest::ModelShape shape;
        shape.window_frames = 31;
        shape.lookahead_frames = 8;
        shape.hop_length = 160;
        shape.num_bands = 40;
        shape.hidden_sizes = {48, 48};
        shape.embedding_size = 32;
        kxtest::ModelParams params = kxtest::make_random_model(shape, 3);
        params.score_thresholds[0] = -1.0f;
        params.score_thresholds[1] = 0.0f;
        params.score_thresholds[2] = 1.0f;
        generated = std::make_unique<kxtest::TempFile>(params, "soak");
        model_path = generated->path();
    }
    const char* model = model_path.c_str();

    // One minute of audio, reused with a different seed per speaker turn.
    const size_t minute = static_cast<size_t>(kSampleRate) * 60;
    const size_t utterance = 4 * kSampleRate;  // recognised in 4-second pieces
    const long target = std::lround(minutes * 60 * kSampleRate);

    std::printf("soak: %.1f minutes of audio on %s with %s\n", minutes, device, model);
    std::printf("%8s %10s %12s\n", "minutes", "seconds", "rss_kib");
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    long baseline = -1, peak = 0;
    int turn = 0;
    bool ok = true;
    long profiles_made = 0, scored = 0, no_speech = 0;
    while (done < target && ok) {
        // Each simulated minute: a new profiler enrolls one speaker from the minute's
        // audio and a new recognizer scores every 4-second piece against the profile.
        const std::vector<int16_t> audio = kxtest::make_test_audio(minute, 1000 + turn++ % 7, 9000);
        kx_orvel_profiler_t* profiler = nullptr;
        kx_orvel_t* recognizer = nullptr;
        ok = check(kx_orvel_profiler_init(model, device, 4, 0.0f, &profiler), "profiler_init") &&
             check(kx_orvel_init(model, device, 0.0f, &recognizer), "init");
        std::vector<float> profile;
        float percentage = 0.0f;
        for (size_t f = 0; ok && f + kFrame <= audio.size() / 2; f += kFrame)
            ok = check(kx_orvel_profiler_enroll(profiler, &audio[f], &percentage), "enroll");
        int32_t bytes = 0;
        if (ok) ok = check(kx_orvel_profiler_flush(profiler, &percentage), "flush") &&
                     check(kx_orvel_profiler_export_size(profiler, &bytes), "export_size");
        if (ok) {
            profile.assign(static_cast<size_t>(bytes) / 4, 0.0f);
            ok = check(kx_orvel_profiler_export(profiler, profile.data()), "export");
            ++profiles_made;
        }
        if (ok) ok = check(kx_orvel_profiler_reset(profiler), "reset");
        const float* profiles[1] = {profile.data()};
        for (size_t s = audio.size() / 2; ok && s + utterance <= audio.size(); s += utterance) {
            float* scores = nullptr;
            ok = check(kx_orvel_process(recognizer, &audio[s], static_cast<int32_t>(utterance), profiles, 1, &scores),
                       "process");
            if (scores && !(scores[0] >= 0.0f && scores[0] <= 1.0f)) {
                std::fprintf(stderr, "score out of range: %f\n", static_cast<double>(scores[0]));
                ok = false;
            }
            ++(scores ? scored : no_speech);
            kx_orvel_scores_delete(scores);
        }
        kx_orvel_profiler_delete(profiler);
        kx_orvel_delete(recognizer);
        done += static_cast<long>(minute);

        const long rss = resident_kib();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (baseline < 0) baseline = rss;
        if (rss > peak) peak = rss;
        std::printf("%8.1f %10.1f %12ld\n", done / double(minute), seconds, rss);
        std::fflush(stdout);
    }
    if (!ok) return 2;
    std::printf("%ld profiles enrolled, %ld utterances scored, %ld without speech\n", profiles_made, scored, no_speech);
    const long growth = peak - baseline;
    std::printf("resident memory after the first minute %ld KiB, peak %ld KiB, growth %ld KiB: %s\n", baseline, peak,
                growth, growth <= 1024 ? "flat" : "GROWING");
    return growth <= 1024 ? 0 : 1;
}
