// Small portable pseudo-random generator (xorshift32): the same sequence on every
// platform, so generated models and audio are reproducible per seed.
#pragma once

#include <cstdint>

namespace kxtest {

class Random {
public:
    explicit Random(uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {
        if (state_ == 0) state_ = 1;
    }
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int32_t uniform(int32_t lo, int32_t hi) {  // inclusive
        return lo + static_cast<int32_t>(next() % static_cast<uint32_t>(hi - lo + 1));
    }
    float real(float lo, float hi) { return lo + (hi - lo) * static_cast<float>(next() >> 8) / 16777216.0f; }

private:
    uint32_t state_;
};

}  // namespace kxtest
