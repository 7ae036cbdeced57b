// 64-bit products that need more than 64 bits, for processors with or without a
// 128-bit integer type (32-bit ARM has none).
#pragma once

#include <cstdint>

// The high 64 bits of a · b.
inline uint64_t kx_mul_high64(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
    const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi;
    const uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + (lo_hi & 0xFFFFFFFFu);
    return a_hi * b_hi + (hi_lo >> 32) + (lo_hi >> 32) + (middle >> 32);
#endif
}

// floor(a · b / c) for a <= c < 2^32 (c > 0): a·b = a·(q·c + r), and a·r < c² fits.
inline uint64_t kx_mul_div64(uint64_t a, uint64_t b, uint64_t c) {
#if defined(__SIZEOF_INT128__)
    return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b / c);
#else
    return a * (b / c) + a * (b % c) / c;
#endif
}
