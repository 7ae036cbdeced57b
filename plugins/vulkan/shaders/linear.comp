#version 450
#extension GL_EXT_shader_16bit_storage : require
#extension GL_EXT_shader_8bit_storage : require
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: vectors, rows, columns, out, in, accumulate. One invocation per output value;
// the 32-bit sum wraps like the reference's, and the rounding shift is arithmetic.
layout(std430, binding = 0) buffer Out { int16_t y[]; };
layout(std430, binding = 1) readonly buffer In { int16_t x[]; };
layout(std430, binding = 2) readonly buffer Weights { int8_t w[]; };
layout(std430, binding = 3) readonly buffer Bias { int8_t b[]; };

void main() {
    const int rows = args.v[1];
    const int columns = args.v[2];
    const uint id = invocation();
    if (id >= uint(args.v[0]) * uint(rows)) return;
    const int v = int(id) / rows;
    const int r = int(id) - v * rows;
    int acc = int(b[r]) * 1024;
    const int wbase = r * columns;
    const int xbase = args.v[4] + v * columns;
    for (int c = 0; c < columns; ++c) acc += int(w[wbase + c]) * int(x[xbase + c]);
    const int product = (acc + 64) >> 7;
    const int at = args.v[3] + v * rows + r;
    const int base = args.v[5] != 0 ? int(y[at]) : 0;
    y[at] = int16_t(clamp(base + product, -32768, 32767));
}
