#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: count, out, in
layout(std430, binding = 0) buffer Out { float out_[]; };
layout(std430, binding = 1) readonly buffer In { float in_[]; };

void main() {
    const int k = int(invocation());
    if (k >= args.v[0]) return;
    const float x = in_[args.v[2] + k];
    out_[args.v[1] + k] = x > 0.0 ? x : 0.0;
}
