#include "reference.h"

#include <cmath>
#include <cstring>

#include "frontend/vad.h"
#include "generated/vad_weights.h"

namespace ref {

namespace {

struct Tables {
    int16_t sigmoid[257];
    int32_t fine[128];
    int32_t coarse[128];
    Tables() {
        for (int k = 0; k <= 256; ++k) {
            const double x = k < 128 ? k / 16.0 : (k - 256) / 16.0;
            sigmoid[k] = static_cast<int16_t>(std::floor(32767.0 / (1.0 + std::exp(-x)) + 0.5));
        }
        for (int k = 0; k < 128; ++k) {
            fine[k] = static_cast<int32_t>(std::floor(2147483647.0L * std::exp(-k / 1024.0L) + 0.5L));
            coarse[k] = static_cast<int32_t>(std::floor(2147483647.0L * std::exp(-k / 8.0L) + 0.5L));
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace

const int32_t* softmax_fine() { return tables().fine; }
const int32_t* softmax_coarse() { return tables().coarse; }
int16_t sigmoid_table_entry(int k) { return tables().sigmoid[k]; }

int16_t sat16(int64_t v) { return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }

int16_t sigmoid_q15(int16_t x) {
    int32_t v = x < -8192 ? -8192 : (x > 8128 ? 8128 : x);
    const int32_t u = v < 0 ? v + 16384 : v;
    const int32_t i = u / 64;
    const int32_t f = u % 64;
    const int32_t j = f > 0 ? i + 1 : i;
    const int16_t* t = tables().sigmoid;
    return static_cast<int16_t>((t[i] * (64 - f) + t[j] * f) / 64);
}

int16_t tanh_q15(int16_t x) { return static_cast<int16_t>(2 * sigmoid_q15(sat16(2 * static_cast<int64_t>(x))) - 32768); }

// Floor division by a power of two for possibly negative values.
static int64_t shift_down(int64_t v, int bits) {
    const int64_t d = int64_t{1} << bits;
    return v >= 0 ? v / d : -((-v + d - 1) / d);
}

void linear(const int8_t* weights, const int8_t* bias, int rows, int columns, const int16_t* x, int16_t* y,
            bool accumulate) {
    for (int r = 0; r < rows; ++r) {
        int64_t acc = static_cast<int64_t>(bias[r]) * 1024;
        for (int c = 0; c < columns; ++c) acc += static_cast<int64_t>(weights[r * columns + c]) * x[c];
        const int64_t product = shift_down(acc + 64, 7);
        y[r] = accumulate ? sat16(y[r] + product) : sat16(product);
    }
}

void lstm_cell(int hidden_size, const int16_t* gates, int16_t* cell, int16_t* hidden) {
    for (int k = 0; k < hidden_size; ++k) {
        const int64_t i = sigmoid_q15(gates[k]);
        const int64_t g = tanh_q15(gates[hidden_size + k]);
        const int64_t o = sigmoid_q15(gates[2 * hidden_size + k]);
        const int64_t kept = shift_down(cell[k] * (32767 - i) + 16384, 15);
        const int64_t added = shift_down(i * g + 524288, 20);
        cell[k] = sat16(kept + added);
        const int64_t t = tanh_q15(cell[k]);
        hidden[k] = static_cast<int16_t>(shift_down(t * o + 524288, 20));
    }
}

void softmax(const int16_t* x, int n, int32_t* out) {
    int32_t m = -32768;
    for (int j = 0; j < n; ++j) m = x[j] > m ? x[j] : m;
    std::vector<int64_t> p(n);
    int64_t s = 0;
    for (int j = 0; j < n; ++j) {
        const int32_t d = x[j] - m;
        if (d < -32767) {
            p[j] = 242;
        } else {
            const int32_t g = -d < 16383 ? -d : 16383;
            const int64_t v = (static_cast<int64_t>(softmax_fine()[g % 128]) * softmax_coarse()[g / 128] +
                               (int64_t{1} << 30)) >> 31;
            p[j] = v < 2147483647 ? v : 2147483647;
        }
        s += p[j];
    }
    int64_t f = (int64_t{1} << 62) / s;
    if (f > 2147483647) f = 2147483647;
    for (int j = 0; j < n; ++j) {
        const int64_t v = (p[j] * f + (int64_t{1} << 30)) >> 31;
        out[j] = static_cast<int32_t>(v < 2147483647 ? v : 2147483647);
    }
}

std::vector<int16_t> normalize_quantize(const std::vector<float>& x, int frames, int features, float epsilon) {
    std::vector<int16_t> out(x.size());
    for (int f = 0; f < features; ++f) {
        float sum = 0.0f;
        for (int t = 0; t < frames; ++t) sum += x[t * features + f];
        const float mean = sum / static_cast<float>(frames);
        float squares = 0.0f;
        for (int t = 0; t < frames; ++t) {
            const float d = x[t * features + f] - mean;
            squares += d * d;
        }
        const float var = squares / static_cast<float>(frames);
        const float inv = 1.0f / std::sqrt(var + epsilon);
        for (int t = 0; t < frames; ++t) {
            const float v = ((x[t * features + f] - mean) * inv) * 1024.0f;
            out[t * features + f] = v >= 32767.0f ? 32767 : (v <= -32768.0f ? -32768 : static_cast<int16_t>(v));
        }
    }
    return out;
}

std::vector<int16_t> direction(const kxtest::LayerParams& layer, const std::vector<int16_t>& input, int frames,
                               bool reverse) {
    const int h = layer.hidden_size;
    const int in = layer.input_size;
    std::vector<int16_t> out(static_cast<size_t>(frames) * h);
    std::vector<int16_t> cell(h, 0);
    std::vector<int16_t> x(h + in, 0);  // [hidden; input frame]
    std::vector<int16_t> gates(3 * h);
    for (int k = 0; k < frames; ++k) {
        const int t = reverse ? frames - 1 - k : k;
        std::memcpy(x.data() + h, input.data() + static_cast<size_t>(t) * in, sizeof(int16_t) * in);
        linear(layer.weights.data(), layer.bias.data(), 3 * h, h + in, x.data(), gates.data(), false);
        lstm_cell(h, gates.data(), cell.data(), x.data());
        std::memcpy(out.data() + static_cast<size_t>(t) * h, x.data(), sizeof(int16_t) * h);
    }
    return out;
}

std::vector<float> network(const kxtest::ModelParams& model, const std::vector<float>& features, int frames) {
    std::vector<int16_t> values = normalize_quantize(features, frames, model.num_bands, model.norm_epsilon);
    int width = model.num_bands;
    for (int i = 0; i < model.layer_count; ++i) {
        const std::vector<int16_t> forward = direction(model.forward[i], values, frames, false);
        const std::vector<int16_t> backward = direction(model.backward[i], values, frames, true);
        values.assign(forward.size(), 0);
        for (size_t k = 0; k < forward.size(); ++k) values[k] = sat16(int64_t{forward[k]} + backward[k]);
        width = model.forward[i].hidden_size;
    }
    std::vector<float> pooled(width);
    for (int c = 0; c < width; ++c) {
        int32_t total = 0;
        for (int t = 0; t < frames; ++t) total += values[t * width + c];
        pooled[c] = static_cast<float>(total) * (1.0f / 1024.0f);
    }
    if (model.projection_kind == 0) return pooled;
    std::vector<float> embedding(model.embedding_size);
    for (int r = 0; r < model.embedding_size; ++r) {
        float acc = 0.0f;
        for (int c = 0; c < width; ++c) acc += model.projection[r * width + c] * pooled[c];
        embedding[r] = acc;
    }
    return embedding;
}

std::vector<float> unit(const std::vector<float>& v) {
    float squares = 0.0f;
    for (float x : v) squares += x * x;
    const float gain = 1.0f / std::sqrt(squares);
    std::vector<float> out(v.size());
    for (size_t r = 0; r < v.size(); ++r) out[r] = v[r] * gain;
    return out;
}

int32_t vad_step(VadState& state, const int16_t features[80]) {
    const auto* means = static_cast<const int16_t*>(kx_vad_tensors[8].storage);
    const auto* scales = static_cast<const int16_t*>(kx_vad_tensors[9].storage);
    int16_t x[80];
    for (int t = 0; t < 2; ++t)
        for (int f = 0; f < 40; ++f)
            x[t * 40 + f] = sat16(shift_down((static_cast<int64_t>(features[t * 40 + f]) - means[f]) * scales[f], 10));
    int16_t gates[240];
    linear(kx_vad_layer1_input_weights, kx_vad_layer1_input_bias, 240, 80, x, gates, false);
    linear(kx_vad_layer1_recurrent_weights, kx_vad_layer1_recurrent_bias, 240, 80, state.hidden1, gates, true);
    lstm_cell(80, gates, state.cell1, state.hidden1);
    linear(kx_vad_layer2_input_weights, kx_vad_layer2_input_bias, 240, 80, state.hidden1, gates, false);
    linear(kx_vad_layer2_recurrent_weights, kx_vad_layer2_recurrent_bias, 240, 80, state.hidden2, gates, true);
    lstm_cell(80, gates, state.cell2, state.hidden2);
    int16_t logits[2];
    linear(kx_vad_output_weights, kx_vad_output_bias, 2, 80, state.hidden2, logits, false);
    int32_t probabilities[2];
    softmax(logits, 2, probabilities);
    return probabilities[1];
}

}  // namespace ref
