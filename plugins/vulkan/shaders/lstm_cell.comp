#version 450
#extension GL_EXT_shader_16bit_storage : require
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: H, hidden, cell, gates. One invocation per lane; the gates are only read.
layout(std430, binding = 0) buffer Hidden { int16_t h[]; };
layout(std430, binding = 1) buffer Cell { int16_t c[]; };
layout(std430, binding = 2) readonly buffer Gates { int16_t g[]; };
layout(std430, binding = 4) readonly buffer Tables { int sigmoid_table[257]; int fine[128]; int coarse[128]; };

int sigmoid_q15(int x) {
    x = clamp(x, -8192, 8128);
    const int u = x & 0x3FFF;
    const int i = u >> 6;
    const int f = u & 63;
    const int j = (u + 63) >> 6;
    return (sigmoid_table[i] * (64 - f) + sigmoid_table[j] * f) >> 6;
}

int tanh_q15(int x) { return 2 * sigmoid_q15(clamp(2 * x, -32768, 32767)) - 32768; }

void main() {
    const int H = args.v[0];
    const int k = int(invocation());
    if (k >= H) return;
    const int gates = args.v[3];
    const int i = sigmoid_q15(int(g[gates + k]));
    const int candidate = tanh_q15(int(g[gates + H + k]));
    const int o = sigmoid_q15(int(g[gates + 2 * H + k]));
    const int cell = int(c[args.v[2] + k]);
    const int updated = clamp(((cell * (32767 - i) + 16384) >> 15) + ((i * candidate + 524288) >> 20), -32768, 32767);
    c[args.v[2] + k] = int16_t(updated);
    h[args.v[1] + k] = int16_t((tanh_q15(updated) * o + 524288) >> 20);
}
