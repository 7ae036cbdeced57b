// ADD, LINEAR, LINEAR_ACCUMULATE, MATMUL_F32, COPY and ZERO.
#include <random>

#include "nn_test_util.h"

namespace {

// Straightforward 64-bit transcription of the linear operators.
std::vector<int16_t> expected_linear(const std::vector<int16_t>& x, const std::vector<int8_t>& w,
                                     const std::vector<int8_t>& bias, int vectors, int rows, int columns,
                                     const std::vector<int16_t>* previous) {
    std::vector<int16_t> y(static_cast<size_t>(vectors) * rows);
    for (int v = 0; v < vectors; ++v)
        for (int r = 0; r < rows; ++r) {
            int64_t acc = int64_t{bias[r]} * 1024;
            for (int c = 0; c < columns; ++c) acc += int64_t{w[r * columns + c]} * x[v * columns + c];
            const int64_t product = (acc + 64) >> 7;
            const size_t index = static_cast<size_t>(v) * rows + r;
            y[index] = saturate16(previous ? (*previous)[index] + product : product);
        }
    return y;
}

struct LinearCase {
    int vectors, rows, columns;
    uint32_t out_offset, in_offset;
};

}  // namespace

TEST(Linear, QuotedCases) {
    CpuDevice device;
    // 80 weights of 127 times inputs of 32767 saturate.
    {
        Buffer out(device, 2 * 2), in(device, 2 * 80), w(device, 2 * 80), b(device, 2);
        in.put(std::vector<int16_t>(80, 32767));
        w.put(std::vector<int8_t>(160, 127));
        b.put(std::vector<int8_t>{0, 127});
        ASSERT_EQ(run_op(device, KX_OP_LINEAR, {out.get(), in.get(), w.get(), b.get()}, {1, 2, 80, 0, 0}),
                  KX_STATUS_SUCCESS);
        EXPECT_EQ(out.get_values<int16_t>(2), (std::vector<int16_t>{32767, 32767}));
    }
    // 0.5 × 1.0 = 0.5; bias 1 alone gives 8; accumulation saturates.
    {
        Buffer out(device, 6), in(device, 2), w(device, 3), b(device, 3);
        in.put(std::vector<int16_t>{1024});
        w.put(std::vector<int8_t>{64, 0, 0});
        b.put(std::vector<int8_t>{0, 1, 0});
        ASSERT_EQ(run_op(device, KX_OP_LINEAR, {out.get(), in.get(), w.get(), b.get()}, {1, 3, 1, 0, 0}),
                  KX_STATUS_SUCCESS);
        EXPECT_EQ(out.get_values<int16_t>(3), (std::vector<int16_t>{512, 8, 0}));

        // A product of +1000 onto 32000 stores 32767: (1000·128 − 64 + 64) >> 7 = 1000.
        in.put(std::vector<int16_t>{1000});
        w.put(std::vector<int8_t>{127, 0, 0});
        out.put(std::vector<int16_t>{32000, -5, 7});
        ASSERT_EQ(run_op(device, KX_OP_LINEAR_ACCUMULATE, {out.get(), in.get(), w.get(), b.get()}, {1, 3, 1, 0, 0}),
                  KX_STATUS_SUCCESS);
        const auto y = out.get_values<int16_t>(3);
        EXPECT_EQ(y[0], saturate16(32000 + ((127 * 1000 + 64) >> 7)));
        EXPECT_EQ(y[0], 32767);
        EXPECT_EQ(y[1], -5 + 8);
        EXPECT_EQ(y[2], 7);
    }
}

TEST(Linear, RandomisedAgainstWideArithmetic) {
    CpuDevice device;
    std::mt19937 rng(4);
    const LinearCase cases[] = {{1, 240, 160, 0, 0}, {3, 17, 33, 1, 3}, {2, 5, 1, 7, 9}, {1, 1, 300, 0, 5},
                                {4, 48, 16, 2, 0}};
    for (const LinearCase& c : cases) {
        for (int trial = 0; trial < 4; ++trial) {
            // Trial 0 uses only extreme values so that many outputs saturate.
            auto i16 = [&]() {
                return static_cast<int16_t>(trial == 0 ? (rng() & 1 ? 32767 : -32768)
                                                       : std::uniform_int_distribution<int>(-32768, 32767)(rng));
            };
            auto i8 = [&]() {
                return static_cast<int8_t>(trial == 0 ? (rng() & 1 ? 127 : -128)
                                                      : std::uniform_int_distribution<int>(-128, 127)(rng));
            };
            std::vector<int16_t> x(static_cast<size_t>(c.vectors) * c.columns), previous(c.vectors * c.rows);
            std::vector<int8_t> w(static_cast<size_t>(c.rows) * c.columns), bias(c.rows);
            for (auto& v : x) v = i16();
            for (auto& v : w) v = i8();
            for (auto& v : bias) v = i8();
            for (auto& v : previous) v = i16();
            Buffer out(device, c.out_offset + 2 * previous.size()), in(device, c.in_offset + 2 * x.size());
            Buffer wb(device, w.size()), bb(device, bias.size());
            in.put(x, c.in_offset);
            wb.put(w);
            bb.put(bias);
            for (bool accumulate : {false, true}) {
                out.put(previous, c.out_offset);
                const kx_op_t op = accumulate ? KX_OP_LINEAR_ACCUMULATE : KX_OP_LINEAR;
                ASSERT_EQ(run_op(device, op, {out.get(), in.get(), wb.get(), bb.get()},
                                 {c.vectors, c.rows, c.columns, static_cast<int32_t>(c.out_offset),
                                  static_cast<int32_t>(c.in_offset)}),
                          KX_STATUS_SUCCESS);
                EXPECT_EQ(out.get_values<int16_t>(previous.size(), c.out_offset),
                          expected_linear(x, w, bias, c.vectors, c.rows, c.columns, accumulate ? &previous : nullptr))
                    << c.rows << "x" << c.columns << " accumulate " << accumulate;
            }
        }
    }
}

TEST(Add, SaturatesAndWorksInPlaceAtOddOffsets) {
    CpuDevice device;
    std::mt19937 rng(5);
    const int count = 37;
    std::vector<int16_t> a(count), b(count);
    for (int k = 0; k < count; ++k) {
        a[k] = static_cast<int16_t>(rng());
        b[k] = static_cast<int16_t>(rng());
    }
    a[0] = -32768, b[0] = -1;
    a[1] = 32767, b[1] = 1;
    Buffer ab(device, 3 + 2 * count), bb(device, 1 + 2 * count);
    ab.put(a, 3);
    bb.put(b, 1);
    // out = a, same buffer and offset: the in-place accumulation of the two directions.
    ASSERT_EQ(run_op(device, KX_OP_ADD, {ab.get(), ab.get(), bb.get()}, {count, 3, 3, 1}), KX_STATUS_SUCCESS);
    const auto sum = ab.get_values<int16_t>(count, 3);
    for (int k = 0; k < count; ++k) EXPECT_EQ(sum[k], saturate16(int64_t{a[k]} + b[k])) << k;
    EXPECT_EQ(sum[0], -32768);
    EXPECT_EQ(sum[1], 32767);
}

TEST(MatmulF32, MatrixTimesVectors) {
    CpuDevice device;
    const std::vector<float> matrix = {1, 2, 3, -1, 0.5f, 4};  // [2][3]
    const std::vector<float> in = {1, 1, 1, 2, 0, -1};         // two vectors of 3
    Buffer out(device, 1 + 16), ib(device, 2 + 24), mb(device, 5 + 24);
    ib.put(in, 2);
    mb.put(matrix, 5);
    ASSERT_EQ(run_op(device, KX_OP_MATMUL_F32, {out.get(), ib.get(), mb.get()}, {2, 2, 3, 1, 2, 5}),
              KX_STATUS_SUCCESS);
    EXPECT_EQ(out.get_values<float>(4, 1), (std::vector<float>{6, 3.5f, -1, -6}));
}

TEST(CopyZero, ByteRangesAndEmptyCounts) {
    CpuDevice device;
    std::vector<uint8_t> pattern(64);
    for (int k = 0; k < 64; ++k) pattern[k] = static_cast<uint8_t>(k + 1);
    Buffer a(device, 64), b(device, 64);
    a.put(pattern);
    ASSERT_EQ(run_op(device, KX_OP_COPY, {b.get(), a.get()}, {0, 0, 0}), KX_STATUS_SUCCESS);
    ASSERT_EQ(run_op(device, KX_OP_ZERO, {a.get()}, {0, 0}), KX_STATUS_SUCCESS);
    EXPECT_EQ(a.get_values<uint8_t>(64), pattern);
    EXPECT_EQ(b.get_values<uint8_t>(64), std::vector<uint8_t>(64, 0));

    ASSERT_EQ(run_op(device, KX_OP_COPY, {b.get(), a.get()}, {5, 3, 59}), KX_STATUS_SUCCESS);
    ASSERT_EQ(run_op(device, KX_OP_ZERO, {a.get()}, {7, 11}), KX_STATUS_SUCCESS);
    auto copied = b.get_values<uint8_t>(64);
    std::vector<uint8_t> expected(64, 0);
    for (int k = 0; k < 5; ++k) expected[3 + k] = pattern[59 + k];
    EXPECT_EQ(copied, expected);
    auto zeroed = a.get_values<uint8_t>(64);
    expected = pattern;
    for (int k = 11; k < 18; ++k) expected[k] = 0;
    EXPECT_EQ(zeroed, expected);
}

// Ranges outside a buffer and negative counts are refused instead of touching memory
// they do not own; nothing is written.
TEST(OperatorBounds, OutOfRangeArgumentsAreRefused) {
    CpuDevice device;
    Buffer a(device, 16), b(device, 16);
    a.put(std::vector<int16_t>(8, 3));
    const struct {
        kx_op_t op;
        std::initializer_list<kx_buffer_t*> buffers;
        std::initializer_list<int32_t> ints;
    } cases[] = {
        {KX_OP_ZERO, {a.get()}, {17, 0}},
        {KX_OP_ZERO, {a.get()}, {2, 15}},
        {KX_OP_ZERO, {a.get()}, {1, -1}},
        {KX_OP_ZERO, {a.get()}, {-1, 0}},
        {KX_OP_ZERO, {nullptr}, {1, 0}},
        {KX_OP_COPY, {a.get(), b.get()}, {8, 0, 9}},
        {KX_OP_ADD, {a.get(), a.get(), b.get()}, {9, 0, 0, 0}},
        {KX_OP_LINEAR, {a.get(), b.get(), b.get(), b.get()}, {1, 4, 4, 0, 0}},  // weights need 16 + out 8: fits; bias 4
        {KX_OP_LINEAR, {a.get(), b.get(), b.get(), b.get()}, {65536, 65536, 65536, 0, 0}},
        {KX_OP_LINEAR, {a.get(), b.get(), b.get(), b.get()}, {1, -4, 4, 0, 0}},
        {KX_OP_LSTM_CELL, {a.get(), a.get(), b.get()}, {3, 0, 0, 0}},
        {KX_OP_SOFTMAX, {a.get(), b.get()}, {1, 5, 0, 0}},
        {KX_OP_SUM_POOL, {a.get(), b.get()}, {2147483647, 2, 0, 0}},
        {KX_OP_MATMUL_F32, {a.get(), b.get(), b.get()}, {1, 1, 5, 0, 0, 0}},
        {KX_OP_STANDARDIZE, {a.get(), a.get(), b.get(), b.get()}, {1, 9, 0, 0}},
        {KX_OP_NORMALIZE_QUANTIZE, {a.get(), b.get()}, {0, 2, 3}},
        {KX_OP_GELU, {a.get(), b.get()}, {5, 0, 0}},
        {KX_OP_RELU, {a.get(), b.get()}, {1, 13, 0}},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const kx_status_t status = run_op(device, cases[i].op, cases[i].buffers, cases[i].ints);
        if (i == 7) {
            EXPECT_EQ(status, KX_STATUS_SUCCESS);  // the control case fits exactly
            a.put(std::vector<int16_t>(8, 3));
            continue;
        }
        EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT) << "case " << i;
        EXPECT_EQ(a.get_values<int16_t>(8), std::vector<int16_t>(8, 3)) << "case " << i;
    }
    EXPECT_EQ(run_op(device, static_cast<kx_op_t>(13), {a.get()}, {0, 0}), KX_STATUS_INVALID_ARGUMENT);
}
