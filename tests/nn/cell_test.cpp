// LSTM_CELL: quoted cases and a direct transcription over random and extreme inputs.
#include <random>

#include "nn_test_util.h"

namespace {

int16_t tanh1(int16_t x) {
    int16_t y;
    kx_tanh_q15(&x, &y, 1);
    return y;
}

// The cell's formulas written out lane by lane in 64-bit arithmetic.
void transcribe(const std::vector<int16_t>& gates, std::vector<int16_t>& cell, std::vector<int16_t>& hidden) {
    const size_t h = cell.size();
    for (size_t k = 0; k < h; ++k) {
        const int64_t i = kx_sigmoid_q15(gates[k]);
        const int64_t g = tanh1(gates[h + k]);
        const int64_t o = kx_sigmoid_q15(gates[2 * h + k]);
        const int64_t c = ((cell[k] * (32767 - i) + 16384) >> 15) + ((i * g + 524288) >> 20);
        cell[k] = saturate16(c);
        const int64_t t = tanh1(cell[k]);
        hidden[k] = static_cast<int16_t>((t * o + 524288) >> 20);
    }
}

// Runs the operator with hidden and cell in one state buffer at odd byte offsets.
void run_cell(kx_device_t* device, const std::vector<int16_t>& gates, std::vector<int16_t>& cell,
              std::vector<int16_t>& hidden) {
    const int32_t h = static_cast<int32_t>(cell.size());
    Buffer state(device, 3 + 4 * h), g(device, 1 + 6 * h);
    state.put(cell, 3);
    g.put(gates, 1);
    ASSERT_EQ(run_op(device, KX_OP_LSTM_CELL, {state.get(), state.get(), g.get()}, {h, 3 + 2 * h, 3, 1}),
              KX_STATUS_SUCCESS);
    cell = state.get_values<int16_t>(h, 3);
    hidden = state.get_values<int16_t>(h, 3 + 2 * h);
}

}  // namespace

TEST(LstmCell, QuotedCases) {
    CpuDevice device;
    std::vector<int16_t> gates(6, 0), cell = {0, 1024}, hidden(2);
    run_cell(device, gates, cell, hidden);
    EXPECT_EQ(cell, (std::vector<int16_t>{0, 512}));
    EXPECT_EQ(hidden[0], 0);
    // tanh(512) lands on table entry 16 exactly: 2·T[16] − 32768, times o = 16384.
    EXPECT_EQ(hidden[1], ((2 * kx_sigmoid_table[16] - 32768) * 16384 + 524288) >> 20);

    // The extremes of the state stay inside int16: with i >= 11 the two terms never
    // reach past ±32756, so the saturation is only a guard.
    gates = {-8192, -8192, 32767, -32768, 32767, 32767};
    cell = {32767, -32768};
    hidden = {0, 0};
    run_cell(device, gates, cell, hidden);
    EXPECT_EQ(cell, (std::vector<int16_t>{32755, -32756}));
    EXPECT_EQ(hidden[0], (32742 * 32755 + 524288) >> 20);
    EXPECT_EQ(hidden[1], (-32746 * 32755 + 524288) >> 20);
}

TEST(LstmCell, ZeroLanesChangeNothing) {
    CpuDevice device;
    Buffer state(device, 8), gates(device, 8);
    state.put(std::vector<int16_t>{1, 2, 3, 4});
    ASSERT_EQ(run_op(device, KX_OP_LSTM_CELL, {state.get(), state.get(), gates.get()}, {0, 0, 0, 0}),
              KX_STATUS_SUCCESS);
    EXPECT_EQ(state.get_values<int16_t>(4), (std::vector<int16_t>{1, 2, 3, 4}));
}

TEST(LstmCell, MatchesTheTranscription) {
    CpuDevice device;
    std::mt19937 rng(44);
    const int16_t extremes[] = {-32768, 32767, -8193, 8129, -1, 0, 1, 1023, -1024};
    for (int trial = 0; trial < 40; ++trial) {
        const int h = 1 + static_cast<int>(rng() % 70);
        std::vector<int16_t> gates(3 * h), cell(h), hidden(h);
        auto pick = [&]() {
            return trial % 3 == 0 ? extremes[rng() % 9] : static_cast<int16_t>(rng());
        };
        for (auto& v : gates) v = pick();
        for (auto& v : cell) v = pick();
        std::vector<int16_t> want_cell = cell, want_hidden(h);
        transcribe(gates, want_cell, want_hidden);
        run_cell(device, gates, cell, hidden);
        ASSERT_EQ(cell, want_cell) << "trial " << trial;
        ASSERT_EQ(hidden, want_hidden) << "trial " << trial;
        for (int16_t v : hidden) ASSERT_LE(std::abs(v), 1023);
    }
}
