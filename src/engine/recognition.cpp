// Scoring one utterance against speaker profiles.
//
// The detector runs frame by frame while the windows it chooses are embedded, on
// the device's pool threads where it has some: every window's unit embedding goes
// to a slot of its own and the slots are added in window order at the end, so the
// sum is the same on any number of threads.
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/error.h"
#include "base/memory.h"
#include "engine/embedding.h"
#include "engine/recognizer.h"
#include "frontend/window_selector.h"

namespace {

// Per-call state, released on every way out.
struct Call {
    kx_orvel_window_selector* selector;
    float* accumulator;
    void* windows;  // the window table and the embedding slots, one host allocation
    ~Call() {
        kx_host_free(windows);
        kx_host_free(accumulator);
        kx_orvel_window_selector_delete(selector);
    }
};

struct Window {
    int32_t first_frame;
    int32_t chosen_at;  // the frame whose push chose it
    int32_t added;
};

// Waits that outlast this many checks block, so that waiting threads leave the
// processors to the threads with work.
constexpr int kSpinChecks = 200;

// Failures are ordered as a run on one thread meets them: the push of frame f has
// order 2f, the embedding of the window that push chose 2f + 1; the flush counts as
// the push of frame `frames`. The call reports the failure of lowest order.
struct Pipeline {
    const kx_orvel_t* recognizer;
    const int16_t* pcm;
    int32_t frames;
    kx_orvel_window_selector* selector;
    Window* windows;
    float* units;        // per window: embedding_size floats, zeroed
    int32_t capacity;

    std::atomic<bool> producer_taken{false};
    std::atomic<int32_t> published{0};
    std::atomic<bool> finished{false};  // no window will be published any more
    std::atomic<int32_t> next{0};
    std::atomic<int64_t> failed_order{INT64_MAX};
    std::atomic<int32_t> sleepers{0};
    std::mutex lock;
    std::condition_variable wake;
    kx_status_t status = KX_STATUS_SUCCESS;  // of the failure of lowest order, under lock
    kx_error_messages_t messages{};          // its messages, under lock

    void wake_all() {
        if (sleepers.load() == 0) return;
        std::lock_guard<std::mutex> guard(lock);
        wake.notify_all();
    }

    void fail(int64_t order, kx_status_t failure) {
        kx_error_messages_t taken;
        kx_error_take(&taken);
        {
            std::lock_guard<std::mutex> guard(lock);
            if (order < failed_order.load()) {
                failed_order.store(order);
                status = failure;
                messages = taken;
            }
        }
        wake_all();
    }

    kx_status_t publish(int32_t last_frame, int32_t chosen_by) {
        const int32_t n = published.load(std::memory_order_relaxed);
        // Chosen windows never overlap, so the table has room for all of them.
        if (n >= capacity) return KX_STATUS_RUNTIME_ERROR;
        windows[n].first_frame = last_frame - recognizer->window_frames + 1;
        windows[n].chosen_at = chosen_by;
        published.store(n + 1);
        if (sleepers.load() > 0) {
            std::lock_guard<std::mutex> guard(lock);
            wake.notify_one();
        }
        return KX_STATUS_SUCCESS;
    }

    // The selector over every frame, then its flush.
    void produce() {
        int32_t last_frame = -1;
        for (int32_t f = 0; f <= frames && failed_order.load() == INT64_MAX; ++f) {
            kx_status_t status_f = f < frames ? kx_orvel_window_selector_push(
                                                    selector, pcm + static_cast<int64_t>(f) * KX_FRAME_SAMPLES,
                                                    &last_frame)
                                              : kx_orvel_window_selector_flush(selector, &last_frame);
            if (status_f != KX_STATUS_SUCCESS) {
                kx_error_trace("8fede03");
                fail(2 * int64_t{f}, status_f);
                break;
            }
            if (last_frame >= 0 && (status_f = publish(last_frame, f)) != KX_STATUS_SUCCESS) {
                fail(2 * int64_t{f}, status_f);
                break;
            }
        }
        finished.store(true);
        wake_all();
    }

    void embed(int32_t i) {
        const int64_t order = 2 * int64_t{windows[i].chosen_at} + 1;
        if (order > failed_order.load()) return;  // the call has failed before this window
        const int32_t size = recognizer->network->embedding_size;
        const int16_t* start = pcm + static_cast<int64_t>(windows[i].first_frame) * KX_FRAME_SAMPLES;
        const kx_status_t status_i =
            kx_embedding_extract(recognizer, start, units + static_cast<int64_t>(i) * size, &windows[i].added);
        if (status_i != KX_STATUS_SUCCESS) {
            kx_error_trace("316ae06");
            fail(order, status_i);
        }
    }

    // True when window *i is claimed; false when none will come any more.
    bool claim(int32_t* i) {
        for (int check = 0;; ++check) {
            const bool done = finished.load();
            int32_t n = next.load();
            if (n < published.load()) {
                if (next.compare_exchange_weak(n, n + 1)) {
                    *i = n;
                    return true;
                }
                continue;
            }
            if (done) return false;
            if (check < kSpinChecks) continue;
            sleepers.fetch_add(1);
            {
                std::unique_lock<std::mutex> guard(lock);
                wake.wait(guard, [&] { return finished.load() || next.load() < published.load(); });
            }
            sleepers.fetch_sub(1);
        }
    }

    void consume() {
        for (int32_t i; claim(&i);) embed(i);
    }
};

// A profile is the mean of unit-length embeddings: finite, and no longer than 1 beyond
// float32 rounding. An edited one (scaled up, or holding NaN) would score outside [0, 1]
// or accept every speaker.
constexpr double kMaxProfileLength = 1.001;

bool profile_valid(const float* profile, int32_t size, int32_t index) {
    double squares = 0.0;
    for (int32_t j = 0; j < size; ++j) {
        if (!std::isfinite(profile[j])) {
            kx_error_push(&KX_ERR_ARG_PROFILE_VALUE, index, j, static_cast<double>(profile[j]));
            return false;
        }
        squares += double{profile[j]} * profile[j];
    }
    const double length = std::sqrt(squares);
    if (length > kMaxProfileLength) {
        kx_error_push(&KX_ERR_ARG_PROFILE_LENGTH, index, length, kMaxProfileLength);
        return false;
    }
    return true;
}

// One item per thread: the first to start runs the selector, then all embed.
void pipeline_item(void* arg, uint64_t) {
    auto* p = static_cast<Pipeline*>(arg);
    if (!p->producer_taken.exchange(true)) p->produce();
    p->consume();
}

}  // namespace

extern "C" {

KX_API kx_status_t kx_orvel_process(kx_orvel_t* object, const int16_t* pcm, int32_t num_samples,
                                    const float* const* speaker_profiles, int32_t num_speakers, float** scores) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(pcm, "pcm")) return KX_STATUS_INVALID_ARGUMENT;
    const int32_t min_samples = object->window_frames * KX_FRAME_SAMPLES;
    if (!kx_check_at_least(num_samples, min_samples, "num_samples") ||
        !kx_check_not_null(speaker_profiles, "speaker_profiles") || !kx_check_at_least(num_speakers, 1, "num_speakers"))
        return KX_STATUS_INVALID_ARGUMENT;
    // A missing profile would be read through a null pointer.
    for (int32_t i = 0; i < num_speakers; ++i) {
        if (!speaker_profiles[i]) {
            char name[40];
            std::snprintf(name, sizeof(name), "speaker_profiles[%d]", i);
            kx_error_push(&KX_ERR_ARG_NULL, name);
            return KX_STATUS_INVALID_ARGUMENT;
        }
        if (!profile_valid(speaker_profiles[i], object->network->embedding_size, i)) return KX_STATUS_INVALID_ARGUMENT;
    }
    if (!kx_check_not_null(scores, "scores")) return KX_STATUS_INVALID_ARGUMENT;
    *scores = nullptr;

    Call call{nullptr, nullptr, nullptr};
    kx_status_t status = kx_orvel_window_selector_init(object->device, object->window_frames,
                                                       object->lookahead_frames, object->voice_threshold,
                                                       &call.selector);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("f44583b");
        return status;
    }
    const int32_t size = object->network->embedding_size;
    const uint32_t bytes = 4u * static_cast<uint32_t>(size);
    call.accumulator = static_cast<float*>(kx_host_malloc(bytes));
    if (!call.accumulator) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(call.accumulator, 0, bytes);

    const int32_t frames = num_samples / KX_FRAME_SAMPLES;
    const int32_t capacity = frames / object->window_frames + 1;
    const size_t table_bytes = static_cast<size_t>(capacity) * sizeof(Window);
    call.windows = kx_host_calloc(1, table_bytes + static_cast<size_t>(capacity) * bytes);
    if (!call.windows) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    Pipeline p;
    p.recognizer = object;
    p.pcm = pcm;
    p.frames = frames;
    p.selector = call.selector;
    p.windows = static_cast<Window*>(call.windows);
    p.units = reinterpret_cast<float*>(static_cast<uint8_t*>(call.windows) + table_bytes);
    p.capacity = capacity;
    // As many threads as can embed at once, each with its own set of scratch buffers
    // in the device's cache.
    int32_t items = kx_device_parallel_width(object->device);
    if (items > capacity) items = capacity;
    const int32_t sets = KX_DEVICE_CACHE_SIZE / kx_embedding_scratch_count(object);
    if (items > sets) items = sets > 1 ? sets : 1;
    if (items > 1 && (status = kx_embedding_reserve(object, items)) != KX_STATUS_SUCCESS) {
        kx_error_trace("316ae06");
        return status;
    }
    kx_device_run_parallel(object->device, pipeline_item, &p, static_cast<uint64_t>(items));
    if (p.status != KX_STATUS_SUCCESS) {
        kx_error_restore(&p.messages);
        return p.status;
    }

    int32_t windows = 0;
    const int32_t published = p.published.load();
    for (int32_t i = 0; i < published; ++i) {
        if (!p.windows[i].added) continue;
        const float* unit = p.units + static_cast<int64_t>(i) * size;
        for (int32_t j = 0; j < size; ++j) call.accumulator[j] = call.accumulator[j] + unit[j];
        ++windows;
    }
    if (windows == 0) return KX_STATUS_SUCCESS;

    for (int32_t j = 0; j < size; ++j) call.accumulator[j] /= static_cast<float>(windows);
    auto* result = static_cast<float*>(kx_host_calloc(static_cast<size_t>(num_speakers), sizeof(float)));
    if (!result) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    for (int32_t i = 0; i < num_speakers; ++i) {
        const float* profile = speaker_profiles[i];
        float dot = 0.0f;
        for (int32_t j = 0; j < size; ++j) dot += call.accumulator[j] * profile[j];
        result[i] = kx_orvel_score_map(object->score_thresholds, dot);
    }
    *scores = result;
    return KX_STATUS_SUCCESS;
}

KX_API kx_status_t kx_orvel_process_min_audio_length_samples(kx_orvel_t* object, int32_t* num_samples) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(num_samples, "num_samples"))
        return KX_STATUS_INVALID_ARGUMENT;
    *num_samples = object->window_frames * KX_FRAME_SAMPLES;
    return KX_STATUS_SUCCESS;
}

KX_API void kx_orvel_scores_delete(float* scores) { kx_host_free(scores); }

}  // extern "C"
