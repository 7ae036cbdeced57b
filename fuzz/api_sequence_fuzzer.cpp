// The public engine calls in fuzzed order on small valid models: enroll (fuzzed and
// synthetic audio), flush, reset, export, process, misuse, and allocation failures
// armed for single calls. The sequence runs twice, on the chosen device and on a
// one-thread device with portable kernels ("best" on both); both runs must agree.
//
// Input: model/device byte, threshold byte, chunks byte, then operations.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory.h"
#include "device/cpu.h"
#include "fuzz_util.h"
#include "support/audio.h"
#include "support/model_writer.h"

namespace {

constexpr int kModels = 4;  // three small ones and the shipped model
std::string g_models[kModels];
constexpr const char* kDevices[] = {"cpu:1", "cpu:2", "best", "cpu"};
constexpr float kThresholds[] = {0.0f, 0.25f, 0.5f, 0.75f, 1.0f};
constexpr int kMaxFrames = 240;  // audio frames per run, to keep inputs quick
constexpr int kMaxOps = 160;

void write_models() {
    kxtest::ModelShape a;  // 2-frame windows, 8 bands, one layer of 6, projection to 5
    kxtest::ModelShape b;
    b.lookahead_frames = 2;
    b.projection_kind = 0;
    kxtest::ModelShape c;
    c.window_frames = 3;
    c.lookahead_frames = 1;
    c.hop_length = 160;
    c.num_bands = 12;
    c.hidden_sizes = {8, 4};
    c.embedding_size = 6;
    const kxtest::ModelShape shapes[] = {a, b, c};
    g_models[3] = KX_SOURCE_DIR "/models/default.kx";
    if (FILE* f = std::fopen(g_models[3].c_str(), "rb")) {
        std::fclose(f);
    } else {
        g_models[3].clear();  // a checkout without it uses the first model twice
    }
    for (int i = 0; i < 3; ++i) {
        g_models[i] = kxtest::temp_path("fuzz_api_model" + std::to_string(i));
        FUZZ_CHECK(kxtest::write_bytes(g_models[i], kxtest::serialize_model(kxtest::make_random_model(shapes[i], 11 + i))));
    }
}

// What one run observed; the two runs are compared entry by entry.
struct Trace {
    std::vector<int32_t> events;  // statuses, percentages (x1000), sizes
    std::vector<float> values;    // profiles and scores
    // Per armed call: whether its failure fired, and the trace sizes before it. Devices
    // may allocate differently (a pool reserves scratch for each thread), so the runs
    // are compared only up to the first armed call that failed in one run alone.
    struct Armed {
        bool fired;
        size_t events, values;
    };
    std::vector<Armed> armed;
};

struct Run {
    const uint8_t* data;
    size_t size;
    const char* device;
    bool portable;
    Trace trace;
};

int16_t clip(double v) { return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : std::lround(v))); }

// One 512-sample frame of the kind the input asks for.
void make_frame(FuzzReader& in, uint32_t counter, int16_t* frame) {
    const uint8_t kind = in.u8();
    const uint8_t param = in.u8();
    switch (kind % 9) {
    case 0:  // digital silence
        std::memset(frame, 0, 512 * 2);
        break;
    case 1: {  // speech-like noise
        const std::vector<int16_t> audio = kxtest::make_test_audio(512, counter * 7919u + param, 500 + 120 * param);
        std::memcpy(frame, audio.data(), 512 * 2);
        break;
    }
    case 2:  // full-scale square wave
        for (int i = 0; i < 512; ++i) frame[i] = ((i / (1 + param % 64)) & 1) ? 32767 : -32768;
        break;
    case 3: {  // DC offset with a little noise
        const int16_t dc = static_cast<int16_t>(param * 256 - 32768);
        const std::vector<int16_t> audio = kxtest::make_test_audio(512, counter, 200);
        for (int i = 0; i < 512; ++i) frame[i] = clip(double(dc) + audio[i]);
        break;
    }
    case 4: {  // the fuzzer's own bytes
        const std::vector<uint8_t> raw = in.bytes(1024);
        std::memset(frame, 0, 512 * 2);
        if (!raw.empty()) std::memcpy(frame, raw.data(), raw.size());
        break;
    }
    case 5:  // a single non-zero sample
        std::memset(frame, 0, 512 * 2);
        frame[param * 2] = static_cast<int16_t>(param & 1 ? 32767 : -32768);
        break;
    case 6:  // clipped sine
        for (int i = 0; i < 512; ++i)
            frame[i] = clip(60000.0 * std::sin(2 * M_PI * (counter * 512 + i) * (50 + 30 * param) / 16000.0));
        break;
    case 7:  // alternating extremes
        for (int i = 0; i < 512; ++i) frame[i] = (i & 1) ? 32767 : -32768;
        break;
    default: {  // loud noise
        const std::vector<int16_t> audio = kxtest::make_test_audio(512, counter + param * 65536u, 32767);
        std::memcpy(frame, audio.data(), 512 * 2);
        break;
    }
    }
}

// 200, 803, 804; 300 for a backend that could not be made; a status-name trace.
bool is_oom_code(uint32_t code) { return code == 0xC8 || code == 0x323 || code == 0x324 || code == 0x12C || code == 0x136; }

void run_sequence(Run& run) {
    FuzzReader in(run.data, run.size);
    const uint8_t setup = in.u8();
    const std::string& model = g_models[setup % kModels].empty() ? g_models[0] : g_models[setup % kModels];
    const float threshold = kThresholds[in.u8() % 5];
    const int32_t min_chunks = 1 + in.u8() % 4;
    Trace& trace = run.trace;
    auto event = [&](int32_t v) { trace.events.push_back(v); };

    if (run.portable) kx_cpu_set_feature_mask(0);
    kx_orvel_profiler_t* profiler = nullptr;
    kx_orvel_t* recognizer = nullptr;
    fuzz_drain_error_stack();
    FUZZ_CHECK_OK(kx_orvel_profiler_init(model.c_str(), run.device, min_chunks, threshold, &profiler));
    FUZZ_CHECK_OK(kx_orvel_init(model.c_str(), run.device, threshold, &recognizer));
    kx_cpu_set_feature_mask(~0u);

    int32_t window_samples = 0, profile_bytes = 0;
    FUZZ_CHECK_OK(kx_orvel_process_min_audio_length_samples(recognizer, &window_samples));
    FUZZ_CHECK_OK(kx_orvel_profiler_export_size(profiler, &profile_bytes));
    FUZZ_CHECK(window_samples > 0 && profile_bytes > 0 && profile_bytes % 4 == 0);
    const size_t dims = static_cast<size_t>(profile_bytes) / 4;

    std::vector<int16_t> audio;  // everything enrolled since the start
    std::vector<float> profile(dims, 0.0f);
    bool have_profile = false;
    float last_percentage = 0.0f;
    bool uncertain = false;  // a call failed inside: the progress model no longer holds
    int64_t fail_at = 0;     // armed for the next call only
    int frames = 0;
    uint32_t counter = 0;

    // Status checks shared by every call; returns the status.
    auto checked = [&](kx_status_t status) {
        const bool injected = fail_at != 0 && kx_fault_allocation_count() >= fail_at;
        if (fail_at != 0) trace.armed.push_back({injected, trace.events.size(), trace.values.size()});
        kx_fault_fail_allocation(0);
        fail_at = 0;
        FUZZ_CHECK(fuzz_valid_status(status));
        if (status == KX_STATUS_OUT_OF_MEMORY) FUZZ_CHECK(injected);
        // "best" falls back to another CPU device when the first cannot be made.
        const bool fallback = std::strcmp(run.device, "best") == 0 && status == KX_STATUS_SUCCESS;
        if (injected && !fallback) FUZZ_CHECK(status == KX_STATUS_OUT_OF_MEMORY);
        if (status != KX_STATUS_SUCCESS && status != KX_STATUS_INVALID_STATE) uncertain = uncertain || injected;
        if (status != KX_STATUS_SUCCESS) {
            const std::vector<std::string> messages = fuzz_drain_error_stack();
            FUZZ_CHECK(!messages.empty());
            const uint32_t first = fuzz_message_code(messages[0]);
            const bool named = fuzz_innermost_names_cause(messages);
            if (!named || (status == KX_STATUS_OUT_OF_MEMORY && !is_oom_code(first))) {
                std::fprintf(stderr, "status %d, messages:\n", status);
                for (const std::string& m : messages) std::fprintf(stderr, "  %s\n", m.c_str());
            }
            FUZZ_CHECK(named);  // innermost cause first
            if (status == KX_STATUS_OUT_OF_MEMORY) FUZZ_CHECK(is_oom_code(first));
        }
        event(status);
        return status;
    };
    auto progress = [&](float percentage) {
        FUZZ_CHECK(percentage >= 0.0f && percentage <= 100.0f);
        // A whole number of windows out of min_chunks.
        const float windows = percentage * static_cast<float>(min_chunks) / 100.0f;
        FUZZ_CHECK(std::fabs(windows - std::round(windows)) < 1e-3f);
        if (!uncertain) FUZZ_CHECK(percentage >= last_percentage);
        last_percentage = percentage;
        event(static_cast<int32_t>(std::lround(percentage * 1000)));
    };
    auto enroll = [&](const int16_t* frame) {
        audio.insert(audio.end(), frame, frame + 512);
        ++frames;
        float percentage = -1.0f;
        if (checked(kx_orvel_profiler_enroll(profiler, frame, &percentage)) == KX_STATUS_SUCCESS)
            progress(percentage);
        else
            FUZZ_CHECK(percentage == 0.0f);
    };
    auto process = [&](const int16_t* pcm, int32_t samples, int32_t speakers, const float* const* profiles,
                       std::vector<float>* out) {
        float* scores = reinterpret_cast<float*>(uintptr_t{0x10});
        const kx_status_t status = checked(kx_orvel_process(recognizer, pcm, samples, profiles, speakers, &scores));
        out->clear();
        if (status != KX_STATUS_SUCCESS) {
            FUZZ_CHECK(scores == nullptr);
            return status;
        }
        if (scores) {
            for (int32_t i = 0; i < speakers; ++i) {
                FUZZ_CHECK(std::isfinite(scores[i]) && scores[i] >= 0.0f && scores[i] <= 1.0f);
                out->push_back(scores[i]);
            }
        }
        event(scores ? 1 : 0);
        kx_orvel_scores_delete(scores);
        return status;
    };

    for (int op = 0; op < kMaxOps && !in.empty() && frames < kMaxFrames; ++op) {
        const uint8_t code = in.u8();
        switch (code % 12) {
        case 0: {  // one frame
            int16_t frame[512];
            make_frame(in, counter++, frame);
            enroll(frame);
            break;
        }
        case 1: {  // several frames of speech-like noise
            const int n = 1 + in.u8() % 16;
            const std::vector<int16_t> noise = kxtest::make_test_audio(512 * n, 1000 + counter++, 9000);
            for (int f = 0; f < n; ++f) enroll(&noise[512 * f]);
            break;
        }
        case 2: {
            float percentage = -1.0f;
            if (checked(kx_orvel_profiler_flush(profiler, &percentage)) == KX_STATUS_SUCCESS) progress(percentage);
            break;
        }
        case 3:
            if (checked(kx_orvel_profiler_reset(profiler)) == KX_STATUS_SUCCESS) {
                last_percentage = 0.0f;
                uncertain = false;
            }
            break;
        case 4: {
            int32_t bytes = 0;
            FUZZ_CHECK(checked(kx_orvel_profiler_export_size(profiler, &bytes)) == KX_STATUS_SUCCESS);
            FUZZ_CHECK(bytes == profile_bytes);
            std::vector<float> first(dims, -7.0f), second(dims, -7.0f);
            const kx_status_t status = checked(kx_orvel_profiler_export(profiler, first.data()));
            if (!uncertain) FUZZ_CHECK((status == KX_STATUS_SUCCESS) == (last_percentage >= 100.0f));
            if (status != KX_STATUS_SUCCESS) {
                for (float v : first) FUZZ_CHECK(v == -7.0f);  // untouched
                break;
            }
            FUZZ_CHECK(checked(kx_orvel_profiler_export(profiler, second.data())) == KX_STATUS_SUCCESS);
            FUZZ_CHECK(std::memcmp(first.data(), second.data(), profile_bytes) == 0);
            double norm = 0;
            for (float v : first) {
                FUZZ_CHECK(std::isfinite(v));
                norm += double(v) * v;
            }
            FUZZ_CHECK(norm <= 1.0 + 1e-3);
            profile = first;
            have_profile = true;
            trace.values.insert(trace.values.end(), first.begin(), first.end());
            break;
        }
        case 5: {  // recognition over recent audio, with a tail that must not matter
            const int32_t extra_frames = in.u8() % 8;
            const int32_t tail = in.u8() % 3 == 0 ? in.u8() * 2 % 512 : 0;
            const int32_t speakers = 1 + in.u8() % 3;
            const int32_t samples = window_samples + 512 * extra_frames;
            std::vector<int16_t> pcm(static_cast<size_t>(samples) + tail);
            const size_t have = audio.size() < pcm.size() ? audio.size() : pcm.size();
            if (have) std::memcpy(pcm.data(), audio.data() + (audio.size() - have), have * 2);
            if (have < pcm.size()) {
                const std::vector<int16_t> filler = kxtest::make_test_audio(pcm.size() - have, counter++, 9000);
                std::memcpy(pcm.data() + have, filler.data(), filler.size() * 2);
            }
            std::vector<float> other(dims);
            for (size_t i = 0; i < dims; ++i) other[i] = (i % 2 ? -1.0f : 1.0f) / std::sqrt(float(dims));
            const std::vector<float> zero(dims, 0.0f);
            const float* profiles[3] = {have_profile ? profile.data() : zero.data(), other.data(), zero.data()};
            std::vector<float> scores, again;
            const kx_status_t status = process(pcm.data(), samples + tail, speakers, profiles, &scores);
            trace.values.insert(trace.values.end(), scores.begin(), scores.end());
            if (status == KX_STATUS_SUCCESS && tail > 0) {
                // Samples after the last whole frame change nothing, and nothing is carried over.
                FUZZ_CHECK(process(pcm.data(), samples, speakers, profiles, &again) == KX_STATUS_SUCCESS);
                FUZZ_CHECK(again == scores);
            }
            break;
        }
        case 6: {
            int32_t samples = 0;
            FUZZ_CHECK(checked(kx_orvel_process_min_audio_length_samples(recognizer, &samples)) == KX_STATUS_SUCCESS);
            FUZZ_CHECK(samples == window_samples);
            break;
        }
        case 7:  // the next call fails at its nth allocation
            fail_at = 1 + in.u8() % 48;
            kx_fault_fail_allocation(fail_at);
            break;
        case 8:
            fuzz_drain_error_stack();
            break;
        case 9: {  // misuse: refused before anything changes
            const uint8_t which = in.u8() % 6;
            float percentage = -1.0f;
            float* scores = nullptr;
            const int16_t silence[512] = {};
            const float* profiles[1] = {profile.data()};
            kx_status_t status = KX_STATUS_SUCCESS;
            switch (which) {
            case 0: status = kx_orvel_profiler_enroll(profiler, nullptr, &percentage); break;
            case 1: status = kx_orvel_profiler_enroll(profiler, silence, nullptr); break;
            case 2: status = kx_orvel_process(recognizer, silence, window_samples - 1, profiles, 1, &scores); break;
            case 3: status = kx_orvel_process(recognizer, silence, window_samples, profiles, 0, &scores); break;
            case 4: status = kx_orvel_process(recognizer, silence, window_samples, nullptr, 1, &scores); break;
            default: status = kx_orvel_profiler_export(profiler, nullptr); break;
            }
            FUZZ_CHECK(checked(status) == KX_STATUS_INVALID_ARGUMENT);
            FUZZ_CHECK(scores == nullptr);
            break;
        }
        case 10: {  // a new profiler from scratch
            kx_orvel_profiler_delete(profiler);
            profiler = nullptr;
            if (run.portable) kx_cpu_set_feature_mask(0);
            const kx_status_t status =
                checked(kx_orvel_profiler_init(model.c_str(), run.device, min_chunks, threshold, &profiler));
            kx_cpu_set_feature_mask(~0u);
            if (status != KX_STATUS_SUCCESS) {
                FUZZ_CHECK(profiler == nullptr);
                FUZZ_CHECK(kx_orvel_profiler_init(model.c_str(), run.device, min_chunks, threshold, &profiler) ==
                           KX_STATUS_SUCCESS);
            }
            last_percentage = 0.0f;
            uncertain = false;
            audio.clear();
            break;
        }
        default: {  // a burst of one frame kind
            const int n = 1 + in.u8() % 8;
            int16_t frame[512];
            const size_t mark = run.size - in.remaining();
            for (int f = 0; f < n; ++f) {
                FuzzReader again(run.data + mark, run.size - mark);
                make_frame(again, counter++, frame);
                enroll(frame);
            }
            make_frame(in, counter, frame);  // consume the frame description once
            break;
        }
        }
    }
    kx_fault_fail_allocation(0);
    kx_orvel_profiler_delete(profiler);
    kx_orvel_delete(recognizer);
    fuzz_drain_error_stack();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kx_log_disable();
    write_models();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 8192) return 0;
    const char* device = kDevices[(data[0] / kModels) % 4];
    Run chosen{data, size, device, false, {}};
    // "best" keeps its fallback in both runs, so that failed allocations meet the same.
    Run portable{data, size, std::strcmp(device, "best") == 0 ? "best" : "cpu:1", true, {}};
    run_sequence(chosen);
    run_sequence(portable);
    // Same statuses and progress everywhere; floats up to the projection's summation order.
    const Trace& a = chosen.trace;
    const Trace& b = portable.trace;
    size_t i = 0;
    while (i < a.armed.size() && i < b.armed.size() && a.armed[i].fired == b.armed[i].fired) ++i;
    size_t events = a.events.size(), values = a.values.size();
    if (i < a.armed.size() && i < b.armed.size()) {  // alike only up to there
        events = a.armed[i].events;
        values = a.armed[i].values;
        FUZZ_CHECK(events == b.armed[i].events && values == b.armed[i].values);
    } else {
        FUZZ_CHECK(events == b.events.size() && values == b.values.size());
    }
    FUZZ_CHECK(std::equal(a.events.begin(), a.events.begin() + events, b.events.begin()));
    for (size_t v = 0; v < values; ++v) FUZZ_CHECK(std::fabs(a.values[v] - b.values[v]) <= 1e-4f);
    return 0;
}
