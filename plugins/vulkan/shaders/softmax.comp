#version 450
#extension GL_EXT_shader_16bit_storage : require
#extension GL_EXT_shader_explicit_arithmetic_types_int64 : require
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: rows, row length, out, in. One invocation per row, in the reference's order.
layout(std430, binding = 0) buffer Out { int out_[]; };
layout(std430, binding = 1) readonly buffer In { int16_t in_[]; };
layout(std430, binding = 4) readonly buffer Tables { int sigmoid_table[257]; int fine[128]; int coarse[128]; };

int64_t exponent_q31(int d) {
    d = min(d, 0);
    if (d < -32767) return 242;
    const int g = min(-d, 16383);
    const int64_t p = (int64_t(fine[g & 127]) * int64_t(coarse[g >> 7]) + (int64_t(1) << 30)) >> 31;
    return min(p, int64_t(2147483647));
}

void main() {
    const int row = int(invocation());
    if (row >= args.v[0]) return;
    const int length = args.v[1];
    const int x = args.v[3] + row * length;
    const int y = args.v[2] + row * length;
    int maximum = -32768;
    for (int j = 0; j < length; ++j) maximum = max(maximum, int(in_[x + j]));
    int64_t sum = 0;
    for (int j = 0; j < length; ++j) sum += exponent_q31(int(in_[x + j]) - maximum);
    const int64_t f = clamp((int64_t(1) << 62) / sum, int64_t(-2147483648), int64_t(2147483647));
    for (int j = 0; j < length; ++j) {
        const int64_t p = (exponent_q31(int(in_[x + j]) - maximum) * f + (int64_t(1) << 30)) >> 31;
        out_[y + j] = int(min(p, int64_t(2147483647)));
    }
}
