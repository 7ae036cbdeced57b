#version 450
#extension GL_EXT_shader_16bit_storage : require
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: count, out, a, b
layout(std430, binding = 0) buffer Out { int16_t out_[]; };
layout(std430, binding = 1) readonly buffer A { int16_t a_[]; };
layout(std430, binding = 2) readonly buffer B { int16_t b_[]; };

void main() {
    const int k = int(invocation());
    if (k >= args.v[0]) return;
    const int sum = int(a_[args.v[2] + k]) + int(b_[args.v[3] + k]);
    out_[args.v[1] + k] = int16_t(clamp(sum, -32768, 32767));
}
