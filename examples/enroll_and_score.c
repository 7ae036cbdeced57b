/*
 * Minimal use of the C interface: enroll a speaker from one or more WAV files, then
 * score the last WAV file against the profile.
 *
 *   enroll_and_score [--voice-threshold V] MODEL.kx ENROLL.wav [ENROLL.wav ...] TEST.wav
 *
 * Every file must be 16 kHz, mono, 16-bit PCM WAV: `kx-orvel convert IN OUT.wav`
 * writes that from any format the tool reads (or: ffmpeg -i IN -ar 16000 -ac 1
 * -c:a pcm_s16le OUT.wav).
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kx_orvel.h"

/* Prints the calling thread's error stack after a failed call. */
static void print_error(const char* call, kx_status_t status) {
    char** stack = NULL;
    int32_t depth = 0;
    fprintf(stderr, "%s failed: %s\n", call, kx_status_to_string(status));
    if (kx_get_error_stack(&stack, &depth) == KX_STATUS_SUCCESS) {
        for (int32_t i = 0; i < depth; i++) fprintf(stderr, "  %s\n", stack[i]);
    }
    kx_free_error_stack(stack);
}

static uint32_t le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Reads the samples of a 16 kHz mono 16-bit PCM WAV file; NULL on any problem. */
static int16_t* read_wav(const char* path, int32_t* num_samples) {
    FILE* f = fopen(path, "rb");
    unsigned char header[12], chunk[8], fmt[16];
    int16_t* pcm = NULL;
    int have_fmt = 0;
    if (!f) {
        fprintf(stderr, "%s: cannot open\n", path);
        return NULL;
    }
    if (fread(header, 1, 12, f) != 12 || memcmp(header, "RIFF", 4) || memcmp(header + 8, "WAVE", 4)) {
        fprintf(stderr, "%s: not a WAV file\n", path);
        fclose(f);
        return NULL;
    }
    while (fread(chunk, 1, 8, f) == 8) {
        uint32_t size = le32(chunk + 4);
        if (!memcmp(chunk, "fmt ", 4) && size >= 16) {
            if (fread(fmt, 1, 16, f) != 16) break;
            /* PCM, 1 channel, 16000 Hz, 16 bits */
            if (fmt[0] != 1 || fmt[1] != 0 || fmt[2] != 1 || fmt[3] != 0 || le32(fmt + 4) != 16000 ||
                fmt[14] != 16 || fmt[15] != 0) {
                fprintf(stderr, "%s: needs 16 kHz mono 16-bit PCM\n", path);
                break;
            }
            have_fmt = 1;
            if (fseek(f, (long)(size - 16 + (size & 1)), SEEK_CUR) != 0) break;
        } else if (!memcmp(chunk, "data", 4) && have_fmt) {
            *num_samples = (int32_t)(size / 2);
            pcm = malloc((size_t)*num_samples * sizeof(int16_t) + 1);
            if (pcm && fread(pcm, sizeof(int16_t), (size_t)*num_samples, f) != (size_t)*num_samples) {
                free(pcm);
                pcm = NULL;
                fprintf(stderr, "%s: data ends early\n", path);
            }
            break; /* samples are little-endian, as on every supported platform */
        } else if (fseek(f, (long)(size + (size & 1)), SEEK_CUR) != 0) {
            break;
        }
    }
    if (!pcm && have_fmt) fprintf(stderr, "%s: no sample data\n", path);
    fclose(f);
    return pcm;
}

int main(int argc, char** argv) {
    float voice_threshold = 0.3f;
    const int32_t min_enrollment_chunks = 4;
    kx_orvel_profiler_t* profiler = NULL;
    kx_orvel_t* recognizer = NULL;
    int16_t *enroll_pcm = NULL, *test_pcm = NULL;
    int32_t enroll_len = 0, test_len = 0, profile_size = 0, min_samples = 0;
    const char* model = NULL;
    const char* test_path = NULL;
    int first_enroll = 1, last_enroll = 0;
    float percentage = 0.0f;
    float* profile = NULL;
    float* scores = NULL;
    const float* profiles[1] = {NULL};
    int32_t frame = 0;
    kx_status_t status;
    int result = 1;

    if (argc > 2 && !strcmp(argv[1], "--voice-threshold")) {
        voice_threshold = strtof(argv[2], NULL);
        first_enroll = 3;
    }
    if (argc - first_enroll < 3) {
        fprintf(stderr, "usage: %s [--voice-threshold V] MODEL.kx ENROLL.wav [ENROLL.wav ...] TEST.wav\n", argv[0]);
        return 1;
    }
    model = argv[first_enroll++];
    last_enroll = argc - 2;
    test_path = argv[argc - 1];
    kx_log_disable();
    test_pcm = read_wav(test_path, &test_len);
    if (!test_pcm) goto done;

    /* Enrollment: frames of exactly kx_orvel_profiler_frame_length() samples, each
     * file flushed so that its last window counts. */
    status = kx_orvel_profiler_init(model, "best", min_enrollment_chunks, voice_threshold, &profiler);
    if (status != KX_STATUS_SUCCESS) {
        print_error("kx_orvel_profiler_init", status);
        goto done;
    }
    frame = kx_orvel_profiler_frame_length();
    for (int i = first_enroll; i <= last_enroll; i++) {
        free(enroll_pcm);
        enroll_pcm = read_wav(argv[i], &enroll_len);
        if (!enroll_pcm) goto done;
        for (int32_t at = 0; at + frame <= enroll_len; at += frame) {
            status = kx_orvel_profiler_enroll(profiler, enroll_pcm + at, &percentage);
            if (status != KX_STATUS_SUCCESS) {
                print_error("kx_orvel_profiler_enroll", status);
                goto done;
            }
        }
        status = kx_orvel_profiler_flush(profiler, &percentage);
        if (status != KX_STATUS_SUCCESS) {
            print_error("kx_orvel_profiler_flush", status);
            goto done;
        }
    }
    printf("enrollment: %d%%\n", (int)percentage);
    if (percentage < 100.0f) {
        fprintf(stderr, "not enough speech to enroll: add more recordings of the speaker\n");
        result = 2;
        goto done;
    }
    if ((status = kx_orvel_profiler_export_size(profiler, &profile_size)) != KX_STATUS_SUCCESS) {
        print_error("kx_orvel_profiler_export_size", status);
        goto done;
    }
    profile = malloc((size_t)profile_size);
    if (!profile) goto done;
    if ((status = kx_orvel_profiler_export(profiler, profile)) != KX_STATUS_SUCCESS) {
        print_error("kx_orvel_profiler_export", status);
        goto done;
    }

    /* Recognition: one complete utterance against the profile. */
    status = kx_orvel_init(model, "best", voice_threshold, &recognizer);
    if (status != KX_STATUS_SUCCESS) {
        print_error("kx_orvel_init", status);
        goto done;
    }
    if ((status = kx_orvel_process_min_audio_length_samples(recognizer, &min_samples)) != KX_STATUS_SUCCESS) {
        print_error("kx_orvel_process_min_audio_length_samples", status);
        goto done;
    }
    if (test_len < min_samples) {
        fprintf(stderr, "%s is too short: %d samples, at least %d needed\n", test_path, test_len, min_samples);
        result = 2;
        goto done;
    }
    profiles[0] = profile;
    status = kx_orvel_process(recognizer, test_pcm, test_len, profiles, 1, &scores);
    if (status != KX_STATUS_SUCCESS) {
        print_error("kx_orvel_process", status);
        goto done;
    }
    if (scores)
        printf("score: %.3f\n", scores[0]);
    else
        printf("no speech in %s\n", test_path);
    result = 0;

done:
    kx_orvel_scores_delete(scores);
    kx_orvel_delete(recognizer);
    kx_orvel_profiler_delete(profiler);
    free(profile);
    free(enroll_pcm);
    free(test_pcm);
    return result;
}
