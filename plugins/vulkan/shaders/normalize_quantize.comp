#version 450
#extension GL_EXT_shader_16bit_storage : require
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
// v: frames, features, epsilon bits. One invocation per feature, summing its frames in
// order. Division and square root are rounded correctly (a double-precision estimate
// corrected against exact midpoints), so every float step equals the reference's and
// the truncated Q10 values are identical.
layout(std430, binding = 0) buffer Out { int16_t out_[]; };
layout(std430, binding = 1) readonly buffer In { float in_[]; };

float next_up(float q) { return uintBitsToFloat(floatBitsToUint(q) + 1u); }
float next_down(float q) { return q == 0.0 ? 0.0 : uintBitsToFloat(floatBitsToUint(q) - 1u); }
bool odd(float q) { return (floatBitsToUint(q) & 1u) != 0u; }
bool finite(float q) { return (floatBitsToUint(q) & 0x7f800000u) != 0x7f800000u; }

// a / b rounded to nearest, ties to even, for a >= 0 and b > 0 finite.
float divide_positive(float a, float b) {
    float q = float(double(a) / double(b));
    for (int step = 0; step < 4 && finite(q); ++step) {
        // Midpoints of adjacent floats have 25 significant bits: m·b is exact in double.
        precise double hi = (double(q) + double(next_up(q))) * 0.5;
        precise double hb = hi * double(b);
        if (hb < double(a) || (hb == double(a) && odd(q))) { q = next_up(q); continue; }
        precise double lo = (double(q) + double(next_down(q))) * 0.5;
        precise double lb = lo * double(b);
        if (q > 0.0 && (lb > double(a) || (lb == double(a) && odd(q)))) { q = next_down(q); continue; }
        break;
    }
    return q;
}

float divide(float a, float b) {
    if (!finite(a) || !finite(b) || b == 0.0 || a == 0.0) return a / b;
    const float q = divide_positive(abs(a), abs(b));
    return (a < 0.0) != (b < 0.0) ? -q : q;
}

// sqrt(v) rounded to nearest for finite v > 0; other values as IEEE defines them.
float square_root(float v) {
    if (!(v > 0.0) || !finite(v)) return v == 0.0 ? v : (v > 0.0 ? v : uintBitsToFloat(0x7fc00000u));
    float y = float(sqrt(double(v)));
    for (int step = 0; step < 4; ++step) {
        precise double hi = (double(y) + double(next_up(y))) * 0.5;
        if (hi * hi < double(v)) { y = next_up(y); continue; }
        precise double lo = (double(y) + double(next_down(y))) * 0.5;
        if (lo * lo > double(v)) { y = next_down(y); continue; }
        break;
    }
    return y;
}

void main() {
    const int frames = args.v[0];
    const int features = args.v[1];
    const float epsilon = intBitsToFloat(args.v[2]);
    const int f = int(invocation());
    if (f >= features) return;
    precise float sum = 0.0;
    for (int t = 0; t < frames; ++t) sum = sum + in_[t * features + f];
    const float count = float(frames);
    const float mean = divide(sum, count);
    precise float squares = 0.0;
    for (int t = 0; t < frames; ++t) {
        precise float d = in_[t * features + f] - mean;
        precise float d2 = d * d;
        squares = squares + d2;
    }
    precise float shifted = divide(squares, count) + epsilon;
    const float inv = divide(1.0, square_root(shifted));
    for (int t = 0; t < frames; ++t) {
        precise float centred = in_[t * features + f] - mean;
        precise float scaled = centred * inv;
        precise float v = scaled * 1024.0;
        int q;
        if (v >= 32767.0) q = 32767;
        else if (v <= -32768.0) q = -32768;
        else if ((floatBitsToUint(v) & 0x7fffffffu) > 0x7f800000u) q = 0;
        else q = int(v);
        out_[t * features + f] = int16_t(q);
    }
}
