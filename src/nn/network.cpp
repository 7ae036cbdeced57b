// Reading the network block of a model file into device buffers, and freeing it.
#include "nn/network.h"

#include <cstring>
#include <initializer_list>

#include "base/error.h"
#include "base/memory.h"

namespace {

// More layers than this is no model anyone trains; the bound keeps the layer arrays small.
constexpr int32_t kMaxLayers = 1024;
constexpr int64_t kMaxBytes = INT32_MAX;

// The file and how many bytes it still holds (-1 when the stream cannot tell), so that
// a size beyond the end of the file is refused before anything that large is allocated.
struct Reader {
    FILE* file;
    int64_t left;

    bool read(void* destination, int64_t bytes) {
        if (left >= 0 && bytes > left) return false;
        const size_t got = bytes > 0 ? std::fread(destination, 1, static_cast<size_t>(bytes), file) : 0;
        if (left >= 0) left -= static_cast<int64_t>(got);
        return got == static_cast<size_t>(bytes);
    }
    bool holds(int64_t bytes) const { return left < 0 || bytes <= left; }

    bool read_int32(int32_t* value) {
        uint8_t b[4];
        if (!read(b, 4)) return false;
        *value = static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
        return true;
    }
    bool read_float(float* value) {
        int32_t bits;
        if (!read_int32(&bits)) return false;
        std::memcpy(value, &bits, sizeof(*value));
        return true;
    }
};

int64_t bytes_left(FILE* file) {
    const long position = std::ftell(file);
    if (position < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(file);
    if (std::fseek(file, position, SEEK_SET) != 0) return -1;
    return end < position ? -1 : static_cast<int64_t>(end - position);
}

enum class Outcome { done, short_file, no_buffer };

Outcome create_buffer(kx_device_t* device, uint32_t bytes, kx_buffer_t** out) {
    *out = kx_buffer_create(device, bytes, 0);
    return *out ? Outcome::done : Outcome::no_buffer;
}

// Reads a buffer's contents from the file straight into its mapping.
Outcome fill(kx_device_t* device, Reader* reader, kx_buffer_t* buffer, uint32_t bytes) {
    void* mapping = kx_buffer_map_or_record(device, buffer, 0);
    if (!mapping) return Outcome::no_buffer;
    const bool complete = reader->read(mapping, bytes);
    kx_buffer_unmap(device, buffer, 1);
    return complete ? Outcome::done : Outcome::short_file;
}

// Records and maps the result of creating and filling parameter buffers.
kx_status_t outcome_status(Outcome outcome) {
    if (outcome == Outcome::no_buffer) {
        kx_error_push(&KX_ERR_TENSOR_OOM);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    if (outcome == Outcome::short_file) {
        kx_error_trace("5143e09");
        return KX_STATUS_IO_ERROR;
    }
    return KX_STATUS_SUCCESS;
}


const char* direction_name(bool backward) { return backward ? "backward" : "forward"; }

// Reads one direction of layer `index`; `forward` is the forward direction of the same
// layer when reading a backward one, and `previous` the forward direction of the layer
// before (both for the shape checks).
kx_status_t read_layer(kx_device_t* device, Reader* reader, int32_t index, bool backward,
                       const kx_lstm_layer_t* previous, const kx_lstm_layer_t* forward, kx_lstm_layer_t* layer) {
    int32_t h = 0;
    int32_t i = 0;
    if (!reader->read_int32(&h) || !reader->read_int32(&i)) {
        kx_error_push(&KX_ERR_FILE_READ);
        return KX_STATUS_IO_ERROR;
    }
    const char* name = direction_name(backward);
    if (h <= 0) {
        kx_error_push_unusable("hidden_size %d of %s layer %d", h, name, index);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (i <= 0) {
        kx_error_push_unusable("input_size %d of %s layer %d", i, name, index);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    // 3·H·(H+I) compared by division: the product of two int32 extremes overflows even 64 bits.
    if (int64_t{h} + i > kMaxBytes / (3 * int64_t{h})) {
        kx_error_push_unusable("hidden_size %d and input_size %d of %s layer %d (weights beyond 2^31 bytes)",
                               h, i, name, index);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (forward && (h != forward->hidden_size || i != forward->input_size)) {
        kx_error_push_unusable("hidden_size %d and input_size %d of backward layer %d (forward direction has %d and %d)",
                               h, i, index, forward->hidden_size, forward->input_size);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (!forward && previous && i != previous->hidden_size) {
        kx_error_push_unusable("input_size %d of forward layer %d (layer %d has hidden_size %d)",
                               i, index, index - 1, previous->hidden_size);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    layer->hidden_size = h;
    layer->input_size = i;

    const uint32_t weights = static_cast<uint32_t>(3 * int64_t{h} * (int64_t{h} + i));
    const uint32_t bias = static_cast<uint32_t>(3 * h);
    if (!reader->holds(int64_t{weights} + bias)) {
        kx_error_trace("5143e09");
        return KX_STATUS_IO_ERROR;
    }
    Outcome outcome = create_buffer(device, weights, &layer->weights);
    if (outcome == Outcome::done) outcome = create_buffer(device, bias, &layer->bias);
    if (outcome == Outcome::done) outcome = fill(device, reader, layer->weights, weights);
    if (outcome == Outcome::done) outcome = fill(device, reader, layer->bias, bias);
    if (outcome == Outcome::done && kx_lstm_layer_prepare(device, layer) != KX_STATUS_SUCCESS)
        outcome = Outcome::no_buffer;
    return outcome_status(outcome);
}

// Reads and checks the three projection integers and the matrix.
kx_status_t read_projection(kx_device_t* device, Reader* reader, kx_network_t* network) {
    int32_t r = 0;
    int32_t c = 0;
    int32_t kind = 0;
    if (!reader->read_int32(&r) || !reader->read_int32(&c) || !reader->read_int32(&kind)) {
        kx_error_push(&KX_ERR_FILE_READ);
        return KX_STATUS_IO_ERROR;
    }
    const int32_t layers = network->layer_count;
    // Pooled and embedding vectors are float32 buffers of 4·size bytes.
    if (c <= 0 || 4 * int64_t{c} > kMaxBytes) {
        kx_error_push_unusable("pooled_size %d", c);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (layers > 0 && c != network->forward[layers - 1].hidden_size) {
        kx_error_push_unusable("pooled_size %d (last layer has hidden_size %d)",
                               c, network->forward[layers - 1].hidden_size);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (r <= 0 || 4 * int64_t{r} > kMaxBytes) {
        kx_error_push_unusable("embedding_size %d", r);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (kind == 0 && r != c) {
        kx_error_push_unusable("embedding_size %d without projection (pooled_size is %d)", r, c);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    const int64_t matrix_bytes = 4 * int64_t{r} * c;
    if (kind != 0 && matrix_bytes > kMaxBytes) {
        kx_error_push_unusable("embedding_size %d and pooled_size %d (projection beyond 2^31 bytes)", r, c);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    network->embedding_size = r;
    network->pooled_size = c;
    network->projection_kind = kind;
    if (kind == 0) return KX_STATUS_SUCCESS;

    // Any non-zero kind carries a matrix; kinds other than 1 are refused when run.
    if (!reader->holds(matrix_bytes)) {
        kx_error_trace("5143e09");
        return KX_STATUS_IO_ERROR;
    }
    Outcome outcome = create_buffer(device, static_cast<uint32_t>(matrix_bytes), &network->projection);
    if (outcome == Outcome::done) outcome = fill(device, reader, network->projection, static_cast<uint32_t>(matrix_bytes));
    return outcome_status(outcome);
}

kx_status_t read_network(kx_device_t* device, Reader* reader, kx_network_t* network) {
    int32_t layers = 0;
    if (!reader->read_int32(&layers) || !reader->read_float(&network->norm_epsilon)) {
        kx_error_push(&KX_ERR_FILE_READ);
        return KX_STATUS_IO_ERROR;
    }
    if (layers < 0 || layers > kMaxLayers) {
        kx_error_push_unusable("layer_count %d", layers);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    network->layer_count = layers;
    const uint32_t array_bytes = static_cast<uint32_t>(layers) * static_cast<uint32_t>(sizeof(kx_lstm_layer_t));
    for (kx_lstm_layer_t** array : {&network->forward, &network->backward}) {
        *array = static_cast<kx_lstm_layer_t*>(kx_host_malloc(array_bytes));
        if (!*array) {
            kx_error_push(&KX_ERR_OUT_OF_MEMORY);
            return KX_STATUS_OUT_OF_MEMORY;
        }
        std::memset(*array, 0, array_bytes);
    }

    for (int pass = 0; pass < 2; ++pass) {
        const bool backward = pass == 1;
        for (int32_t i = 0; i < layers; ++i) {
            kx_lstm_layer_t* layer = backward ? &network->backward[i] : &network->forward[i];
            const kx_lstm_layer_t* previous = i > 0 ? &network->forward[i - 1] : nullptr;
            const kx_lstm_layer_t* forward = backward ? &network->forward[i] : nullptr;
            const kx_status_t status = read_layer(device, reader, i, backward, previous, forward, layer);
            if (status != KX_STATUS_SUCCESS) {
                kx_error_trace("8c960ef");
                return status;
            }
        }
    }

    const kx_status_t status = read_projection(device, reader, network);
    if (status != KX_STATUS_SUCCESS) kx_error_trace("8cc8d77");
    return status;
}

}  // namespace

kx_status_t kx_network_read(kx_device_t* device, FILE* file, kx_network_t** out) {
    auto* network = static_cast<kx_network_t*>(kx_host_malloc(sizeof(kx_network_t)));
    if (!network) {
        kx_error_push(&KX_ERR_OUT_OF_MEMORY);
        return KX_STATUS_OUT_OF_MEMORY;
    }
    std::memset(network, 0, sizeof(*network));
    Reader reader{file, bytes_left(file)};
    const kx_status_t status = read_network(device, &reader, network);
    if (status != KX_STATUS_SUCCESS) {
        kx_network_free(device, network);
        return status;
    }
    *out = network;
    return KX_STATUS_SUCCESS;
}

namespace {

void free_layers(kx_device_t* device, kx_lstm_layer_t* layers, int32_t count) {
    if (!layers) return;
    for (int32_t i = count - 1; i >= 0; --i) {
        if (layers[i].workspace) kx_buffer_destroy(device, layers[i].workspace);
        if (layers[i].bias) kx_buffer_destroy(device, layers[i].bias);
        if (layers[i].weights) kx_buffer_destroy(device, layers[i].weights);
    }
}

}  // namespace

void kx_network_free(kx_device_t* device, kx_network_t* network) {
    if (!network) return;
    if (network->projection) kx_buffer_destroy(device, network->projection);
    free_layers(device, network->backward, network->layer_count);
    free_layers(device, network->forward, network->layer_count);
    kx_host_free(network->backward);
    kx_host_free(network->forward);
    kx_host_free(network);
}

int32_t kx_network_input_size(const kx_network_t* network) {
    return network->layer_count > 0 ? network->forward[0].input_size : network->pooled_size;
}
