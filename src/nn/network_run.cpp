// The network's forward pass: per-window normalisation, bidirectional recurrent
// layers, sum pooling and projection.
#include <cstring>

#include "base/error.h"
#include "nn/network.h"
#include "nn/ops.h"

namespace {

kx_op_args_t make_args() {
    kx_op_args_t args;
    std::memset(&args, 0, sizeof(args));
    return args;
}

kx_status_t run_op(kx_device_t* device, kx_op_t op, const kx_op_args_t& args) {
    const kx_status_t status = kx_op_execute(device, op, &args);
    if (status != KX_STATUS_SUCCESS) kx_error_push(&KX_ERR_OPERATOR, "execute");
    return status;
}

kx_buffer_t* acquire(kx_device_t* device, uint32_t size) {
    kx_buffer_t* buffer = kx_buffer_cache_acquire(device, size);
    if (!buffer) kx_error_push(&KX_ERR_TENSOR_OOM);
    return buffer;
}

// Projection (kind 1) or copy (kind 0) of the pooled vector into the embedding.
kx_status_t project(kx_device_t* device, const kx_network_t* network, kx_buffer_t* embedding, kx_buffer_t* pooled) {
    kx_op_args_t args = make_args();
    kx_status_t status;
    if (network->projection_kind == 1) {
        args.buffers[0] = embedding;
        args.buffers[1] = pooled;
        args.buffers[2] = network->projection;
        args.ints[0] = 1;
        args.ints[1] = network->embedding_size;
        args.ints[2] = network->pooled_size;
        status = run_op(device, KX_OP_MATMUL_F32, args);
    } else if (network->projection_kind == 0) {
        args.buffers[0] = embedding;
        args.buffers[1] = pooled;
        args.ints[0] = 4 * network->embedding_size;
        status = run_op(device, KX_OP_COPY, args);
    } else {
        status = KX_STATUS_RUNTIME_ERROR;
    }
    if (status != KX_STATUS_SUCCESS) kx_error_trace("58c33c1");
    return status;
}

// Scratch buffers of one pass; every one taken goes back to the cache.
struct Scratch {
    kx_device_t* device;
    kx_buffer_t* features;  // the caller's
    kx_buffer_t* embedding;
    kx_buffer_t* layer_input;
    kx_buffer_t* layer_output;
    kx_buffer_t* pooled;

    void give_back(kx_buffer_t*& buffer) {
        kx_buffer_cache_release(device, buffer);
        buffer = nullptr;
    }
    void give_back_all() {
        give_back(pooled);
        give_back(layer_output);
        give_back(layer_input);
        give_back(embedding);
    }
};

// Quantised features through the layers, pooling and projection into the embedding.
kx_status_t run_network(Scratch& s, const kx_network_t* network, int32_t frames, int32_t bands) {
    kx_device_t* device = s.device;
    s.embedding = acquire(device, 4u * static_cast<uint32_t>(network->embedding_size));
    if (!s.embedding) return KX_STATUS_OUT_OF_MEMORY;
    s.layer_input = acquire(device, 2u * static_cast<uint32_t>(frames) * static_cast<uint32_t>(bands));
    if (!s.layer_input) return KX_STATUS_OUT_OF_MEMORY;

    kx_op_args_t args = make_args();
    args.buffers[0] = s.layer_input;
    args.buffers[1] = s.features;
    std::memcpy(&args.ints[0], &network->norm_epsilon, sizeof(float));
    args.ints[1] = frames;
    args.ints[2] = bands;
    kx_status_t status = run_op(device, KX_OP_NORMALIZE_QUANTIZE, args);
    if (status != KX_STATUS_SUCCESS) return status;

    int32_t width = bands;
    for (int32_t i = 0; i < network->layer_count; ++i) {
        const int32_t hidden = network->forward[i].hidden_size;
        s.layer_output = acquire(device, 2u * static_cast<uint32_t>(frames) * static_cast<uint32_t>(hidden));
        if (!s.layer_output) return KX_STATUS_OUT_OF_MEMORY;
        status = kx_lstm_direction_run(device, &network->forward[i], s.layer_output, s.layer_input, frames, false,
                                       false);
        if (status == KX_STATUS_SUCCESS)
            status = kx_lstm_direction_run(device, &network->backward[i], s.layer_output, s.layer_input, frames,
                                           true, true);
        if (status != KX_STATUS_SUCCESS) {
            kx_error_trace("ef77e92");
            return status;
        }
        s.give_back(s.layer_input);
        s.layer_input = s.layer_output;
        s.layer_output = nullptr;
        width = hidden;
    }

    s.pooled = acquire(device, 4u * static_cast<uint32_t>(network->pooled_size));
    if (!s.pooled) return KX_STATUS_OUT_OF_MEMORY;
    args = make_args();
    args.buffers[0] = s.pooled;
    args.buffers[1] = s.layer_input;
    args.ints[0] = frames;
    args.ints[1] = width;
    status = run_op(device, KX_OP_SUM_POOL, args);
    if (status != KX_STATUS_SUCCESS) return status;
    return project(device, network, s.embedding, s.pooled);
}

// The direction frame by frame through the operators, in state ([cell; hidden; input])
// and gates.
kx_status_t run_steps(kx_device_t* device, const kx_lstm_layer_t* layer, kx_buffer_t* output, kx_buffer_t* input,
                      int32_t frames, bool reverse, bool accumulate, kx_buffer_t* state, kx_buffer_t* gates) {
    const int32_t h = layer->hidden_size;
    const int32_t in = layer->input_size;
    // Cell and hidden start at zero for every window and direction.
    kx_op_args_t args = make_args();
    args.buffers[0] = state;
    args.ints[0] = 4 * h;
    kx_status_t status = run_op(device, KX_OP_ZERO, args);

    for (int32_t k = 0; k < frames && status == KX_STATUS_SUCCESS; ++k) {
        const int32_t t = reverse ? frames - 1 - k : k;
        args = make_args();  // current input frame after cell and hidden
        args.buffers[0] = state;
        args.buffers[1] = input;
        args.ints[0] = 2 * in;
        args.ints[1] = 4 * h;
        args.ints[2] = 2 * in * t;
        status = run_op(device, KX_OP_COPY, args);
        if (status != KX_STATUS_SUCCESS) break;

        args = make_args();  // gates from [hidden; input]
        args.buffers[0] = gates;
        args.buffers[1] = state;
        args.buffers[2] = layer->weights;
        args.buffers[3] = layer->bias;
        args.ints[0] = 1;
        args.ints[1] = 3 * h;
        args.ints[2] = h + in;
        args.ints[3] = 0;
        args.ints[4] = 2 * h;
        status = run_op(device, KX_OP_LINEAR, args);
        if (status != KX_STATUS_SUCCESS) break;

        args = make_args();  // new hidden in place, cell at offset 0
        args.buffers[0] = state;
        args.buffers[1] = state;
        args.buffers[2] = gates;
        args.ints[0] = h;
        args.ints[1] = 2 * h;
        args.ints[2] = 0;
        args.ints[3] = 0;
        status = run_op(device, KX_OP_LSTM_CELL, args);
        if (status != KX_STATUS_SUCCESS) break;

        args = make_args();
        if (accumulate) {
            args.buffers[0] = output;
            args.buffers[1] = output;
            args.buffers[2] = state;
            args.ints[0] = h;
            args.ints[1] = 2 * h * t;
            args.ints[2] = 2 * h * t;
            args.ints[3] = 2 * h;
            status = run_op(device, KX_OP_ADD, args);
        } else {
            args.buffers[0] = output;
            args.buffers[1] = state;
            args.ints[0] = 2 * h;
            args.ints[1] = 2 * h * t;
            args.ints[2] = 2 * h;
            status = run_op(device, KX_OP_COPY, args);
        }
    }
    return status;
}

}  // namespace

kx_status_t kx_lstm_layer_prepare(kx_device_t* device, kx_lstm_layer_t* layer) {
    const int64_t bytes = kx_op_lstm_sequence_workspace(device, layer->hidden_size, layer->input_size);
    if (bytes <= 0) return KX_STATUS_SUCCESS;
    // Without its workspace the direction runs operator by operator: slower, the same.
    layer->workspace = kx_buffer_create(device, static_cast<uint32_t>(bytes), 0);
    if (!layer->workspace) return KX_STATUS_SUCCESS;
    // Cleared so that its header names no weights; the call with no frames fills it.
    void* mapping = kx_buffer_map(device, layer->workspace, 0);
    if (!mapping) {
        kx_buffer_destroy(device, layer->workspace);
        layer->workspace = nullptr;
        return KX_STATUS_SUCCESS;
    }
    std::memset(mapping, 0, 128);
    kx_buffer_unmap(device, layer->workspace, 1);
    const kx_lstm_sequence_t fill = {nullptr, nullptr, layer->weights, layer->bias, layer->workspace,
                                     layer->hidden_size, layer->input_size, 0, false, false};
    if (kx_op_lstm_sequence(device, &fill) != KX_STATUS_SUCCESS) {  // the operators run instead
        kx_buffer_destroy(device, layer->workspace);
        layer->workspace = nullptr;
    }
    return KX_STATUS_SUCCESS;
}

kx_status_t kx_lstm_direction_run(kx_device_t* device, const kx_lstm_layer_t* layer, kx_buffer_t* output,
                                  kx_buffer_t* input, int32_t frames, bool reverse, bool accumulate) {
    const int32_t h = layer->hidden_size;
    const int32_t in = layer->input_size;
    // Taken on the fused path too, so that both paths allocate alike.
    kx_buffer_t* state = acquire(device, 2u * static_cast<uint32_t>(2 * h + in));
    if (!state) return KX_STATUS_OUT_OF_MEMORY;
    kx_buffer_t* gates = acquire(device, 6u * static_cast<uint32_t>(h));
    if (!gates) {
        kx_buffer_cache_release(device, state);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    const kx_lstm_sequence_t sequence = {output, input, layer->weights, layer->bias, layer->workspace,
                                         h,      in,    frames,         reverse,     accumulate};
    kx_status_t status = kx_op_lstm_sequence(device, &sequence);
    if (status == KX_STATUS_INVALID_ARGUMENT)
        status = run_steps(device, layer, output, input, frames, reverse, accumulate, state, gates);
    kx_buffer_cache_release(device, gates);
    kx_buffer_cache_release(device, state);
    return status;
}

kx_status_t kx_network_run(kx_device_t* device, const kx_network_t* network, kx_buffer_t* features, int32_t frames,
                           int32_t bands, kx_buffer_t** embedding) {
    *embedding = nullptr;
    Scratch s;
    std::memset(&s, 0, sizeof(s));
    s.device = device;
    s.features = features;
    const kx_status_t status = run_network(s, network, frames, bands);
    if (status != KX_STATUS_SUCCESS) {
        s.give_back_all();
        return status;
    }
    s.give_back(s.pooled);
    s.give_back(s.layer_input);
    *embedding = s.embedding;
    return KX_STATUS_SUCCESS;
}
