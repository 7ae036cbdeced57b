// Straightforward transcriptions of the network arithmetic, used to check the
// runtime-driven paths (embedding, detector program) value for value.
#pragma once

#include <cstdint>
#include <vector>

#include "support/model_writer.h"

namespace ref {

int16_t sat16(int64_t v);
int16_t sigmoid_q15(int16_t x);
int16_t tanh_q15(int16_t x);
extern const int32_t* softmax_fine();    // 128 entries
extern const int32_t* softmax_coarse();  // 128 entries
int16_t sigmoid_table_entry(int k);

// y = W x + b (Q10 out); with accumulate, y += that product.
void linear(const int8_t* weights, const int8_t* bias, int rows, int columns, const int16_t* x, int16_t* y,
            bool accumulate);
// Coupled-gate cell on 3H gate inputs; updates cell and hidden.
void lstm_cell(int hidden_size, const int16_t* gates, int16_t* cell, int16_t* hidden);
void softmax(const int16_t* x, int n, int32_t* out);

// [frames][features] float features to Q10.
std::vector<int16_t> normalize_quantize(const std::vector<float>& x, int frames, int features, float epsilon);
// One direction of a layer over frames x input_size values.
std::vector<int16_t> direction(const kxtest::LayerParams& layer, const std::vector<int16_t>& input, int frames,
                               bool reverse);
// Layers, pooling and projection: the embedding before normalisation.
std::vector<float> network(const kxtest::ModelParams& model, const std::vector<float>& features, int frames);
// Unit-length copy (float32 sum of squares, 1/sqrt).
std::vector<float> unit(const std::vector<float>& v);

// The detector network for one frame of 80 features; h/c hold 4 x 80 state values.
struct VadState {
    int16_t hidden1[80] = {};
    int16_t cell1[80] = {};
    int16_t hidden2[80] = {};
    int16_t cell2[80] = {};
};
int32_t vad_step(VadState& state, const int16_t features[80]);  // Q31 voice probability

}  // namespace ref
