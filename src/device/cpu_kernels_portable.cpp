// Portable code paths of the CPU kernels (scalar; the compiler may use SSE2).
#include "device/cpu_kernels_paths.h"
#include "device/operators.h"

using kx_cpu::load;
using kx_cpu::saturate16;
using kx_cpu::store;

void kx_cpu_add_portable(uint8_t* out, const uint8_t* a, const uint8_t* b, int64_t n) {
    for (int64_t k = 0; k < n; ++k) store<int16_t>(out, k, saturate16(load<int16_t>(a, k) + load<int16_t>(b, k)));
}

void kx_cpu_linear_outputs_portable(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    const int64_t rows = b->rows;
    const int64_t columns = b->columns;
    for (int64_t i = first; i < last; ++i) {
        const int64_t v = i / rows;
        const int64_t r = i - v * rows;
        const uint8_t* x = b->in + 2 * columns * v;
        const int8_t* w = b->weights + r * columns;
        uint32_t sum = 0;
        int64_t c = 0;
        // 16 columns per step as pairs of products, then single columns.
        for (; c + 16 <= columns; c += 16)
            for (int64_t j = c; j < c + 16; j += 2)
                sum += static_cast<uint32_t>(w[j] * int32_t{load<int16_t>(x, j)} +
                                             w[j + 1] * int32_t{load<int16_t>(x, j + 1)});
        for (; c < columns; ++c) sum += static_cast<uint32_t>(w[c] * int32_t{load<int16_t>(x, c)});
        kx_cpu::linear_finish(b, b->out + 2 * rows * v, r, sum);
    }
}

void kx_cpu_lstm_portable(const kx_cpu_lstm_block_t* b, int64_t first, int64_t n) {
    const int64_t h = b->size;
    for (int64_t k = first; k < first + n; ++k) {
        const int32_t i = kx_sigmoid_q15(load<int16_t>(b->gates, k));
        int16_t g = load<int16_t>(b->gates, h + k);
        kx_tanh_q15(&g, &g, 1);
        const int32_t o = kx_sigmoid_q15(load<int16_t>(b->gates, 2 * h + k));
        const int32_t c = load<int16_t>(b->cell, k);
        int16_t updated = saturate16(((c * (32767 - i) + 16384) >> 15) + ((i * g + 524288) >> 20));
        store<int16_t>(b->cell, k, updated);
        int16_t t;
        kx_tanh_q15(&updated, &t, 1);
        // The gates scratch ends as the reference leaves it: tanh of the cell, o.
        store<int16_t>(b->gates, k, t);
        store<int16_t>(b->gates, 2 * h + k, static_cast<int16_t>(o));
        store<int16_t>(b->hidden, k, static_cast<int16_t>((t * o + 524288) >> 20));
    }
}

// Frame by frame what LINEAR, LSTM_CELL and COPY / ADD compute: one 32-bit sum
// (wrap-around) over [hidden; input], one rounding, the cell, the output row.
void kx_cpu_lstm_sequence_portable(const kx_cpu_sequence_block_t* b) {
    const int64_t h = b->hidden, in = b->input_size, k = h + in;
    int16_t hidden[KX_CPU_FUSED_MAX_HIDDEN] = {}, cell[KX_CPU_FUSED_MAX_HIDDEN] = {};
    int16_t gates[3 * KX_CPU_FUSED_MAX_HIDDEN];
    const kx_cpu_lstm_block_t lanes = {reinterpret_cast<uint8_t*>(hidden), reinterpret_cast<uint8_t*>(cell),
                                       reinterpret_cast<uint8_t*>(gates), h, 0};
    for (int64_t step = 0; step < b->frames; ++step) {
        const int64_t t = b->reverse ? b->frames - 1 - step : step;
        const uint8_t* x = b->in + 2 * in * t;
        for (int64_t r = 0; r < 3 * h; ++r) {
            const int8_t* w = b->weights + r * k;
            uint32_t sum = 0;
            for (int64_t j = 0; j < h; ++j) sum += static_cast<uint32_t>(w[j] * int32_t{hidden[j]});
            for (int64_t c = 0; c < in; ++c) sum += static_cast<uint32_t>(w[h + c] * int32_t{load<int16_t>(x, c)});
            const uint32_t acc = sum + static_cast<uint32_t>(b->bias[r] * 1024);
            gates[r] = saturate16(static_cast<int32_t>(acc + 64u) >> 7);
        }
        kx_cpu_lstm_portable(&lanes, 0, h);
        uint8_t* y = b->out + 2 * h * t;
        for (int64_t j = 0; j < h; ++j)
            store<int16_t>(y, j, b->accumulate ? saturate16(load<int16_t>(y, j) + hidden[j]) : hidden[j]);
    }
}

void kx_cpu_lstm_step_portable(const kx_cpu_step_block_t* b) {
    const int64_t h = b->hidden_size, in = b->input_size;
    int16_t gates[3 * KX_CPU_FUSED_MAX_HIDDEN];
    for (int64_t r = 0; r < 3 * h; ++r) {
        uint32_t x_sum = 0, h_sum = 0;
        for (int64_t c = 0; c < in; ++c)
            x_sum += static_cast<uint32_t>(b->input_weights[r * in + c] * int32_t{load<int16_t>(b->in, c)});
        for (int64_t j = 0; j < h; ++j)
            h_sum += static_cast<uint32_t>(b->hidden_weights[r * h + j] * int32_t{load<int16_t>(b->hidden, j)});
        const int32_t x_part = static_cast<int32_t>(x_sum + static_cast<uint32_t>(b->input_bias[r] * 1024) + 64u) >> 7;
        const int32_t h_part = static_cast<int32_t>(h_sum + static_cast<uint32_t>(b->hidden_bias[r] * 1024) + 64u) >> 7;
        gates[r] = saturate16(saturate16(x_part) + h_part);
    }
    const kx_cpu_lstm_block_t lanes = {b->hidden, b->cell, reinterpret_cast<uint8_t*>(gates), h, 0};
    kx_cpu_lstm_portable(&lanes, 0, h);
}

void kx_cpu_matmul_portable(const kx_cpu_matmul_block_t* b, int64_t first, int64_t last) {
    const int64_t rows = b->rows;
    const int64_t columns = b->columns;
    for (int64_t i = first; i < last; ++i) {
        const int64_t v = i / rows;
        const int64_t r = i - v * rows;
        const uint8_t* x = b->in + 4 * columns * v;
        const uint8_t* m = b->matrix + 4 * columns * r;
        // Products four at a time, added one by one in column order.
        float sum = 0.0f;
        int64_t c = 0;
        for (; c + 4 <= columns; c += 4) {
            const float p0 = load<float>(x, c) * load<float>(m, c);
            const float p1 = load<float>(x, c + 1) * load<float>(m, c + 1);
            const float p2 = load<float>(x, c + 2) * load<float>(m, c + 2);
            const float p3 = load<float>(x, c + 3) * load<float>(m, c + 3);
            sum += p0;
            sum += p1;
            sum += p2;
            sum += p3;
        }
        for (; c < columns; ++c) sum += load<float>(x, c) * load<float>(m, c);
        store<float>(b->out, i, sum);
    }
}

void kx_cpu_softmax_portable(const kx_cpu_softmax_block_t* b, int64_t first, int64_t last) {
    const int64_t length = b->length;
    for (int64_t row = first; row < last; ++row) {
        const uint8_t* x = b->in + 2 * length * row;
        uint8_t* y = b->out + 4 * length * row;
        int32_t max = -32768;
        for (int64_t j = 0; j < length; ++j) {
            const int32_t v = load<int16_t>(x, j);
            if (v > max) max = v;
        }
        // The exponents go into the output row first, then are scaled in place.
        int64_t sum = 0;
        for (int64_t j = 0; j < length; ++j) {
            const int32_t d = load<int16_t>(x, j) - max;
            const int64_t p = d < -32767 ? 242 : kx_softmax_exponent(-d < 16383 ? -d : 16383);
            store<int32_t>(y, j, static_cast<int32_t>(p));
            sum += p;
        }
        int64_t f = (int64_t{1} << 62) / sum;
        if (f > 2147483647) f = 2147483647;
        for (int64_t j = 0; j < length; ++j) {
            const int64_t out = (int64_t{load<int32_t>(y, j)} * f + (int64_t{1} << 30)) >> 31;
            store<int32_t>(y, j, static_cast<int32_t>(out < 2147483647 ? out : 2147483647));
        }
    }
}

void kx_cpu_standardize_portable(const kx_cpu_standardize_block_t* b, int64_t first, int64_t last) {
    const int64_t m = b->width;
    for (int64_t t = first; t < last; ++t) {
        for (int64_t f = 0; f < m; ++f) {
            const int32_t d = load<int16_t>(b->in, t * m + f) - load<int16_t>(b->mean, f);
            store<int16_t>(b->out, t * m + f, saturate16((d * load<int16_t>(b->scale, f)) >> 10));
        }
    }
}
