#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: count, out, in. x·sigmoid(1.702x) in the reference's two overflow-free forms; the
// exponential is the device's single-precision one, so results differ by a few ulp.
layout(std430, binding = 0) buffer Out { float out_[]; };
layout(std430, binding = 1) readonly buffer In { float in_[]; };

void main() {
    const int k = int(invocation());
    if (k >= args.v[0]) return;
    const float x = in_[args.v[2] + k];
    precise float t = 1.702 * x;
    float result;
    if (t >= 0.0) {
        result = x / (1.0 + exp(-t));
    } else {
        const float e = exp(t);
        result = e / (e + 1.0) * x;
    }
    out_[args.v[1] + k] = result;
}
