// Scoring one utterance against speaker profiles.
//
// The detector runs frame by frame while the windows it chooses are embedded, on
// the device's pool threads where it has some: every window's unit embedding goes
// to a slot of a small ring and the slots are added in window order, so the sum is
// the same on any number of threads and the memory does not grow with the audio.
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

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
    void* ring;  // the window slots and their embeddings, one host allocation
    ~Call() {
        kx_host_free(ring);
        kx_host_free(accumulator);
        kx_orvel_window_selector_delete(selector);
    }
};

struct Window {
    int32_t first_frame;
    int32_t chosen_at;  // the frame whose push chose it
    int32_t added;
    std::atomic<int32_t> done;  // number of the window last embedded here (-1: none)
};

// Waits that outlast this many checks block, so that waiting threads leave the
// processors to the threads with work.
constexpr int kSpinChecks = 200;

// Failures are ordered as a run on one thread meets them: the push of frame f has
// order 2f, the embedding of the window that push chose 2f + 1; the flush counts as
// the push of frame `frames`. The call reports the failure of lowest order.
//
// Window n lives in slot n % slots. The producer (the thread running the selector)
// publishes window n only once window n - slots has been added to the sum, which it
// does itself, in window order, embedding windows too while the ring is full.
struct Pipeline {
    const kx_orvel_t* recognizer;
    const int16_t* pcm;
    int32_t frames;
    kx_orvel_window_selector* selector;
    Window* windows;
    float* units;  // per slot: embedding_size floats
    int32_t slots;
    float* sum;
    int32_t summed = 0;  // windows added to the sum so far (producer, then the caller)
    int32_t added = 0;   // of those, the ones with a usable embedding

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

    Window& slot_of(int32_t n) { return windows[n % slots]; }
    float* unit_of(int32_t n) { return units + static_cast<int64_t>(n % slots) * recognizer->network->embedding_size; }

    void wake_all() {
        if (sleepers.load() == 0) return;
        std::lock_guard<std::mutex> guard(lock);
        wake.notify_all();
    }

    // Spins, then sleeps until ready() holds; every change a waiter looks for wakes it.
    template <typename Ready>
    void wait_for(Ready ready) {
        for (int check = 0; check < kSpinChecks; ++check)
            if (ready()) return;
        sleepers.fetch_add(1);
        {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait(guard, ready);
        }
        sleepers.fetch_sub(1);
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

    bool is_done(int32_t n) { return slot_of(n).done.load() == n; }

    // Adds the embedded windows that are next in order.
    void sum_ready() {
        const int32_t size = recognizer->network->embedding_size;
        for (const int32_t end = published.load(); summed < end && is_done(summed); ++summed) {
            if (!slot_of(summed).added) continue;
            const float* unit = unit_of(summed);
            for (int32_t j = 0; j < size; ++j) sum[j] = sum[j] + unit[j];
            ++added;
        }
    }

    // Until the ring has a free slot: sums, embeds waiting windows, or waits for the
    // oldest one. False when the call has failed meanwhile.
    bool make_room() {
        for (;;) {
            sum_ready();
            if (published.load(std::memory_order_relaxed) - summed < slots) return true;
            if (failed_order.load() != INT64_MAX) return false;
            int32_t i;
            if (try_claim(&i)) {
                embed(i);
                continue;
            }
            const int32_t oldest = summed;
            wait_for([&] { return is_done(oldest) || failed_order.load() != INT64_MAX; });
        }
    }

    bool publish(int32_t last_frame, int32_t chosen_by) {
        if (!make_room()) return false;
        const int32_t n = published.load(std::memory_order_relaxed);
        Window& w = slot_of(n);
        w.first_frame = last_frame - recognizer->window_frames + 1;
        w.chosen_at = chosen_by;
        w.added = 0;
        published.store(n + 1);
        if (sleepers.load() > 0) {
            std::lock_guard<std::mutex> guard(lock);
            wake.notify_all();
        }
        return true;
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
            if (last_frame >= 0 && !publish(last_frame, f)) break;
        }
        finished.store(true);
        wake_all();
    }

    void embed(int32_t n) {
        Window& w = slot_of(n);
        const int64_t order = 2 * int64_t{w.chosen_at} + 1;
        // Skipped when the call has failed before this window.
        if (order < failed_order.load()) {
            const int32_t size = recognizer->network->embedding_size;
            float* unit = unit_of(n);
            std::memset(unit, 0, static_cast<size_t>(size) * sizeof(float));
            const int16_t* start = pcm + static_cast<int64_t>(w.first_frame) * KX_FRAME_SAMPLES;
            const kx_status_t status_n = kx_embedding_extract(recognizer, start, unit, &w.added);
            if (status_n != KX_STATUS_SUCCESS) {
                kx_error_trace("316ae06");
                fail(order, status_n);
            }
        }
        w.done.store(n);
        wake_all();
    }

    bool try_claim(int32_t* i) {
        int32_t n = next.load();
        while (n < published.load())
            if (next.compare_exchange_weak(n, n + 1)) {
                *i = n;
                return true;
            }
        return false;
    }

    // True when window *i is claimed; false when none will come any more.
    bool claim(int32_t* i) {
        for (;;) {
            const bool done = finished.load();
            if (try_claim(i)) return true;
            if (done) return false;
            wait_for([&] { return finished.load() || next.load() < published.load(); });
        }
    }

    void consume() {
        for (int32_t i; claim(&i);) embed(i);
    }
};

constexpr int32_t kSlotsPerThread = 4;

size_t ring_header_bytes(int32_t slots) { return static_cast<size_t>(slots) * sizeof(Window); }

// One item per thread: the first to start runs the selector, then all embed.
void pipeline_item(void* arg, uint64_t) {
    auto* p = static_cast<Pipeline*>(arg);
    if (!p->producer_taken.exchange(true)) p->produce();
    p->consume();
}

}  // namespace

// A profile is the mean of unit-length embeddings: finite, and no longer than 1 beyond
// float32 rounding. An edited one (scaled up, or holding NaN) would score outside [0, 1]
// or accept every speaker.
constexpr double kMaxProfileLength = 1.001;

static bool profile_valid(const float* profile, int32_t size, int32_t index) {
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

bool kx_orvel_profiles_valid(const kx_orvel_t* recognizer, const float* const* speaker_profiles,
                             int32_t num_speakers) {
    // A missing profile would be read through a null pointer.
    for (int32_t i = 0; i < num_speakers; ++i) {
        if (!speaker_profiles[i]) {
            char name[40];
            std::snprintf(name, sizeof(name), "speaker_profiles[%d]", i);
            kx_error_push(&KX_ERR_ARG_NULL, name);
            return false;
        }
        if (!profile_valid(speaker_profiles[i], recognizer->network->embedding_size, i)) return false;
    }
    return true;
}

int32_t kx_orvel_ring_slots(int32_t threads) { return kSlotsPerThread * (threads > 1 ? threads : 1); }

bool kx_orvel_ring_bytes(int32_t slots, int32_t embedding_size, size_t* bytes) {
    static_assert(sizeof(Window) % alignof(float) == 0, "the embeddings follow the window records");
    size_t per_slot = 0;
    if (slots < 1 || embedding_size < 0 ||
        !kx_checked_product(static_cast<size_t>(embedding_size), sizeof(float), &per_slot))
        return false;
    per_slot += sizeof(Window);
    return per_slot >= sizeof(Window) && kx_checked_product(per_slot, static_cast<size_t>(slots), bytes);
}

extern "C" {

KX_API kx_status_t kx_orvel_process(kx_orvel_t* object, const int16_t* pcm, int32_t num_samples,
                                    const float* const* speaker_profiles, int32_t num_speakers, float** scores) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(pcm, "pcm")) return KX_STATUS_INVALID_ARGUMENT;
    const int32_t min_samples = object->window_frames * KX_FRAME_SAMPLES;
    if (!kx_check_at_least(num_samples, min_samples, "num_samples") ||
        !kx_check_not_null(speaker_profiles, "speaker_profiles") || !kx_check_at_least(num_speakers, 1, "num_speakers"))
        return KX_STATUS_INVALID_ARGUMENT;
    if (!kx_orvel_profiles_valid(object, speaker_profiles, num_speakers)) return KX_STATUS_INVALID_ARGUMENT;
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
    const int32_t capacity = frames / object->window_frames + 1;  // chosen windows never overlap
    // As many threads as can embed at once, each with its own set of scratch buffers
    // in the device's cache, and as many as the ring's share of the scratch allows.
    int32_t items = kx_device_parallel_width(object->device);
    if (items > capacity) items = capacity;
    const int32_t sets = KX_DEVICE_CACHE_SIZE / kx_embedding_scratch_count(object);
    if (items > sets) items = sets > 1 ? sets : 1;
    while (items > 1 && kx_orvel_scratch_bytes(object, items) > KX_MAX_OBJECT_SCRATCH_BYTES) --items;
    const int32_t slots = kx_orvel_ring_slots(items);
    size_t ring_bytes = 0;
    if (!kx_orvel_ring_bytes(slots, size, &ring_bytes)) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    call.ring = kx_host_malloc(ring_bytes);
    if (!call.ring) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    Pipeline p;
    p.recognizer = object;
    p.pcm = pcm;
    p.frames = frames;
    p.selector = call.selector;
    p.windows = static_cast<Window*>(call.ring);
    for (int32_t i = 0; i < slots; ++i) new (&p.windows[i]) Window{0, 0, 0, {-1}};
    p.units = reinterpret_cast<float*>(static_cast<uint8_t*>(call.ring) + ring_header_bytes(slots));
    p.slots = slots;
    p.sum = call.accumulator;
    if (items > 1 && (status = kx_embedding_reserve(object, items)) != KX_STATUS_SUCCESS) {
        kx_error_trace("316ae06");
        return status;
    }
    kx_device_run_parallel(object->device, pipeline_item, &p, static_cast<uint64_t>(items));
    if (p.status != KX_STATUS_SUCCESS) {
        kx_error_restore(&p.messages);
        return p.status;
    }
    p.sum_ready();  // every published window is embedded by now
    const int32_t windows = p.added;
    if (windows == 0) return KX_STATUS_SUCCESS;

    auto* result = static_cast<float*>(kx_host_calloc(static_cast<size_t>(num_speakers), sizeof(float)));
    if (!result) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    kx_orvel_score_sum(object, call.accumulator, windows, speaker_profiles, num_speakers, result);
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
