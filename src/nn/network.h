// The speaker-embedding network read from a model file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "device/device.h"

struct kx_lstm_layer_t {
    int32_t hidden_size;
    int32_t input_size;
    kx_buffer_t* weights;  // int8 [3H][H+I]
    kx_buffer_t* bias;     // int8 [3H]
    // The device's rearranged weights for its fused direction; null when it has none.
    kx_buffer_t* workspace;
};

struct kx_network_t {
    int32_t layer_count;
    float norm_epsilon;
    kx_lstm_layer_t* forward;
    kx_lstm_layer_t* backward;
    int32_t embedding_size;
    int32_t pooled_size;
    int32_t projection_kind;
    kx_buffer_t* projection;  // float32 [R][C], null when projection_kind is 0
};

// Reads the network block at the file's position into device buffers.
kx_status_t kx_network_read(kx_device_t* device, FILE* file, kx_network_t** out);
// Frees a network, complete or partly built; null is ignored.
void kx_network_free(kx_device_t* device, kx_network_t* network);
// Features per frame the network expects: layer 0's input size, or the pooled size
// when there are no layers. The model container checks it against the front end.
int32_t kx_network_input_size(const kx_network_t* network);

// The network's forward pass over frames x bands float features: normalisation,
// recurrent layers, pooling and projection. On success *embedding is a buffer from
// the device's scratch cache holding embedding_size floats; the caller releases it.
kx_status_t kx_network_run(kx_device_t* device, const kx_network_t* network, kx_buffer_t* features, int32_t frames,
                           int32_t bands, kx_buffer_t** embedding);

// Makes and fills the layer's workspace when the device's fused direction uses one
// for its sizes (once, while no other call uses the layer).
kx_status_t kx_lstm_layer_prepare(kx_device_t* device, kx_lstm_layer_t* layer);

// One direction of one recurrent layer over T frames of input (T x input_size Q10)
// into output (T x hidden_size Q10): written, or added with saturation.
kx_status_t kx_lstm_direction_run(kx_device_t* device, const kx_lstm_layer_t* layer, kx_buffer_t* output,
                                  kx_buffer_t* input, int32_t frames, bool reverse, bool accumulate);
