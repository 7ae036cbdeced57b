// Sigmoid and softmax exponent tables, computed at compile time from their formulas,
// the table-driven fixed-point sigmoid and tanh, and the operators' arity.
#include <cstdint>

#include "base/const_math.h"
#include "device/operators.h"

namespace {

// Round to nearest, halves up, for the positive values of these tables.
constexpr int64_t round_half_up(double v) { return static_cast<int64_t>(kx_const_math::round(v)); }

constexpr int16_t sigmoid_entry(int k) {
    const double x = (k < 128 ? k : k - 256) / 16.0;
    return static_cast<int16_t>(round_half_up(32767.0 / (1.0 + kx_const_math::exp(-x))));
}

constexpr int32_t fine_entry(int k) {
    return static_cast<int32_t>(round_half_up(2147483647.0 * kx_const_math::exp(-k / 1024.0)));
}
constexpr int32_t coarse_entry(int k) {
    return static_cast<int32_t>(round_half_up(2147483647.0 * kx_const_math::exp(-k / 8.0)));
}

}  // namespace

// The tables are declared as plain arrays (kernels index them directly), so their
// initialisers are spelled out entry by entry.
#define KX_REP2(F, k) F(k), F((k) + 1)
#define KX_REP4(F, k) KX_REP2(F, k), KX_REP2(F, (k) + 2)
#define KX_REP8(F, k) KX_REP4(F, k), KX_REP4(F, (k) + 4)
#define KX_REP16(F, k) KX_REP8(F, k), KX_REP8(F, (k) + 8)
#define KX_REP32(F, k) KX_REP16(F, k), KX_REP16(F, (k) + 16)
#define KX_REP64(F, k) KX_REP32(F, k), KX_REP32(F, (k) + 32)
#define KX_REP128(F, k) KX_REP64(F, k), KX_REP64(F, (k) + 64)

constexpr int16_t kx_sigmoid_table[257] = {KX_REP128(sigmoid_entry, 0), KX_REP128(sigmoid_entry, 128),
                                           sigmoid_entry(256)};
constexpr int32_t kx_softmax_fine_table[128] = {KX_REP128(fine_entry, 0)};
constexpr int32_t kx_softmax_coarse_table[128] = {KX_REP128(coarse_entry, 0)};

#undef KX_REP2
#undef KX_REP4
#undef KX_REP8
#undef KX_REP16
#undef KX_REP32
#undef KX_REP64
#undef KX_REP128

static_assert(kx_sigmoid_table[0] == 16384 && kx_sigmoid_table[1] == 16895 && kx_sigmoid_table[2] == 17406 &&
                  kx_sigmoid_table[127] == 32755 && kx_sigmoid_table[128] == 11 && kx_sigmoid_table[255] == 15872 &&
                  kx_sigmoid_table[256] == 16384,
              "sigmoid table");
static_assert(kx_softmax_fine_table[0] == 2147483647 && kx_softmax_fine_table[1] == 2145387519 &&
                  kx_softmax_fine_table[2] == 2143293436 && kx_softmax_fine_table[127] == 1896999301,
              "softmax fine table");
static_assert(kx_softmax_coarse_table[0] == 2147483647 && kx_softmax_coarse_table[1] == 1895147667 &&
                  kx_softmax_coarse_table[127] == 274,
              "softmax coarse table");

int16_t kx_sigmoid_q15(int16_t x) {
    // 8128 is the last table point of the positive half; beyond it the curve is flat.
    const int32_t v = x < -8192 ? -8192 : (x > 8128 ? 8128 : x);
    const int32_t u = v < 0 ? v + 16384 : v;
    const int32_t i = u >> 6;
    const int32_t f = u & 63;
    const int32_t j = (u + 63) >> 6;
    return static_cast<int16_t>((kx_sigmoid_table[i] * (64 - f) + kx_sigmoid_table[j] * f) >> 6);
}

void kx_tanh_q15(const int16_t* in, int16_t* out, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        const int32_t doubled = 2 * static_cast<int32_t>(in[k]);
        const int16_t y = static_cast<int16_t>(doubled < -32768 ? -32768 : (doubled > 32767 ? 32767 : doubled));
        out[k] = static_cast<int16_t>(2 * kx_sigmoid_q15(y) - 32768);
    }
}

int64_t kx_softmax_exponent(int32_t g) {
    const int64_t p =
        (int64_t{kx_softmax_fine_table[g & 127]} * kx_softmax_coarse_table[g >> 7] + (int64_t{1} << 30)) >> 31;
    return p < 2147483647 ? p : 2147483647;
}

const kx_op_arity_t kx_op_arity[KX_OP_COUNT] = {
    {3, 4}, {4, 5}, {4, 5}, {2, 3}, {2, 3}, {3, 4}, {3, 6}, {2, 3}, {1, 2}, {2, 3}, {2, 4}, {4, 4}, {2, 4},
};
