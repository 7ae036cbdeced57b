#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: vectors, rows, columns, out, in, matrix. One invocation per output, summing the
// columns in order without fused multiply-adds, as the reference does.
layout(std430, binding = 0) buffer Out { float out_[]; };
layout(std430, binding = 1) readonly buffer In { float in_[]; };
layout(std430, binding = 2) readonly buffer Matrix { float m[]; };

void main() {
    const int rows = args.v[1];
    const int columns = args.v[2];
    const uint id = invocation();
    if (id >= uint(args.v[0]) * uint(rows)) return;
    const int v = int(id) / rows;
    const int r = int(id) - v * rows;
    precise float sum = 0.0;
    for (int c = 0; c < columns; ++c) {
        precise float product = in_[args.v[4] + v * columns + c] * m[args.v[5] + r * columns + c];
        sum = sum + product;
    }
    out_[args.v[3] + int(id)] = sum;
}
