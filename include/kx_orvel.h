/*
 * kx_orvel: speaker recognition engine, plain C interface.
 *
 * Audio everywhere is 16 kHz, mono, signed 16-bit PCM.
 *
 * Enrollment: create a profiler with kx_orvel_profiler_init(), feed it frames of
 * exactly kx_orvel_profiler_frame_length() samples with kx_orvel_profiler_enroll()
 * until the reported percentage reaches 100, optionally kx_orvel_profiler_flush(),
 * then kx_orvel_profiler_export() the speaker profile (an array of float32).
 *
 * Recognition: create a recognizer with kx_orvel_init() and score a complete
 * utterance against one or more profiles with kx_orvel_process().
 *
 * Errors: every fallible function returns a kx_status_t. On failure the details
 * are recorded on a per-thread error stack; fetch them on the same thread with
 * kx_get_error_stack() (innermost cause first) and release them with
 * kx_free_error_stack().
 *
 * Thread safety: any number of threads may call the library at once, but calls on
 * one recognizer or profiler must not overlap. Separate objects may be used on
 * separate threads freely. The error stack is per thread. The one exception is
 * kx_set_sdk(): set it before other threads use the library.
 */
#ifndef KX_ORVEL_H
#define KX_ORVEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* On Windows the library's own build exports the functions and programs that use
 * kx_orvel.dll import them (define KX_ORVEL_STATIC to link a static build). */
#if defined(_WIN32)
#if defined(KX_ORVEL_BUILDING)
#define KX_API __declspec(dllexport)
#elif defined(KX_ORVEL_STATIC)
#define KX_API
#else
#define KX_API __declspec(dllimport)
#endif
#elif defined(KX_ORVEL_BUILDING) && defined(__GNUC__)
#define KX_API __attribute__((visibility("default")))
#else
#define KX_API
#endif

/** Status returned by every fallible function. The values are stable. */
typedef enum {
    KX_STATUS_SUCCESS = 0,
    KX_STATUS_OUT_OF_MEMORY = 1,
    KX_STATUS_IO_ERROR = 2,
    KX_STATUS_INVALID_ARGUMENT = 3,
    KX_STATUS_STOP_ITERATION = 4,
    KX_STATUS_KEY_ERROR = 5,
    KX_STATUS_INVALID_STATE = 6,
    KX_STATUS_RUNTIME_ERROR = 7
} kx_status_t;

/** Opaque recognizer. */
typedef struct kx_orvel kx_orvel_t;
/** Opaque enrollment profiler. */
typedef struct kx_orvel_profiler kx_orvel_profiler_t;

/* ---------------------------------------------------------------- errors */

/** Name of a status ("SUCCESS", ...), a constant string; NULL for values outside 0..7. */
KX_API const char* kx_status_to_string(kx_status_t status);

/**
 * Hands the calling thread's recorded messages to the caller.
 * On success *message_stack receives an array of exactly 8 buffers of 512 bytes,
 * the first *message_stack_depth holding messages (innermost first), the rest empty.
 * The caller owns the array and releases it with kx_free_error_stack().
 * Returns INVALID_STATE (depth 0, NULL array) when the thread has nothing recorded,
 * INVALID_ARGUMENT when an output pointer is NULL.
 */
KX_API kx_status_t kx_get_error_stack(char*** message_stack, int32_t* message_stack_depth);

/** Releases an array from kx_get_error_stack(); NULL is ignored. */
KX_API void kx_free_error_stack(char** message_stack);

/* ------------------------------------------------------ library settings */

/** Turns diagnostic log lines on (the default); any thread may call it at any time. */
KX_API void kx_log_enable(void);
/** Turns diagnostic log lines off, for standard output and the log callback alike. */
KX_API void kx_log_disable(void);

/** Severity of a diagnostic line. More levels may follow; treat unknown ones as information. */
enum { KX_LOG_ERROR = 1 };

/**
 * Receives one diagnostic line: its level, the text (no newline, no terminal colours;
 * valid only during the call) and the user_data given to kx_set_log_callback().
 */
typedef void (*kx_log_callback_t)(int32_t level, const char* message, void* user_data);

/**
 * Sends diagnostic lines to callback instead of standard output; NULL restores standard
 * output. kx_log_enable()/kx_log_disable() still decide whether lines are made at all.
 * Lines are delivered one at a time, on the thread that made them. Once this returns,
 * the previous callback is not called again. The callback must not call this function.
 */
KX_API void kx_set_log_callback(kx_log_callback_t callback, void* user_data);
/** The only sample rate the library accepts: 16000. */
KX_API int32_t kx_sample_rate(void);
/**
 * Records the name of the calling SDK (at most 31 characters kept); NULL changes nothing.
 * Not synchronised: call it before other threads use the library.
 */
KX_API void kx_set_sdk(const char* name);
/** The SDK name ("c" by default); points into the library, valid for its lifetime. */
KX_API const char* kx_get_sdk(void);
/**
 * Stores a home directory path (at most 1023 bytes).
 * Returns INVALID_ARGUMENT for NULL or a longer path, leaving the stored path unchanged.
 */
KX_API kx_status_t kx_set_home_dir(const char* path);
/** Releases memory handed out by the library with the process heap; NULL is allowed. */
KX_API void kx_free(void* ptr);
/** The library version, "major.minor.patch"; a constant string. */
KX_API const char* kx_orvel_version(void);

/* ------------------------------------------------------------ recognizer */

/**
 * Creates a recognizer.
 * model_path: the ".kx" model file (UTF-8 path).
 * device: a device string: "best", or a prefix of "cpu" optionally followed by
 *         ":threads" (for example "cpu:2"); see kx_orvel_list_hardware_devices().
 * voice_threshold: minimum mean voice probability of a window, in [0, 1].
 * object: receives the recognizer; release it with kx_orvel_delete().
 */
KX_API kx_status_t kx_orvel_init(const char* model_path, const char* device, float voice_threshold,
                                 kx_orvel_t** object);

/** Destroys a recognizer; NULL is ignored. */
KX_API void kx_orvel_delete(kx_orvel_t* object);

/**
 * Scores one complete utterance against speaker profiles.
 * pcm/num_samples: the utterance (at least kx_orvel_process_min_audio_length_samples()).
 * speaker_profiles: num_speakers pointers to profiles exported by a profiler of the same model.
 *         A profile holding NaN or infinity, or longer than 1.001 (an exported profile is
 *         a mean of unit vectors), is refused with INVALID_ARGUMENT.
 * scores: receives an array of num_speakers scores in [0, 1], or NULL when the
 *         utterance held no speech (still SUCCESS). Release it with kx_orvel_scores_delete().
 */
KX_API kx_status_t kx_orvel_process(kx_orvel_t* object, const int16_t* pcm, int32_t num_samples,
                                    const float* const* speaker_profiles, int32_t num_speakers,
                                    float** scores);

/** Stores the shortest utterance kx_orvel_process() accepts, in samples. */
KX_API kx_status_t kx_orvel_process_min_audio_length_samples(kx_orvel_t* object, int32_t* num_samples);

/** Releases a score array from kx_orvel_process(); NULL is ignored. */
KX_API void kx_orvel_scores_delete(float* scores);

/* ------------------------------------------------------ window embeddings */

/**
 * Speaker embeddings of the windows of one recording, made by kx_orvel_embed_windows().
 * Frames are the detector's 512-sample steps from sample 0; every window is the model's
 * window_samples long. All arrays belong to the record.
 */
typedef struct {
    int32_t num_windows;
    int32_t window_samples;                  /* kx_orvel_process_min_audio_length_samples() */
    int32_t embedding_size;                  /* floats per embedding (and per profile) */
    int32_t num_frames;                      /* num_samples / 512 */
    const int32_t* start_samples;            /* num_windows: first sample of each window, ascending */
    const float* voice_probabilities;        /* num_windows: mean voice probability of its frames */
    const float* embeddings;                 /* num_windows x embedding_size: unit length, or all
                                                zero for a window that was not embedded */
    const float* frame_voice_probabilities;  /* num_frames: the detector's voice probability per frame */
} kx_orvel_windows_t;

/**
 * Runs the detector over a whole recording once and embeds windows of it.
 * pcm/num_samples: the recording (at least kx_orvel_process_min_audio_length_samples()).
 * hop_frames: 0 for exactly the windows kx_orvel_process() would average (the window
 *         selector's choice; a window whose embedding has no usable length is all zero);
 *         N >= 1 for a window at every N-th frame (frames 0, N, 2N, ... as long as a whole
 *         window fits), embedded only where its mean voice probability reaches the
 *         recognizer's voice_threshold (all zero elsewhere).
 * windows: receives the record; release it with kx_orvel_windows_delete().
 * Summing the embeddings in window order in float32 and passing the sum and the count of
 * non-zero ones to kx_orvel_score_embeddings() gives, for hop_frames 0, exactly the
 * scores kx_orvel_process() gives on the same audio.
 */
KX_API kx_status_t kx_orvel_embed_windows(kx_orvel_t* object, const int16_t* pcm, int32_t num_samples,
                                          int32_t hop_frames, kx_orvel_windows_t** windows);

/** Releases a record from kx_orvel_embed_windows(); NULL is ignored. */
KX_API void kx_orvel_windows_delete(kx_orvel_windows_t* windows);

/**
 * Scores the mean of num_embeddings unit embeddings against speaker profiles, as
 * kx_orvel_process() scores its mean.
 * embedding_sum: embedding_size floats, the float32 sum of the embeddings (finite).
 * num_embeddings: how many were summed (at least 1).
 * speaker_profiles/num_speakers: as for kx_orvel_process().
 * scores: the caller's array of num_speakers floats, filled with scores in [0, 1].
 */
KX_API kx_status_t kx_orvel_score_embeddings(kx_orvel_t* object, const float* embedding_sum, int32_t num_embeddings,
                                             const float* const* speaker_profiles, int32_t num_speakers,
                                             float* scores);

/* -------------------------------------------------------------- profiler */

/**
 * Creates an enrollment profiler.
 * min_enrollment_chunks: speech windows needed for 100 % (at least 1).
 * object: receives the profiler; release it with kx_orvel_profiler_delete().
 */
KX_API kx_status_t kx_orvel_profiler_init(const char* model_path, const char* device,
                                          int32_t min_enrollment_chunks, float voice_threshold,
                                          kx_orvel_profiler_t** object);

/** Feeds exactly kx_orvel_profiler_frame_length() samples; stores the progress in percent. */
KX_API kx_status_t kx_orvel_profiler_enroll(kx_orvel_profiler_t* object, const int16_t* pcm,
                                            float* percentage);

/** Marks the end of the enrollment audio, possibly adding a final window; stores the progress. */
KX_API kx_status_t kx_orvel_profiler_flush(kx_orvel_profiler_t* object, float* percentage);

/** Starts enrollment again from zero without reloading the model. */
KX_API kx_status_t kx_orvel_profiler_reset(kx_orvel_profiler_t* object);

/** Destroys a profiler; NULL is ignored. */
KX_API void kx_orvel_profiler_delete(kx_orvel_profiler_t* object);

/** Samples consumed by one kx_orvel_profiler_enroll() call: 512. */
KX_API int32_t kx_orvel_profiler_frame_length(void);

/** Stores the size in bytes of an exported profile (4 x embedding size). */
KX_API kx_status_t kx_orvel_profiler_export_size(kx_orvel_profiler_t* object,
                                                 int32_t* speaker_profile_size_bytes);

/**
 * Writes the speaker profile (little-endian float32 values) into the caller's buffer
 * of at least kx_orvel_profiler_export_size() bytes. INVALID_STATE before 100 %.
 */
KX_API kx_status_t kx_orvel_profiler_export(kx_orvel_profiler_t* object, void* speaker_profile);

/* --------------------------------------------------------------- devices */

/**
 * Lists the hardware devices as lines such as "cpu:[0-8] - CPU (8 threads)".
 * The array and its strings belong to the caller; release them with
 * kx_orvel_free_hardware_devices().
 */
KX_API kx_status_t kx_orvel_list_hardware_devices(char*** hardware_devices, int32_t* num_hardware_devices);

/** Releases a list from kx_orvel_list_hardware_devices(); NULL is ignored. */
KX_API void kx_orvel_free_hardware_devices(char** hardware_devices, int32_t num_hardware_devices);

#ifdef __cplusplus
}
#endif

#endif /* KX_ORVEL_H */
