// Sigmoid and softmax tables, the fixed-point sigmoid and tanh.
#include <gtest/gtest.h>

#include <cmath>

#include "device/operators.h"

namespace {

int64_t round_half_up(long double v) { return static_cast<int64_t>(std::floor(v + 0.5L)); }

}  // namespace

TEST(Tables, QuotedEntries) {
    EXPECT_EQ(kx_sigmoid_table[0], 16384);
    EXPECT_EQ(kx_sigmoid_table[1], 16895);
    EXPECT_EQ(kx_sigmoid_table[2], 17406);
    EXPECT_EQ(kx_sigmoid_table[127], 32755);
    EXPECT_EQ(kx_sigmoid_table[128], 11);
    EXPECT_EQ(kx_sigmoid_table[255], 15872);
    EXPECT_EQ(kx_sigmoid_table[256], 16384);
    EXPECT_EQ(kx_softmax_fine_table[0], 2147483647);
    EXPECT_EQ(kx_softmax_fine_table[1], 2145387519);
    EXPECT_EQ(kx_softmax_fine_table[2], 2143293436);
    EXPECT_EQ(kx_softmax_fine_table[127], 1896999301);
    EXPECT_EQ(kx_softmax_coarse_table[0], 2147483647);
    EXPECT_EQ(kx_softmax_coarse_table[1], 1895147667);
    EXPECT_EQ(kx_softmax_coarse_table[127], 274);
}

// Every entry against the formula evaluated with the C library's exp.
TEST(Tables, EveryEntryFollowsItsFormula) {
    for (int k = 0; k <= 256; ++k) {
        const long double x = (k < 128 ? k : k - 256) / 16.0L;
        EXPECT_EQ(kx_sigmoid_table[k], round_half_up(32767.0L / (1.0L + std::exp(-x)))) << k;
    }
    for (int k = 0; k < 128; ++k) {
        EXPECT_EQ(kx_softmax_fine_table[k], round_half_up(2147483647.0L * std::exp(-k / 1024.0L))) << k;
        EXPECT_EQ(kx_softmax_coarse_table[k], round_half_up(2147483647.0L * std::exp(-k / 8.0L))) << k;
    }
}

TEST(Sigmoid, QuotedValues) {
    EXPECT_EQ(kx_sigmoid_q15(0), 16384);
    EXPECT_EQ(kx_sigmoid_q15(8128), 32755);
    EXPECT_EQ(kx_sigmoid_q15(9000), 32755);
    EXPECT_EQ(kx_sigmoid_q15(-8192), 11);
    EXPECT_EQ(kx_sigmoid_q15(-1), 16376);
    EXPECT_EQ(kx_sigmoid_q15(32767), 32755);
    EXPECT_EQ(kx_sigmoid_q15(-32768), 11);
    // Halfway between entries 1 and 2: (16895·32 + 17406·32) >> 6.
    EXPECT_EQ(kx_sigmoid_q15(96), (16895 * 32 + 17406 * 32) >> 6);
}

// Over every input: within the documented range, monotonic, and close to the real
// curve (interpolation between points 1/16 apart is off by at most a few Q15 units).
TEST(Sigmoid, WholeInputRange) {
    int previous = -1;
    for (int x = -32768; x <= 32767; ++x) {
        const int s = kx_sigmoid_q15(static_cast<int16_t>(x));
        ASSERT_GE(s, 11);
        ASSERT_LE(s, 32755);
        ASSERT_GE(s, previous) << x;
        previous = s;
        if (x >= -8192 && x <= 8128) {
            const double real = 32767.0 / (1.0 + std::exp(-x / 1024.0));
            ASSERT_NEAR(s, real, 16.0) << x;
        }
    }
}

TEST(Tanh, QuotedValuesAndInPlace) {
    int16_t values[] = {0, 4064, 20000, -20000, -32768, 32767};
    int16_t out[6];
    kx_tanh_q15(values, out, 6);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 32742);
    EXPECT_EQ(out[2], 32742);
    EXPECT_EQ(out[3], -32746);
    EXPECT_EQ(out[4], -32746);
    EXPECT_EQ(out[5], 32742);
    kx_tanh_q15(values, values, 6);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(values[k], out[k]);
}
