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
