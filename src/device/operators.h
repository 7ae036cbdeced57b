// What devices and the network runtime share: operator codes, argument records and
// the fixed-point tables used by both the reference operators and the kernels.
#pragma once

#include <cstdint>

struct kx_buffer_t;

enum kx_op_t : int32_t {
    KX_OP_ADD = 0,
    KX_OP_LINEAR_ACCUMULATE = 1,
    KX_OP_LINEAR = 2,
    KX_OP_GELU = 3,
    KX_OP_NORMALIZE_QUANTIZE = 4,
    KX_OP_LSTM_CELL = 5,
    KX_OP_MATMUL_F32 = 6,
    KX_OP_COPY = 7,
    KX_OP_ZERO = 8,
    KX_OP_RELU = 9,
    KX_OP_SOFTMAX = 10,
    KX_OP_STANDARDIZE = 11,
    KX_OP_SUM_POOL = 12,
};
constexpr int KX_OP_COUNT = 13;

// Argument record: the operator's buffers, then its int32 arguments, each in the
// order of the operator table (for example LINEAR: out, in, weights, bias; vectors,
// rows, columns, out offset, in offset).
struct kx_op_args_t {
    kx_buffer_t* buffers[4];
    int32_t ints[6];
};

// One direction of a recurrent layer over a whole sequence in one call: per frame the
// product of [hidden; input] with the gate weights, the coupled-gate cell and the
// output row (written, or added with saturation), from zero state. Equal bit for
// bit to LINEAR, LSTM_CELL and COPY / ADD run frame by frame. Buffers: output
// [frames][hidden] and input [frames][input_size] int16, weights int8
// [3 hidden][hidden + input_size] (hidden columns first), bias int8 [3 hidden].
// workspace (null, or the bytes the device kind asks for these sizes) keeps the
// weights rearranged for the device between calls: a call that finds it holding other
// weights fills it, so the first call on it (the network's, at load, with no frames)
// must not run beside others, and the weights must not change while it is in use.
struct kx_lstm_sequence_t {
    kx_buffer_t* output;
    kx_buffer_t* input;
    kx_buffer_t* weights;
    kx_buffer_t* bias;
    kx_buffer_t* workspace;
    int32_t hidden;
    int32_t input_size;
    int32_t frames;
    bool reverse;
    bool accumulate;
};

// One step of a recurrent layer whose input and hidden products are rounded apart
// (LINEAR of the input, then LINEAR_ACCUMULATE of the hidden state into the gates),
// then the coupled-gate cell: equal bit for bit to those three operators. hidden and
// cell [hidden_size] int16 are updated in place; input [input_size] int16; weights
// int8 [3 hidden_size][input_size] and [3 hidden_size][hidden_size], biases int8
// [3 hidden_size]. workspace, at least kx_lstm_step_workspace_bytes, belongs to the
// device between the steps of one layer: it may keep the weights rearranged there,
// so the weights must not change while it is in use.
struct kx_lstm_step_t {
    kx_buffer_t* hidden;
    kx_buffer_t* cell;
    kx_buffer_t* input;
    kx_buffer_t* input_weights;
    kx_buffer_t* input_bias;
    kx_buffer_t* hidden_weights;
    kx_buffer_t* hidden_bias;
    kx_buffer_t* workspace;
    int32_t hidden_size;
    int32_t input_size;
};

constexpr int64_t kx_lstm_step_workspace_bytes(int64_t hidden_size, int64_t input_size) {
    return 128 + 12 * hidden_size * ((input_size + 3) / 4 + (hidden_size + 3) / 4);
}

struct kx_op_arity_t {
    uint8_t buffers;
    uint8_t ints;
};
extern const kx_op_arity_t kx_op_arity[KX_OP_COUNT];

// Fixed-point nonlinearities shared by the reference cell and the CPU kernels.
extern const int16_t kx_sigmoid_table[257];
int16_t kx_sigmoid_q15(int16_t x);
void kx_tanh_q15(const int16_t* in, int16_t* out, int32_t count);

// Q31 softmax exponent tables, and e^(-g/1024) in Q31 from them for g in [0, 16383].
extern const int32_t kx_softmax_fine_table[128];
extern const int32_t kx_softmax_coarse_table[128];
int64_t kx_softmax_exponent(int32_t g);
