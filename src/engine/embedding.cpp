// Speaker embedding extraction: the front end's features through the network, then
// L2 normalisation into the caller's sum.
#include "engine/embedding.h"

#include <cmath>

#include "base/error.h"
#include "engine/recognizer.h"
#include "nn/ops.h"

namespace {

// Sizes of every buffer one extraction acquires: features, embedding, first layer
// input, then per layer its output, cell state and gates, then the pooled vector.
// Whatever an extraction holds at one moment is a part of this list.
int32_t scratch_sizes(const kx_orvel_t* recognizer, uint32_t* sizes) {
    const kx_network_t* network = recognizer->network;
    const uint32_t frames =
        static_cast<uint32_t>(recognizer->window_frames * KX_FRAME_SAMPLES / recognizer->frontend->hop_length);
    const uint32_t bands = static_cast<uint32_t>(recognizer->frontend->num_bands);
    int32_t n = 0;
    auto add = [&](uint32_t size) {
        if (sizes) sizes[n] = size;
        ++n;
    };
    add(4u * frames * bands);
    add(4u * static_cast<uint32_t>(network->embedding_size));
    add(2u * frames * bands);
    for (int32_t i = 0; i < network->layer_count; ++i) {
        const uint32_t h = static_cast<uint32_t>(network->forward[i].hidden_size);
        const uint32_t in = static_cast<uint32_t>(network->forward[i].input_size);
        add(2u * frames * h);
        add(2u * (2 * h + in));
        add(6u * h);
    }
    add(4u * static_cast<uint32_t>(network->pooled_size));
    return n;
}

}  // namespace

int32_t kx_embedding_scratch_count(const kx_orvel_t* recognizer) { return scratch_sizes(recognizer, nullptr); }

kx_status_t kx_embedding_reserve(const kx_orvel_t* recognizer, int32_t copies) {
    if (copies < 1) return KX_STATUS_SUCCESS;
    kx_device_t* device = recognizer->device;
    const int32_t per_copy = scratch_sizes(recognizer, nullptr);
    const int32_t total = per_copy * copies;
    if (total > KX_DEVICE_CACHE_SIZE) return KX_STATUS_INVALID_ARGUMENT;
    uint32_t sizes[KX_DEVICE_CACHE_SIZE];
    kx_buffer_t* taken[KX_DEVICE_CACHE_SIZE];
    scratch_sizes(recognizer, sizes);
    kx_status_t status = KX_STATUS_SUCCESS;
    int32_t n = 0;
    for (; n < total; ++n) {
        taken[n] = kx_buffer_cache_acquire(device, sizes[n % per_copy]);
        if (!taken[n]) {
            kx_error_push(&KX_ERR_TENSOR_OOM);
            status = KX_STATUS_OUT_OF_MEMORY;
            break;
        }
    }
    while (n > 0) kx_buffer_cache_release(device, taken[--n]);
    return status;
}

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
    auto* host_features = static_cast<float*>(kx_buffer_map_or_record(device, features, 0));
    kx_status_t status = KX_STATUS_RUNTIME_ERROR;
    if (host_features) {
        status = kx_orvel_frontend_compute(frontend, host_features, pcm, frames * frontend->hop_length);
        kx_buffer_unmap(device, features, 1);
    }
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
    const auto* embedding = static_cast<const float*>(kx_buffer_map_or_record(device, result, 1));
    if (!embedding) {
        kx_error_trace("5cdbb5d");
        kx_buffer_cache_release(device, result);
        return KX_STATUS_RUNTIME_ERROR;
    }
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
