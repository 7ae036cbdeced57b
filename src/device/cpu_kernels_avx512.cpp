// AVX-512 code paths of the LINEAR kernels, with VNNI byte dot products.
//
// The input is split once per vector into its low bytes l (unsigned) and high bytes h
// (signed): x = 256·h + l. With w' = w + 128 (unsigned),
//   Σ w·x = Σ l·w + 256·(Σ w'·h − 128·Σ h),
// where both sums are vpdpbusd forms (unsigned × signed bytes, four per 32-bit lane)
// and Σ h is one number per vector. Weights are used as loaded, without widening.
// The identity holds modulo 2^32, so the 32-bit sums equal the reference's. Up to
// eight rows share each loaded input block, 32 columns per step. No byte outside the
// operands is read (tails use masked loads); rows wider than the split buffer take
// the AVX2 path.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "device/cpu_kernels_paths.h"

#define KX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))

using kx_cpu::load;
using kx_cpu::store;

namespace {

constexpr int64_t kSplitColumns = 4096;

struct SplitInput {
    alignas(64) uint8_t lo[kSplitColumns];
    alignas(64) int8_t hi[kSplitColumns];
    int32_t hi_sum;
};

// acc += byte dot products of u (unsigned) and v (signed). In assembly because GCC 12
// copies the accumulator around every intrinsic form of this instruction.
KX_AVX512 inline void dpbusd(__m256i& acc, __m256i u, __m256i v) {
    __asm__("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(u), "v"(v));
}

// 16 lanes folded to 8 (_mm512_reduce_add_epi32 adds signed ints in C, which
// overflows for wide rows; these adds wrap). The zero-masking intrinsic forms here
// and in split() avoid GCC 12's false uninitialised-value warnings of the plain ones.
KX_AVX512 inline __m256i fold(__m512i a) {
    return _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xFF, a, 0), _mm512_maskz_extracti64x4_epi64(0xFF, a, 1));
}

// Lane sums of eight accumulators: [sum f0, ..., sum f7].
KX_AVX512 inline __m256i hsum8(const __m256i* f) {
    const __m256i a = _mm256_hadd_epi32(_mm256_hadd_epi32(f[0], f[1]), _mm256_hadd_epi32(f[2], f[3]));
    const __m256i b = _mm256_hadd_epi32(_mm256_hadd_epi32(f[4], f[5]), _mm256_hadd_epi32(f[6], f[7]));
    return _mm256_add_epi32(_mm256_permute2x128_si256(a, b, 0x20), _mm256_permute2x128_si256(a, b, 0x31));
}

// Splits k <= kSplitColumns int16 values into bytes, zero-padded to a multiple of 32.
KX_AVX512 void split(const uint8_t* x, int64_t k, SplitInput* s) {
    __m512i sum = _mm512_setzero_si512();
    const __m512i ones = _mm512_set1_epi16(1);
    for (int64_t c = 0; c < k; c += 32) {
        const __mmask32 m = c + 32 <= k ? ~__mmask32{0} : static_cast<__mmask32>((uint64_t{1} << (k - c)) - 1);
        const __m512i v = _mm512_maskz_loadu_epi16(m, x + 2 * c);
        const __m512i high = _mm512_srai_epi16(v, 8);
        _mm256_store_si256(reinterpret_cast<__m256i*>(s->lo + c), _mm512_maskz_cvtepi16_epi8(~__mmask32{0}, v));
        _mm256_store_si256(reinterpret_cast<__m256i*>(s->hi + c), _mm512_maskz_cvtepi16_epi8(~__mmask32{0}, high));
        sum = _mm512_add_epi32(sum, _mm512_madd_epi16(high, ones));
    }
    const __m256i zero = _mm256_setzero_si256();
    const __m256i f[8] = {fold(sum), zero, zero, zero, zero, zero, zero, zero};
    s->hi_sum = _mm256_cvtsi256_si32(hsum8(f));
}

// Sums of kRows weight rows with the split input: lane i of the result is row i
// (lanes from kRows on are 0). A row's last block is loaded whole when the matrix
// continues past it (the extra bytes meet zero input bytes), else with a mask.
template <int kRows>
KX_AVX512 inline __m256i dot_rows(const SplitInput& s, const int8_t* const* w, int64_t k, const int8_t* end) {
    __m256i l[kRows], h[kRows];
#pragma GCC unroll 8
    for (int i = 0; i < kRows; ++i) l[i] = h[i] = _mm256_setzero_si256();
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    int64_t c = 0;
    for (; c + 32 <= k; c += 32) {
        const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.lo + c));
        const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.hi + c));
#pragma GCC unroll 8
        for (int i = 0; i < kRows; ++i) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w[i] + c));
            __asm__("" : "+v"(v));  // one load per block: keep the xor from loading again
            dpbusd(l[i], lo, v);
            dpbusd(h[i], _mm256_xor_si256(v, flip), hi);
        }
    }
    if (c < k) {
        bool inside = true;
        for (int i = 0; i < kRows; ++i) inside = inside && w[i] + c + 32 <= end;
        const __mmask32 m = inside ? ~__mmask32{0} : static_cast<__mmask32>((uint64_t{1} << (k - c)) - 1);
        const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.lo + c));
        const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.hi + c));
#pragma GCC unroll 8
        for (int i = 0; i < kRows; ++i) {
            const __m256i v = inside ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w[i] + c))
                                     : _mm256_maskz_loadu_epi8(m, w[i] + c);
            dpbusd(l[i], lo, v);
            dpbusd(h[i], _mm256_xor_si256(v, flip), hi);  // columns past k meet l = h = 0
        }
    }
    __m256i f[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i)
        f[i] = i < kRows ? _mm256_add_epi32(l[i], _mm256_slli_epi32(h[i], 8)) : _mm256_setzero_si256();
    // Σ w'·h counts 128·Σ h too much per row.
    const __m256i correction = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(s.hi_sum) << 15));
    return _mm256_sub_epi32(hsum8(f), correction);
}

// Rounds lanes 2j, 2j+1 of sums into rows first[j], first[j] + 1 of y, j < kPairs.
template <int kPairs>
KX_AVX512 inline void finish(const kx_cpu_linear_block_t* b, uint8_t* y, __m256i sums, const int64_t* first) {
    bool contiguous = true;
    for (int j = 1; j < kPairs; ++j) contiguous = contiguous && first[j] == first[0] + 2 * j;
    const __mmask8 lanes = static_cast<__mmask8>((1u << (2 * kPairs)) - 1);
    __m128i bias, old = _mm_setzero_si128();
    if (contiguous) {
        bias = _mm_maskz_loadu_epi8(lanes, b->bias + first[0]);
        if (b->accumulate) old = _mm_maskz_loadu_epi16(lanes, y + 2 * first[0]);
    } else {
        alignas(16) int8_t bias_bytes[16] = {};
        alignas(16) int16_t old_values[8] = {};
        for (int j = 0; j < kPairs; ++j) {
            std::memcpy(bias_bytes + 2 * j, b->bias + first[j], 2);
            if (b->accumulate) std::memcpy(old_values + 2 * j, y + 2 * first[j], 4);
        }
        bias = _mm_load_si128(reinterpret_cast<const __m128i*>(bias_bytes));
        old = _mm_load_si128(reinterpret_cast<const __m128i*>(old_values));
    }
    const __m256i bias_q10 = _mm256_slli_epi32(_mm256_cvtepi8_epi32(bias), 10);
    __m256i v = _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(sums, bias_q10), _mm256_set1_epi32(64)), 7);
    v = _mm256_add_epi32(v, _mm256_cvtepi16_epi32(old));
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    if (contiguous) {
        _mm_mask_storeu_epi16(y + 2 * first[0], lanes, packed);
    } else {
        alignas(16) int32_t pairs[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(pairs), packed);
        for (int j = 0; j < kPairs; ++j) store<int32_t>(y + 2 * first[j], 0, pairs[j]);
    }
}

// kPairs row pairs starting at first[0..kPairs) against one split input.
template <int kPairs>
KX_AVX512 inline void pairs(const kx_cpu_linear_block_t* b, const SplitInput& s, uint8_t* y, const int64_t* first) {
    const int64_t k = b->columns;
    const int8_t* w[2 * kPairs];
    for (int j = 0; j < kPairs; ++j) {
        w[2 * j] = b->weights + first[j] * k;
        w[2 * j + 1] = w[2 * j] + k;
    }
    finish<kPairs>(b, y, dot_rows<2 * kPairs>(s, w, k, b->weights + b->rows * k), first);
}

KX_AVX512 inline void single(const kx_cpu_linear_block_t* b, const SplitInput& s, uint8_t* y, int64_t r) {
    const int8_t* w[1] = {b->weights + r * b->columns};
    kx_cpu::linear_finish(b, y, r, static_cast<uint32_t>(_mm256_cvtsi256_si32(
                                                  dot_rows<1>(s, w, b->columns, b->weights + b->rows * b->columns))));
}

}  // namespace

// The item's row pairs 2t, 2t + step, ... four at a time, then the rest; row M-1 for
// item 0 when M is odd.
KX_AVX512 void kx_cpu_linear_rows_avx512(const kx_cpu_linear_block_t* b, uint64_t item) {
    if (b->columns > kSplitColumns) return kx_cpu_linear_rows_avx2(b, item);
    SplitInput s;
    split(b->in, b->columns, &s);
    const int64_t m = b->rows;
    const int64_t step = 2 * static_cast<int64_t>(b->count);
    uint8_t* y = b->out;
    int64_t r = 2 * static_cast<int64_t>(item);
    for (; r + 3 * step + 1 < m; r += 4 * step) {
        const int64_t first[4] = {r, r + step, r + 2 * step, r + 3 * step};
        pairs<4>(b, s, y, first);
    }
    for (; r + step + 1 < m; r += 2 * step) {
        const int64_t first[2] = {r, r + step};
        pairs<2>(b, s, y, first);
    }
    if (r + 1 < m) pairs<1>(b, s, y, &r);
    if (item == 0 && (m & 1)) single(b, s, y, m - 1);
}

// Outputs [first, last) in memory order, eight neighbouring rows of a vector at a time.
KX_AVX512 void kx_cpu_linear_outputs_avx512(const kx_cpu_linear_block_t* b, int64_t first, int64_t last) {
    if (b->columns > kSplitColumns) return kx_cpu_linear_outputs_avx2(b, first, last);
    SplitInput s;
    const int64_t m = b->rows, k = b->columns;
    int64_t v = first / m;
    int64_t r = first - v * m;
    split(b->in + 2 * k * v, k, &s);
    for (int64_t i = first; i < last;) {
        uint8_t* y = b->out + 2 * m * v;
        int64_t n = 1;
        if (r + 7 < m && i + 7 < last) {
            const int64_t pair_rows[4] = {r, r + 2, r + 4, r + 6};
            pairs<4>(b, s, y, pair_rows);
            n = 8;
        } else if (r + 3 < m && i + 3 < last) {
            const int64_t pair_rows[2] = {r, r + 2};
            pairs<2>(b, s, y, pair_rows);
            n = 4;
        } else if (r + 1 < m && i + 1 < last) {
            pairs<1>(b, s, y, &r);
            n = 2;
        } else {
            single(b, s, y, r);
        }
        i += n;
        r += n;
        if (r == m) {
            r = 0;
            ++v;
            if (i < last) split(b->in + 2 * k * v, k, &s);
        }
    }
}

// The fused recurrent direction. The weights are rearranged once, into the caller's
// workspace, so that a 512-bit vpdpwssd multiplies one column pair of 16 rows (int16
// pairs, sign-extended from the int8 weights) by one broadcast pair of inputs: no
// horizontal sums. The input columns' products of kChunk frames are computed
// together, with the bias, before those frames' recurrence; each frame then adds the
// hidden columns' products, rounds once as LINEAR does and runs the AVX2 cell. All
// sums wrap modulo 2^32 like the reference's. The header records whose weights the
// workspace holds.
namespace {

constexpr int64_t kChunk = 8;
// Bounds of the stack scratch (about 36 KiB): hidden sizes up to 256, and the inputs
// taken kMaxInputPairs column pairs at a time.
constexpr int64_t kMaxHidden = 256;
constexpr int64_t kMaxRows = 3 * kMaxHidden;
constexpr int64_t kMaxInputPairs = 256;

struct SequenceHeader {
    const int8_t* weights;
    int64_t hidden;
    int64_t input_size;
};

KX_AVX512 inline void dpwssd(__m512i& acc, __m512i w, __m512i x) {
    __asm__("vpdpwssd %2, %1, %0" : "+v"(acc) : "v"(w), "v"(x));
}

KX_AVX512 inline __m512i words(const uint32_t* p) { return _mm512_load_si512(p); }

// All 16 lanes: the zero-masking forms avoid GCC 12's false uninitialised-value warnings.
constexpr __mmask16 kAll = 0xFFFF;

// Transposes 16 vectors of 16 words: afterwards r[j] holds word j of the former r[0..15].
KX_AVX512 inline void transpose16(__m512i* r) {
    __m512i t[16];
    for (int i = 0; i < 8; ++i) {
        t[2 * i] = _mm512_maskz_unpacklo_epi32(kAll, r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm512_maskz_unpackhi_epi32(kAll, r[2 * i], r[2 * i + 1]);
    }
    // Per 128-bit lane L, r[4g + c] now holds word 4L + c of rows 4g..4g+3.
    for (int g = 0; g < 4; ++g) {
        r[4 * g] = _mm512_maskz_unpacklo_epi64(0xFF, t[4 * g], t[4 * g + 2]);
        r[4 * g + 1] = _mm512_maskz_unpackhi_epi64(0xFF, t[4 * g], t[4 * g + 2]);
        r[4 * g + 2] = _mm512_maskz_unpacklo_epi64(0xFF, t[4 * g + 1], t[4 * g + 3]);
        r[4 * g + 3] = _mm512_maskz_unpackhi_epi64(0xFF, t[4 * g + 1], t[4 * g + 3]);
    }
    for (int c = 0; c < 4; ++c) {
        const __m512i even_lanes = _mm512_maskz_shuffle_i32x4(kAll, r[c], r[4 + c], 0x88);
        const __m512i odd_lanes = _mm512_maskz_shuffle_i32x4(kAll, r[c], r[4 + c], 0xDD);
        const __m512i even_high = _mm512_maskz_shuffle_i32x4(kAll, r[8 + c], r[12 + c], 0x88);
        const __m512i odd_high = _mm512_maskz_shuffle_i32x4(kAll, r[8 + c], r[12 + c], 0xDD);
        t[c] = _mm512_maskz_shuffle_i32x4(kAll, even_lanes, even_high, 0x88);
        t[8 + c] = _mm512_maskz_shuffle_i32x4(kAll, even_lanes, even_high, 0xDD);
        t[4 + c] = _mm512_maskz_shuffle_i32x4(kAll, odd_lanes, odd_high, 0x88);
        t[12 + c] = _mm512_maskz_shuffle_i32x4(kAll, odd_lanes, odd_high, 0xDD);
    }
    for (int j = 0; j < 16; ++j) r[j] = t[j];
}

// Word (block·pairs + p)·16 + l: row 16·block + l, columns first + 2p and first + 2p + 1
// as two int16 (0 from column last on). Sixteen rows' 32 columns are widened and
// transposed at a time; rows is a multiple of 16.
KX_AVX512 void pack_pairs(const int8_t* w, int64_t k, int64_t rows, int64_t first, int64_t last, int64_t pairs,
                          uint32_t* out) {
    for (int64_t block = 0; block < rows / 16; ++block) {
        for (int64_t p0 = 0; p0 < pairs; p0 += 16) {
            const int64_t c0 = first + 2 * p0, n = std::min<int64_t>(32, last - c0);
            const auto m = static_cast<__mmask32>(n >= 32 ? ~uint32_t{0} : (uint32_t{1} << n) - 1);
            __m512i r[16];
            for (int l = 0; l < 16; ++l)
                r[l] = _mm512_maskz_cvtepi8_epi16(~__mmask32{0},
                                                  _mm256_maskz_loadu_epi8(m, w + (16 * block + l) * k + c0));
            transpose16(r);
            const int64_t count = std::min<int64_t>(16, pairs - p0);
            for (int64_t p = 0; p < count; ++p) _mm512_store_si512(out + (block * pairs + p0 + p) * 16, r[p]);
        }
    }
}

}  // namespace

int64_t kx_cpu_lstm_sequence_avx512_workspace(int64_t hidden, int64_t input_size) {
    if (hidden % 16 != 0 || hidden > kMaxHidden || input_size < 0 || input_size > INT32_MAX) return 0;
    const int64_t bytes = 128 + 4 * 3 * hidden * (hidden / 2 + (input_size + 1) / 2);
    return bytes <= INT32_MAX ? bytes : 0;
}

KX_AVX512 void kx_cpu_lstm_sequence_avx512(const kx_cpu_sequence_block_t* b) {
    const int64_t h = b->hidden, in = b->input_size, k = h + in, rows = 3 * h, blocks = rows / 16;
    const int64_t hidden_pairs = h / 2, input_pairs = (in + 1) / 2;
    const uintptr_t packed = (reinterpret_cast<uintptr_t>(b->workspace) + 64 + 63) & ~uintptr_t{63};
    auto* recurrent = reinterpret_cast<uint32_t*>(packed);
    uint32_t* inputs = recurrent + rows * hidden_pairs;
    const SequenceHeader wanted = {b->weights, h, in};
    if (std::memcmp(b->workspace, &wanted, sizeof(wanted)) != 0) {
        pack_pairs(b->weights, k, rows, 0, h, hidden_pairs, recurrent);
        pack_pairs(b->weights, k, rows, h, k, input_pairs, inputs);
        std::memcpy(b->workspace, &wanted, sizeof(wanted));
    }

    alignas(64) int32_t sums[kChunk][kMaxRows];
    alignas(64) uint32_t x[kChunk][kMaxInputPairs] = {};  // input pairs of the chunk's frames
    alignas(64) int16_t hidden[kMaxHidden] = {}, cell[kMaxHidden] = {};
    alignas(64) int16_t gates[kMaxRows];
    const kx_cpu_lstm_block_t lanes = {reinterpret_cast<uint8_t*>(hidden), reinterpret_cast<uint8_t*>(cell),
                                       reinterpret_cast<uint8_t*>(gates), h, b->cpu_features};
    const auto* hidden_words = reinterpret_cast<const uint32_t*>(hidden);

    for (int64_t start = 0; start < b->frames; start += kChunk) {
        const int64_t n = std::min<int64_t>(kChunk, b->frames - start);
        // The input pairs kMaxInputPairs at a time (one pass, with the bias, when there are no inputs).
        for (int64_t p0 = 0; p0 == 0 || p0 < input_pairs; p0 += kMaxInputPairs) {
            const int64_t count = std::min(kMaxInputPairs, input_pairs - p0);
            const int64_t columns = std::min(in - 2 * p0, 2 * count);
            for (int64_t f = 0; f < n; ++f) {
                const int64_t t = b->reverse ? b->frames - 1 - (start + f) : start + f;
                if (columns > 0) std::memcpy(x[f], b->in + 2 * (in * t + 2 * p0), static_cast<size_t>(2 * columns));
            }
            for (int64_t block = 0; block < blocks; ++block) {
                __m512i acc[kChunk];
#pragma GCC unroll 8
                for (int f = 0; f < kChunk; ++f) acc[f] = _mm512_setzero_si512();
                const uint32_t* w = inputs + (block * input_pairs + p0) * 16;
                for (int64_t p = 0; p < count; ++p) {
                    const __m512i wp = words(w + 16 * p);
#pragma GCC unroll 8
                    for (int f = 0; f < kChunk; ++f) dpwssd(acc[f], wp, _mm512_set1_epi32(static_cast<int>(x[f][p])));
                }
                const auto* bias_bytes = reinterpret_cast<const __m128i*>(b->bias + 16 * block);
                const __m512i bias =
                    _mm512_maskz_slli_epi32(kAll, _mm512_maskz_cvtepi8_epi32(kAll, _mm_loadu_si128(bias_bytes)), 10);
                for (int64_t f = 0; f < n; ++f) {
                    int32_t* sum = sums[f] + 16 * block;
                    _mm512_store_si512(sum, _mm512_add_epi32(acc[f], p0 == 0 ? bias : _mm512_load_si512(sum)));
                }
            }
        }
        for (int64_t f = 0; f < n; ++f) {
            const int64_t t = b->reverse ? b->frames - 1 - (start + f) : start + f;
            // Three row blocks at a time, even and odd pairs in separate sums.
            for (int64_t block = 0; block < blocks; block += 3) {
                __m512i even[3], odd[3];
                const uint32_t* w[3];
#pragma GCC unroll 3
                for (int i = 0; i < 3; ++i) {
                    even[i] = _mm512_load_si512(sums[f] + 16 * (block + i));
                    odd[i] = _mm512_setzero_si512();
                    w[i] = recurrent + (block + i) * hidden_pairs * 16;
                }
                for (int64_t p = 0; p < hidden_pairs; p += 2) {
                    const __m512i x0 = _mm512_set1_epi32(static_cast<int>(hidden_words[p]));
                    const __m512i x1 = _mm512_set1_epi32(static_cast<int>(hidden_words[p + 1]));
#pragma GCC unroll 3
                    for (int i = 0; i < 3; ++i) {
                        dpwssd(even[i], words(w[i] + 16 * p), x0);
                        dpwssd(odd[i], words(w[i] + 16 * (p + 1)), x1);
                    }
                }
#pragma GCC unroll 3
                for (int i = 0; i < 3; ++i) {
                    const __m512i sum = _mm512_add_epi32(_mm512_add_epi32(even[i], odd[i]), _mm512_set1_epi32(64));
                    _mm256_store_si256(reinterpret_cast<__m256i*>(gates + 16 * (block + i)),
                                       _mm512_maskz_cvtsepi32_epi16(kAll, _mm512_maskz_srai_epi32(kAll, sum, 7)));
                }
            }
            kx_cpu_lstm_avx2(&lanes, 0, h);
            uint8_t* y = b->out + 2 * h * t;
            for (int64_t j = 0; j < h; j += 16) {
                __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(hidden + j));
                if (b->accumulate) v = _mm256_adds_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * j)), v);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + 2 * j), v);
            }
        }
    }
}

// The fused step. Its weights stay in the caller's workspace as byte quads of 16 rows
// side by side: one 512-bit vpdpbusd pair (the byte split above) multiplies four
// columns of 16 rows by a broadcast quad of inputs, without horizontal sums. The
// header records which weights the workspace holds.
namespace {

struct StepHeader {
    const int8_t* input_weights;
    const int8_t* hidden_weights;
    int64_t hidden_size;
    int64_t input_size;
};

KX_AVX512 inline void dpbusd(__m512i& acc, __m512i u, __m512i v) {
    __asm__("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(u), "v"(v));
}

// Byte (block·quads + q)·64 + 4l + e: row 16·block + l, column 4q + e (0 from column k on).
void pack_quads(const int8_t* w, int64_t rows, int64_t k, int64_t quads, int8_t* out) {
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < 4 * quads; ++c)
            out[((r / 16) * quads + c / 4) * 64 + 4 * (r % 16) + c % 4] = c < k ? w[r * k + c] : int8_t{0};
}

// Rounded products of three row blocks (48 rows) with a split input: lane l of out[i]
// is row 16·i + l, as LINEAR rounds it before saturation.
KX_AVX512 inline void rounded_blocks(const int8_t* packed, int64_t quads, const SplitInput& s, const int8_t* bias,
                                     __m512i* out) {
    __m512i lo[3], hi[3];
#pragma GCC unroll 3
    for (int i = 0; i < 3; ++i) lo[i] = hi[i] = _mm512_setzero_si512();
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
    for (int64_t q = 0; q < quads; ++q) {
        const __m512i l4 = _mm512_set1_epi32(load<int32_t>(s.lo, q));
        const __m512i h4 = _mm512_set1_epi32(load<int32_t>(s.hi, q));
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i) {
            __m512i w = _mm512_loadu_si512(packed + (i * quads + q) * 64);
            __asm__("" : "+v"(w));  // one load per block
            dpbusd(lo[i], l4, w);
            dpbusd(hi[i], _mm512_xor_si512(w, flip), h4);
        }
    }
    const __m512i correction = _mm512_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(s.hi_sum) << 15));
#pragma GCC unroll 3
    for (int i = 0; i < 3; ++i) {
        const __m512i b = _mm512_maskz_slli_epi32(
            kAll, _mm512_maskz_cvtepi8_epi32(kAll, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bias + 16 * i))), 10);
        __m512i sum = _mm512_sub_epi32(_mm512_add_epi32(lo[i], _mm512_maskz_slli_epi32(kAll, hi[i], 8)), correction);
        sum = _mm512_add_epi32(_mm512_add_epi32(sum, b), _mm512_set1_epi32(64));
        out[i] = _mm512_maskz_srai_epi32(kAll, sum, 7);
    }
}

}  // namespace

KX_AVX512 void kx_cpu_lstm_step_avx512(const kx_cpu_step_block_t* b) {
    const int64_t h = b->hidden_size, in = b->input_size, rows = 3 * h;
    const int64_t input_quads = (in + 3) / 4, hidden_quads = (h + 3) / 4;
    auto* header = reinterpret_cast<StepHeader*>(b->workspace);
    auto* packed = reinterpret_cast<int8_t*>((reinterpret_cast<uintptr_t>(b->workspace) + 64 + 63) & ~uintptr_t{63});
    int8_t* hidden_packed = packed + rows * 4 * input_quads;
    const StepHeader wanted = {b->input_weights, b->hidden_weights, h, in};
    if (std::memcmp(header, &wanted, sizeof(wanted)) != 0) {
        pack_quads(b->input_weights, rows, in, input_quads, packed);
        pack_quads(b->hidden_weights, rows, h, hidden_quads, hidden_packed);
        std::memcpy(header, &wanted, sizeof(wanted));
    }
    SplitInput x, state;
    split(b->in, in, &x);
    split(b->hidden, h, &state);
    alignas(64) int16_t gates[3 * KX_CPU_FUSED_MAX_HIDDEN];
    const __m512i low = _mm512_set1_epi32(-32768), high = _mm512_set1_epi32(32767);
    for (int64_t block = 0; block < rows / 16; block += 3) {
        __m512i from_input[3], from_hidden[3];
        rounded_blocks(packed + block * input_quads * 64, input_quads, x, b->input_bias + 16 * block, from_input);
        rounded_blocks(hidden_packed + block * hidden_quads * 64, hidden_quads, state, b->hidden_bias + 16 * block,
                       from_hidden);
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i) {
            // LINEAR saturates its result; LINEAR_ACCUMULATE adds and saturates again.
            const __m512i g = _mm512_add_epi32(_mm512_maskz_min_epi32(kAll, _mm512_maskz_max_epi32(kAll, from_input[i], low), high), from_hidden[i]);
            _mm256_store_si256(reinterpret_cast<__m256i*>(gates + 16 * (block + i)), _mm512_maskz_cvtsepi32_epi16(kAll, g));
        }
    }
    const kx_cpu_lstm_block_t lanes = {b->hidden, b->cell, reinterpret_cast<uint8_t*>(gates), h, b->cpu_features};
    kx_cpu_lstm_avx2(&lanes, 0, h);
}
