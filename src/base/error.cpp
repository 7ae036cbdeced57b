#include "base/error.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The calling thread's identity. Windows thread ids stay valid through the
// thread-exit callbacks, where the POSIX emulation already forgot the thread.
#if defined(_WIN32)
using thread_id_t = DWORD;
thread_id_t current_thread() { return GetCurrentThreadId(); }
bool same_thread(thread_id_t a, thread_id_t b) { return a == b; }
#else
using thread_id_t = pthread_t;
thread_id_t current_thread() { return pthread_self(); }
bool same_thread(thread_id_t a, thread_id_t b) { return pthread_equal(a, b) != 0; }
#endif

constexpr int kSlotCount = 128;
constexpr int kMessagesPerSlot = 8;
constexpr int kMessageSize = 512;
constexpr int kScratchSize = 492;
constexpr const char* kBuildTag = "a01eaf2";

struct Slot {
    // Written under the lock when claimed or released, read without it by the
    // owner's lookup, hence atomic.
    std::atomic<thread_id_t> owner;
    std::atomic<bool> owned;
    bool reset_pending;
    int32_t count;
    char entries[kMessagesPerSlot][kMessageSize];
    char scratch[kScratchSize];
};

Slot g_slots[kSlotCount];
char** g_handout = nullptr;

// The process-wide lock; calls take it only to claim or give back a slot and to make
// or hand out an array, never on a thread's own path through a call.
std::mutex g_mutex;
std::atomic<int64_t> g_lock_count{0};
struct Locked {
    std::lock_guard<std::mutex> guard{g_mutex};
    Locked() { g_lock_count.fetch_add(1, std::memory_order_relaxed); }
};

// Set once a hand-out array exists: most calls then need not look under the lock.
std::atomic<bool> g_handout_ready{false};

// Slots owned by some thread. Usually none: then no call scans the table (a thread
// sees its own claim, so a count of 0 means it owns no slot).
std::atomic<int> g_owned_slots{0};

// Gives a slot back to the table.
void release_slot(Slot* slot) {
    slot->owned.store(false, std::memory_order_release);
    g_owned_slots.fetch_sub(1, std::memory_order_relaxed);
}

Slot* find_own_slot() {
    if (g_owned_slots.load(std::memory_order_relaxed) == 0) return nullptr;
    const thread_id_t self = current_thread();
    for (Slot& slot : g_slots) {
        if (slot.owned.load(std::memory_order_acquire) &&
            same_thread(slot.owner.load(std::memory_order_relaxed), self))
            return &slot;
    }
    return nullptr;
}

// Hand-out arrays still to fail (test hook). They bypass the library's allocation hook,
// which counts the allocations of the calls under test, not of fetching their messages.
std::atomic<int> g_handout_failures{0};

bool handout_fails() {  // lock held
    if (g_handout_failures.load() <= 0) return false;
    g_handout_failures--;
    return true;
}

// Allocates the 8 x 512-byte hand-out array, or leaves nothing behind. Lock held.
char** make_handout() {
    if (handout_fails()) return nullptr;
    char** array = static_cast<char**>(std::malloc(kMessagesPerSlot * sizeof(char*)));
    if (!array) return nullptr;
    for (int i = 0; i < kMessagesPerSlot; ++i) {
        array[i] = static_cast<char*>(std::calloc(1, kMessageSize));
        if (!array[i]) {
            for (int j = 0; j < i; ++j) std::free(array[j]);
            std::free(array);
            return nullptr;
        }
    }
    return array;
}

void free_handout(char** array) {
    if (!array) return;
    for (int i = 0; i < kMessagesPerSlot; ++i) std::free(array[i]);
    std::free(array);
}

void clear_slot_messages(Slot* slot) {
    slot->count = 0;
    std::memset(slot->entries, 0, sizeof(slot->entries));
}

// A thread that ends without fetching its messages frees its slot, so that dead
// threads cannot use up the table and a new thread never sees their messages.
struct SlotReleaser {
    Slot* slot = nullptr;
    ~SlotReleaser() {
        if (!slot) return;
        const Locked guard;
        if (slot->owned.load(std::memory_order_relaxed) &&
            same_thread(slot->owner.load(std::memory_order_relaxed), current_thread())) {
            slot->reset_pending = false;
            clear_slot_messages(slot);
            release_slot(slot);
        }
    }
};
thread_local SlotReleaser t_slot_releaser;

struct HandoutReleaser {
    ~HandoutReleaser() {
        g_handout_ready.store(false);
        free_handout(g_handout);
        g_handout = nullptr;
    }
} g_handout_releaser;

}  // namespace

const kx_error_record_t KX_ERR_ARG_NULL = {100, "Argument `%s` is NULL."};
const kx_error_record_t KX_ERR_ARG_RANGE_FLOAT = {101, "Argument `%s` value `%.2f` is out of range [%.2f, %.2f]."};
const kx_error_record_t KX_ERR_ARG_MIN_INT = {101, "Argument `%s` value `%d` is less than the minimum acceptable value of `%d`."};
const kx_error_record_t KX_ERR_ARG_INVALID = {101, "Argument `%s` is invalid."};
const kx_error_record_t KX_ERR_ARG_PROFILE_VALUE = {101, "Argument `speaker_profiles[%d]` element %d is `%g`, not a finite number."};
const kx_error_record_t KX_ERR_ARG_PROFILE_LENGTH = {101, "Argument `speaker_profiles[%d]` has length `%.4f`, above the %.3f that a speaker profile can have."};
const kx_error_record_t KX_ERR_FILE_FORMAT = {105, "%s file has incorrect format or belongs to a different platform."};
const kx_error_record_t KX_ERR_FILE_VERSION = {106, "%s file belongs to a different version of the library. File is `%s` while library is `%s`."};
const kx_error_record_t KX_ERR_MODEL_INVALID = {107, "Orvel model (.kx) file holds an unusable value: %s"};
const kx_error_record_t KX_ERR_VAD_NO_DEVICE = {110, nullptr};
const kx_error_record_t KX_ERR_OUT_OF_MEMORY = {200, "Failed to allocate, out of memory."};
const kx_error_record_t KX_ERR_FILE_OPEN = {201, "Failed to open file `%s`."};
const kx_error_record_t KX_ERR_FILE_READ = {202, "Failed to read parameter from file."};
const kx_error_record_t KX_ERR_BACKEND = {300, nullptr};
const kx_error_record_t KX_ERR_TRACE = {310, "%s"};
const kx_error_record_t KX_ERR_STATE = {311, "%s"};
const kx_error_record_t KX_ERR_EXPORT_INCOMPLETE = {500, "Cannot export speaker profile before enrollment is complete."};
const kx_error_record_t KX_ERR_DEVICE_LIST = {800, nullptr};
const kx_error_record_t KX_ERR_OPERATOR = {801, "Failed to %s operator"};
const kx_error_record_t KX_ERR_DEVICE_STRING = {802, "%s is not a valid device string"};
const kx_error_record_t KX_ERR_DEVICE_OOM = {803, "Failed to allocate, out of memory."};
const kx_error_record_t KX_ERR_TENSOR_OOM = {804, "Failed to allocate, out of memory."};
const kx_error_record_t KX_ERR_GPU_PLUGIN_LOAD = {837, "GPU plug-in `%s` could not be loaded: %s"};
const kx_error_record_t KX_ERR_GPU_PLUGIN_UNUSABLE = {838, "GPU plug-in `%s` is unusable: %s"};
const kx_error_record_t KX_ERR_GPU_DEVICE = {839, "GPU device %d could not be created: %s"};
const kx_error_record_t KX_ERR_GPU_KERNEL = {840, "GPU kernel `%s` failed: %s"};
const kx_error_record_t KX_ERR_BUFFER_MAP = {841, "Device buffer could not be mapped: %s"};

namespace {

#if defined(_WIN32)
// Thread-exit callbacks do not always reach the library (seen under Wine), so a
// full table takes back the slot of a thread that has ended. A live thread that
// reuses an ended one's id keeps its slot. Called with the lock held.
Slot* reclaim_slot_of_ended_thread() {
    for (Slot& candidate : g_slots) {
        const thread_id_t owner = candidate.owner.load(std::memory_order_relaxed);
        const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, owner);
        const bool ended = !thread || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        if (thread) CloseHandle(thread);
        if (!ended) continue;
        candidate.reset_pending = false;
        clear_slot_messages(&candidate);
        candidate.owner.store(current_thread(), std::memory_order_relaxed);
        t_slot_releaser.slot = &candidate;
        return &candidate;
    }
    return nullptr;
}
#endif

// The calling thread's slot, claimed on first use and cleared of a finished call's
// messages; null when every slot is taken.
Slot* slot_for_push() {
    Slot* slot = find_own_slot();
    if (!slot) {
        const Locked guard;
        for (Slot& candidate : g_slots) {
            if (!candidate.owned.load(std::memory_order_relaxed)) {
                candidate.owner.store(current_thread(), std::memory_order_relaxed);
                candidate.owned.store(true, std::memory_order_release);
                g_owned_slots.fetch_add(1, std::memory_order_relaxed);
                slot = &candidate;
                t_slot_releaser.slot = slot;
                break;
            }
        }
#if defined(_WIN32)
        if (!slot) slot = reclaim_slot_of_ended_thread();
#endif
        if (!slot) return nullptr;
    }
    if (slot->reset_pending) {
        clear_slot_messages(slot);
        slot->reset_pending = false;
    }
    return slot;
}

}  // namespace

void kx_error_push(const kx_error_record_t* record, ...) {
    Slot* slot = slot_for_push();
    if (!slot || slot->count >= kMessagesPerSlot) return;

    char* entry = slot->entries[slot->count];
    if (record->message_template) {
        va_list args;
        va_start(args, record);
        std::vsnprintf(slot->scratch, kScratchSize, record->message_template, args);
        va_end(args);
        std::snprintf(entry, kMessageSize, "%s %08X: %s", kBuildTag, record->code, slot->scratch);
        std::memset(slot->scratch, 0, sizeof(slot->scratch));
    } else {
        std::snprintf(entry, kMessageSize, "%s %08X: Zembrix Error.", kBuildTag, record->code);
    }
    slot->count++;
}

void kx_error_fail_next_handouts(int count) { g_handout_failures.store(count); }

int64_t kx_error_lock_count() { return g_lock_count.load(); }

void kx_error_trace(const char* site_id) { kx_error_push(&KX_ERR_TRACE, site_id); }

bool kx_check_not_null(const void* value, const char* name) {
    if (!value) kx_error_push(&KX_ERR_ARG_NULL, name);
    return value != nullptr;
}

bool kx_check_at_least(int32_t value, int32_t minimum, const char* name) {
    if (value < minimum) kx_error_push(&KX_ERR_ARG_MIN_INT, name, value, minimum);
    return value >= minimum;
}

void kx_error_push_unusable(const char* format, ...) {
    char detail[kScratchSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof(detail), format, args);
    va_end(args);
    kx_error_push(&KX_ERR_MODEL_INVALID, detail);
}

static_assert(sizeof(kx_error_messages_t::entries) == sizeof(Slot::entries), "a slot's messages fit");

void kx_error_take(kx_error_messages_t* out) {
    out->count = 0;
    Slot* slot = find_own_slot();
    if (!slot) return;
    const Locked guard;
    if (!slot->reset_pending) {
        out->count = slot->count;
        std::memcpy(out->entries, slot->entries, sizeof(out->entries));
    }
    // The slot goes back to the table: worker threads should not hold one each.
    slot->reset_pending = false;
    clear_slot_messages(slot);
    release_slot(slot);
}

void kx_error_restore(const kx_error_messages_t* messages) {
    Slot* slot = slot_for_push();
    for (int32_t i = 0; slot && i < messages->count && slot->count < kMessagesPerSlot; ++i)
        std::memcpy(slot->entries[slot->count++], messages->entries[i], kMessageSize);
}

void kx_error_stack_begin_call() {
    // Taken per detector frame on every thread that scores: the lock only until the
    // array exists (or while it cannot be made).
    if (!g_handout_ready.load(std::memory_order_acquire)) {
        const Locked guard;
        if (!g_handout) g_handout = make_handout();
        g_handout_ready.store(g_handout != nullptr, std::memory_order_release);
    }
    if (Slot* slot = find_own_slot()) slot->reset_pending = true;
}

extern "C" {

KX_API const char* kx_status_to_string(kx_status_t status) {
    switch (status) {
        case KX_STATUS_SUCCESS: return "SUCCESS";
        case KX_STATUS_OUT_OF_MEMORY: return "OUT_OF_MEMORY";
        case KX_STATUS_IO_ERROR: return "IO_ERROR";
        case KX_STATUS_INVALID_ARGUMENT: return "INVALID_ARGUMENT";
        case KX_STATUS_STOP_ITERATION: return "STOP_ITERATION";
        case KX_STATUS_KEY_ERROR: return "KEY_ERROR";
        case KX_STATUS_INVALID_STATE: return "INVALID_STATE";
        case KX_STATUS_RUNTIME_ERROR: return "RUNTIME_ERROR";
    }
    return nullptr;
}

KX_API kx_status_t kx_get_error_stack(char*** message_stack, int32_t* message_stack_depth) {
    if (!message_stack || !message_stack_depth) return KX_STATUS_INVALID_ARGUMENT;
    *message_stack_depth = 0;
    *message_stack = nullptr;
    Slot* slot = find_own_slot();
    if (!slot) return KX_STATUS_INVALID_STATE;

    const Locked guard;
    if (!g_handout) return KX_STATUS_INVALID_STATE;
    // The replacement comes first: when it cannot be made, nothing is handed out and
    // the messages stay for a later fetch, so a caller that trusts the status leaks nothing.
    char** replacement = make_handout();
    if (!replacement) return KX_STATUS_OUT_OF_MEMORY;
    char** array = g_handout;
    for (int i = 0; i < kMessagesPerSlot; ++i) std::memset(array[i], 0, kMessageSize);
    for (int i = 0; i < slot->count; ++i) {
        std::strncpy(array[i], slot->entries[i], kMessageSize - 1);
        array[i][kMessageSize - 1] = '\0';
    }
    *message_stack_depth = slot->count;
    *message_stack = array;

    slot->reset_pending = false;
    clear_slot_messages(slot);
    release_slot(slot);

    g_handout = replacement;
    return KX_STATUS_SUCCESS;
}

KX_API void kx_free_error_stack(char** message_stack) { free_handout(message_stack); }

}  // extern "C"
