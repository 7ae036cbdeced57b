// Speaker profile export: the mean of the enrolled unit-length embeddings.
#include <cstring>

#include "base/error.h"
#include "engine/recognizer.h"

extern "C" {

KX_API kx_status_t kx_orvel_profiler_export_size(kx_orvel_profiler_t* object, int32_t* speaker_profile_size_bytes) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") ||
        !kx_check_not_null(speaker_profile_size_bytes, "speaker_profile_size_bytes"))
        return KX_STATUS_INVALID_ARGUMENT;
    *speaker_profile_size_bytes = 4 * object->recognizer->network->embedding_size;
    return KX_STATUS_SUCCESS;
}

KX_API kx_status_t kx_orvel_profiler_export(kx_orvel_profiler_t* object, void* speaker_profile) {
    kx_error_stack_begin_call();
    if (!kx_check_not_null(object, "object") || !kx_check_not_null(speaker_profile, "speaker_profile"))
        return KX_STATUS_INVALID_ARGUMENT;
    if (object->chunks < object->min_enrollment_chunks) {
        kx_error_push(&KX_ERR_EXPORT_INCOMPLETE);
        return KX_STATUS_INVALID_STATE;
    }
    const int32_t size = object->recognizer->network->embedding_size;
    auto* out = static_cast<unsigned char*>(speaker_profile);  // the caller's buffer may be unaligned
    const float chunks = static_cast<float>(object->chunks);
    for (int32_t i = 0; i < size; ++i) {
        const float value = object->accumulator[i] / chunks;
        std::memcpy(out + 4 * static_cast<size_t>(i), &value, sizeof(value));
    }
    return KX_STATUS_SUCCESS;
}

}  // extern "C"
