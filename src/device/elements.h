// Element access at arbitrary byte offsets, saturation and range sizes, shared by the
// reference operators and the CPU kernels.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace kx_elements {

// Operator offsets are arbitrary byte offsets, so elements are moved with memcpy
// (plain moves once compiled), never through a typed pointer that may be misaligned.
template <typename T>
inline T load(const void* base, int64_t index) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(base) + index * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return value;
}

template <typename T>
inline void store(void* base, int64_t index, T value) {
    std::memcpy(static_cast<uint8_t*>(base) + index * static_cast<int64_t>(sizeof(T)), &value, sizeof(T));
}

inline int16_t saturate16(int32_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

// Byte size of a range: the product of non-negative factors, capped far above any
// buffer size so that hostile counts cannot overflow a bounds check.
inline int64_t extent(std::initializer_list<int64_t> factors) {
    constexpr int64_t kCap = int64_t{1} << 40;
    for (int64_t f : factors)
        if (f == 0) return 0;
    int64_t result = 1;
    for (int64_t f : factors) {
        if (result > kCap / f) return kCap;
        result *= f;
    }
    return result;
}

}  // namespace kx_elements
