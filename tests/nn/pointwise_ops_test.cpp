// NORMALIZE_QUANTIZE, STANDARDIZE, SUM_POOL, SOFTMAX, GELU and RELU.
#include <cmath>
#include <limits>
#include <random>

#include "nn_test_util.h"

namespace {

std::vector<int32_t> softmax(kx_device_t* device, const std::vector<int16_t>& row) {
    const int32_t n = static_cast<int32_t>(row.size());
    Buffer out(device, 4 * n + 1), in(device, 2 * n + 3);
    in.put(row, 3);
    EXPECT_EQ(run_op(device, KX_OP_SOFTMAX, {out.get(), in.get()}, {1, n, 1, 3}), KX_STATUS_SUCCESS);
    return out.get_values<int32_t>(n, 1);
}

// Q31 e^(-g/1024) written out from the description, in 64-bit arithmetic.
int64_t exponent(int64_t d) {
    if (d < -32767) return 242;
    const int64_t g = std::min<int64_t>(-d, 16383);
    return std::min<int64_t>((int64_t{kx_softmax_fine_table[g & 127]} * kx_softmax_coarse_table[g >> 7] + (1LL << 30)) >> 31,
                             2147483647);
}

std::vector<int32_t> expected_softmax(const std::vector<int16_t>& row) {
    int64_t max = -32768;
    for (int16_t v : row) max = std::max<int64_t>(max, v);
    int64_t sum = 0;
    for (int16_t v : row) sum += exponent(v - max);
    const int64_t f = std::min<int64_t>((1LL << 62) / sum, 2147483647);
    std::vector<int32_t> out;
    for (int16_t v : row) out.push_back(static_cast<int32_t>(std::min<int64_t>((exponent(v - max) * f + (1LL << 30)) >> 31, 2147483647)));
    return out;
}

int32_t float_bits(float f) {
    int32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

}  // namespace

TEST(Softmax, QuotedRows) {
    CpuDevice device;
    EXPECT_EQ(softmax(device, {0, 0}), (std::vector<int32_t>{1073741824, 1073741824}));
    EXPECT_EQ(softmax(device, {1024, 0}), (std::vector<int32_t>{1569936343, 577547305}));
    EXPECT_EQ(softmax(device, {0, -20000}), (std::vector<int32_t>{2147483406, 242}));
    EXPECT_EQ(softmax(device, {5}), (std::vector<int32_t>{2147483645}));
    // −32768 against a positive maximum differs by more than 32767.
    const auto far = softmax(device, {-32768, 10, -32768});
    EXPECT_EQ(far[0], far[2]);
    EXPECT_EQ(far, expected_softmax({-32768, 10, -32768}));
}

TEST(Softmax, RandomisedRowsAgainstWideArithmetic) {
    CpuDevice device;
    std::mt19937 rng(10);
    const int rows = 7, length = 13;
    std::vector<int16_t> in(rows * length);
    for (auto& v : in) v = static_cast<int16_t>(rng() % 4 == 0 ? static_cast<int16_t>(rng()) : (rng() % 8000) - 4000);
    Buffer ob(device, 4 * rows * length), ib(device, 2 * rows * length);
    ib.put(in);
    ASSERT_EQ(run_op(device, KX_OP_SOFTMAX, {ob.get(), ib.get()}, {rows, length, 0, 0}), KX_STATUS_SUCCESS);
    const auto out = ob.get_values<int32_t>(rows * length);
    for (int r = 0; r < rows; ++r) {
        const std::vector<int16_t> row(in.begin() + r * length, in.begin() + (r + 1) * length);
        const std::vector<int32_t> got(out.begin() + r * length, out.begin() + (r + 1) * length);
        EXPECT_EQ(got, expected_softmax(row)) << "row " << r;
        int64_t total = 0;
        for (int32_t p : got) total += p;
        EXPECT_NEAR(static_cast<double>(total), 2147483648.0, 64.0);
    }
}

TEST(Softmax, EmptyRowsWriteNothing) {
    CpuDevice device;
    Buffer out(device, 8), in(device, 8);
    out.put(std::vector<int32_t>{7, 7});
    EXPECT_EQ(run_op(device, KX_OP_SOFTMAX, {out.get(), in.get()}, {2, 0, 0, 0}), KX_STATUS_SUCCESS);
    EXPECT_EQ(out.get_values<int32_t>(2), (std::vector<int32_t>{7, 7}));
}

TEST(NormalizeQuantize, ConstantFeatureTruncationAndSaturation) {
    CpuDevice device;
    // Frame-major [3][3]; feature 0 constant, feature 1 spread, feature 2 with an outlier.
    const std::vector<float> x = {5, -1, 0, 5, 0, 0, 5, 1, 1000};
    Buffer out(device, 2 * 9), in(device, 4 * 9);
    in.put(x);
    ASSERT_EQ(run_op(device, KX_OP_NORMALIZE_QUANTIZE, {out.get(), in.get()}, {float_bits(1e-5f), 3, 3}),
              KX_STATUS_SUCCESS);
    const auto q = out.get_values<int16_t>(9);
    for (int t = 0; t < 3; ++t) EXPECT_EQ(q[t * 3], 0);
    // Feature 1: mean 0, variance 2/3: ±1/sqrt(2/3 + 1e-5) · 1024, truncated.
    const float inv1 = 1.0f / std::sqrt(2.0f / 3.0f + 1e-5f);
    EXPECT_EQ(q[1], static_cast<int16_t>((-1.0f * inv1) * 1024.0f));
    EXPECT_EQ(q[4], 0);
    EXPECT_EQ(q[7], static_cast<int16_t>(inv1 * 1024.0f));
    EXPECT_EQ(q[1], -q[7]);

    // A one-frame window of zero variance and zero epsilon has no value: 0, not garbage.
    Buffer o1(device, 2), i1(device, 4);
    i1.put(std::vector<float>{3.0f});
    ASSERT_EQ(run_op(device, KX_OP_NORMALIZE_QUANTIZE, {o1.get(), i1.get()}, {float_bits(0.0f), 1, 1}),
              KX_STATUS_SUCCESS);
    EXPECT_EQ(o1.get_values<int16_t>(1)[0], 0);
}

TEST(NormalizeQuantize, SaturatesAndTruncatesTowardZero) {
    CpuDevice device;
    // One frame of 1 among 1999 zeros lies about 44.7 standard deviations out; the
    // others sit at -1/sqrt(1999) (v about -22.9), truncated toward zero.
    const int n = 2000;
    std::vector<float> x(n, 0.0f);
    x[0] = 1.0f;
    Buffer out(device, 2 * n), in(device, 4 * n);
    in.put(x);
    ASSERT_EQ(run_op(device, KX_OP_NORMALIZE_QUANTIZE, {out.get(), in.get()}, {float_bits(0.0f), n, 1}),
              KX_STATUS_SUCCESS);
    const auto q = out.get_values<int16_t>(n);
    EXPECT_EQ(q[0], 32767);
    EXPECT_EQ(q[1], -22);
    EXPECT_EQ(q[n - 1], -22);
}

TEST(Standardize, QuotedCaseInPlaceAndRandom) {
    CpuDevice device;
    std::mt19937 rng(3);
    const int n = 5, m = 4;
    std::vector<int16_t> in(n * m), mean(m), scale(m);
    for (auto& v : in) v = static_cast<int16_t>(rng());
    for (auto& v : mean) v = static_cast<int16_t>(rng());
    for (auto& v : scale) v = static_cast<int16_t>(rng());
    in[0] = 50, mean[0] = 100, scale[0] = 2048;
    in[1] = -32768, mean[1] = 32767, scale[1] = -32768;
    Buffer data(device, 1 + 2 * n * m), mb(device, 2 * m), sb(device, 2 * m);
    data.put(in, 1);
    mb.put(mean);
    sb.put(scale);
    ASSERT_EQ(run_op(device, KX_OP_STANDARDIZE, {data.get(), data.get(), mb.get(), sb.get()}, {n, m, 1, 1}),
              KX_STATUS_SUCCESS);
    const auto out = data.get_values<int16_t>(n * m, 1);
    EXPECT_EQ(out[0], -100);
    EXPECT_EQ(out[1], 32767);
    for (int t = 0; t < n; ++t)
        for (int f = 0; f < m; ++f)
            EXPECT_EQ(out[t * m + f], saturate16((int64_t{in[t * m + f]} - mean[f]) * scale[f] >> 10)) << t << "," << f;
}

TEST(SumPool, SumsFramesInQ10) {
    CpuDevice device;
    const std::vector<int16_t> in = {1024, -512, 1024, 0, 1024, 32767};  // [3][2]
    Buffer out(device, 3 + 8), ib(device, 1 + 12);
    ib.put(in, 1);
    ASSERT_EQ(run_op(device, KX_OP_SUM_POOL, {out.get(), ib.get()}, {3, 2, 3, 1}), KX_STATUS_SUCCESS);
    EXPECT_EQ(out.get_values<float>(2, 3), (std::vector<float>{3.0f, (32767.0f - 512.0f) / 1024.0f}));
    // No frames: every sum is 0.
    ASSERT_EQ(run_op(device, KX_OP_SUM_POOL, {out.get(), ib.get()}, {0, 2, 3, 1}), KX_STATUS_SUCCESS);
    EXPECT_EQ(out.get_values<float>(2, 3), (std::vector<float>{0.0f, 0.0f}));
}

TEST(GeluRelu, Values) {
    CpuDevice device;
    const std::vector<float> x = {0.0f, 1.0f, -1.0f, 3.5f, -1e30f, -100.0f, 1e30f, -0.0f};
    const int n = static_cast<int>(x.size());
    Buffer out(device, 4 * n + 2), in(device, 4 * n + 1);
    in.put(x, 1);
    ASSERT_EQ(run_op(device, KX_OP_GELU, {out.get(), in.get()}, {n, 2, 1}), KX_STATUS_SUCCESS);
    const auto g = out.get_values<float>(n, 2);
    EXPECT_EQ(g[0], 0.0f);
    EXPECT_FLOAT_EQ(g[1], 1.0f / (1.0f + static_cast<float>(std::exp(-1.702))));
    EXPECT_FLOAT_EQ(g[2], -1.0f * static_cast<float>(std::exp(-1.702)) / (static_cast<float>(std::exp(-1.702)) + 1.0f));
    EXPECT_NEAR(g[3], 3.5f * (1.0 / (1.0 + std::exp(-1.702 * 3.5))), 1e-5);
    for (int k : {4, 5}) {
        EXPECT_FALSE(std::isnan(g[k])) << k;
        EXPECT_LE(g[k], 0.0f);
        EXPECT_GT(g[k], -1e-30f);
    }
    EXPECT_EQ(g[6], 1e30f);

    ASSERT_EQ(run_op(device, KX_OP_RELU, {out.get(), in.get()}, {n, 2, 1}), KX_STATUS_SUCCESS);
    EXPECT_EQ(out.get_values<float>(n, 2), (std::vector<float>{0, 1, 0, 3.5f, 0, 0, 1e30f, 0}));
}
