// Per-thread error stack: error records and the push / begin-call protocol.
#pragma once

#include <cstdint>

#include "kx_orvel.h"

struct kx_error_record_t {
    uint32_t code;
    const char* message_template;  // printf-style, or null for a code-only message
};

// Records one message for the calling thread; the variadic arguments are those of
// the record's template. A message that cannot be recorded is dropped silently.
void kx_error_push(const kx_error_record_t* record, ...);

// First step of every exported engine call: marks the thread's old messages stale.
void kx_error_stack_begin_call();

// Records a trace message (code 310) naming the call site.
void kx_error_trace(const char* site_id);

// Argument checks at the top of the public functions: each records 100 (null) or
// 101 (below the minimum) naming the argument and answers false when it fails, so
// that checks chain with || in the order the arguments are checked.
bool kx_check_not_null(const void* value, const char* name);
bool kx_check_at_least(int32_t value, int32_t minimum, const char* name);

// Records 107 (a model value that cannot work) with a printf-style detail; the
// record's template takes the detail as one string, so it is formatted first.
void kx_error_push_unusable(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Messages recorded on one thread, carried to another: work that a call hands to a
// worker thread reports its failure on the calling thread.
struct kx_error_messages_t {
    int32_t count;
    char entries[8][512];
};
// Moves the calling thread's messages of the current call into out.
void kx_error_take(kx_error_messages_t* out);
// Records taken messages, in their order, for the calling thread.
void kx_error_restore(const kx_error_messages_t* messages);

// Test hook: the next `count` hand-out arrays cannot be allocated.
void kx_error_fail_next_handouts(int count);
// Test hook: how often the process-wide lock has been taken so far.
int64_t kx_error_lock_count();

// Library-wide error records.
extern const kx_error_record_t KX_ERR_ARG_NULL;          // 100 "Argument `%s` is NULL."
extern const kx_error_record_t KX_ERR_ARG_RANGE_FLOAT;   // 101 float range
extern const kx_error_record_t KX_ERR_ARG_MIN_INT;       // 101 integer minimum
extern const kx_error_record_t KX_ERR_ARG_INVALID;       // 101 "Argument `%s` is invalid."
extern const kx_error_record_t KX_ERR_ARG_PROFILE_VALUE;  // 101 non-finite profile element
extern const kx_error_record_t KX_ERR_ARG_PROFILE_LENGTH; // 101 profile longer than a mean of unit vectors
extern const kx_error_record_t KX_ERR_FILE_FORMAT;       // 105
extern const kx_error_record_t KX_ERR_FILE_VERSION;      // 106
extern const kx_error_record_t KX_ERR_MODEL_INVALID;     // 107 model content that cannot work
extern const kx_error_record_t KX_ERR_VAD_NO_DEVICE;     // 110 (no template)
extern const kx_error_record_t KX_ERR_OUT_OF_MEMORY;     // 200
extern const kx_error_record_t KX_ERR_FILE_OPEN;         // 201
extern const kx_error_record_t KX_ERR_FILE_READ;         // 202
extern const kx_error_record_t KX_ERR_BACKEND;           // 300 (no template)
extern const kx_error_record_t KX_ERR_TRACE;             // 310 "%s"
extern const kx_error_record_t KX_ERR_STATE;             // 311 "%s" object state that forbids the call
extern const kx_error_record_t KX_ERR_EXPORT_INCOMPLETE; // 500
extern const kx_error_record_t KX_ERR_DEVICE_LIST;       // 800 (no template)
extern const kx_error_record_t KX_ERR_OPERATOR;          // 801 "Failed to %s operator"
extern const kx_error_record_t KX_ERR_DEVICE_STRING;     // 802
extern const kx_error_record_t KX_ERR_DEVICE_OOM;        // 803
extern const kx_error_record_t KX_ERR_TENSOR_OOM;        // 804
extern const kx_error_record_t KX_ERR_GPU_PLUGIN_LOAD;   // 837 file and the loader's reason
extern const kx_error_record_t KX_ERR_GPU_PLUGIN_UNUSABLE; // 838 missing function or other version
extern const kx_error_record_t KX_ERR_GPU_DEVICE;        // 839 index and the plug-in's reason
extern const kx_error_record_t KX_ERR_GPU_KERNEL;        // 840 operator and the plug-in's reason
extern const kx_error_record_t KX_ERR_BUFFER_MAP;        // 841 the device kind's reason
