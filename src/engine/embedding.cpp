// Speaker embedding extraction: the front end's features through the network, then
// L2 normalisation into the caller's sum.
#include "engine/embedding.h"

#include <cmath>

#include "base/error.h"
#include "engine/recognizer.h"
#include "nn/ops.h"

kx_status_t kx_embedding_extract(const kx_orvel_t* recognizer, const int16_t* pcm, float* sum, int32_t* added) {
    *added = 0;
    kx_device_t* device = recognizer->device;
    const kx_orvel_frontend_t* frontend = recognizer->frontend;
    const kx_network_t* network = recognizer->network;
    const int32_t frames = recognizer->window_frames * KX_FRAME_SAMPLES / frontend->hop_length;
    const int32_t bands = frontend->num_bands;

    kx_buffer_t* features =
        kx_buffer_cache_acquire(device, 4u * static_cast<uint32_t>(frames) * static_cast<uint32_t>(bands));
    if (!features) {
        kx_error_push(&KX_ERR_TENSOR_OOM);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    auto* host_features = static_cast<float*>(kx_buffer_map(device, features, 0));
    kx_status_t status = kx_orvel_frontend_compute(frontend, host_features, pcm, frames * frontend->hop_length);
    kx_buffer_unmap(device, features, 1);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("acb332d");
        kx_buffer_cache_release(device, features);
        return status;
    }

    kx_buffer_t* result = nullptr;
    status = kx_network_run(device, network, features, frames, bands, &result);
    kx_buffer_cache_release(device, features);
    if (status != KX_STATUS_SUCCESS) {
        kx_error_trace("5cdbb5d");
        return status;
    }

    const int32_t size = network->embedding_size;
    const auto* embedding = static_cast<const float*>(kx_buffer_map(device, result, 1));
    float squares = 0.0f;
    for (int32_t r = 0; r < size; ++r) squares += embedding[r] * embedding[r];
    // A vector without a usable length has no direction; it adds nothing.
    if (squares > 0.0f && std::isfinite(squares)) {
        const float gain = 1.0f / std::sqrt(squares);
        for (int32_t r = 0; r < size; ++r) sum[r] = sum[r] + embedding[r] * gain;
        *added = 1;
    }
    kx_buffer_unmap(device, result, 0);
    kx_buffer_cache_release(device, result);
    return KX_STATUS_SUCCESS;
}
