#version 450
#extension GL_EXT_shader_16bit_storage : require
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: frames, features, out, in. One invocation per value.
layout(std430, binding = 0) buffer Out { int16_t out_[]; };
layout(std430, binding = 1) readonly buffer In { int16_t in_[]; };
layout(std430, binding = 2) readonly buffer Mean { int16_t mean[]; };
layout(std430, binding = 3) readonly buffer Scale { int16_t scale[]; };

void main() {
    const int features = args.v[1];
    const uint id = invocation();
    if (id >= uint(args.v[0]) * uint(features)) return;
    const int f = int(id % uint(features));
    const int d = int(in_[args.v[3] + int(id)]) - int(mean[f]);
    out_[args.v[2] + int(id)] = int16_t(clamp((d * int(scale[f])) >> 10, -32768, 32767));
}
