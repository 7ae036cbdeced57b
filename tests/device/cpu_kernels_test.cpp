#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "device/cpu.h"
#include "device/cpu_kernels.h"
#include "device/device.h"
#include "nn/network.h"
#include "nn/ops.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Path {
    const char* name;
    uint32_t mask;
};

// Every code path this processor can run, selected by capping the feature bits.
std::vector<Path> available_paths() {
    const uint32_t detected = kx_cpu_detect_features();
    std::vector<Path> paths = {{"portable", 0}};
    if (detected & KX_CPU_SSE41) paths.push_back({"sse41", KX_CPU_SSE41});
    if ((detected & KX_CPU_AVX2) && (detected & KX_CPU_SSE41))
        paths.push_back({"avx2", KX_CPU_SSE41 | KX_CPU_AVX | KX_CPU_AVX2});
    if (kx_cpu_linear_avx512_usable(detected)) paths.push_back({"avx512", ~0u});
    if (detected & KX_CPU_NEON) paths.push_back({"neon", KX_CPU_NEON});
    return paths;
}

kx_device_t* make_device(const std::string& text, uint32_t mask) {
    kx_cpu_set_feature_mask(mask);
    kx_device_t* device = nullptr;
    EXPECT_EQ(kx_device_create_from_string(text.c_str(), "cpu:1", &device), KX_STATUS_SUCCESS);
    kx_cpu_set_feature_mask(~0u);
    return device;
}

kx_cpu_device_t* cpu_of(kx_device_t* device) { return static_cast<kx_cpu_device_t*>(device->backend); }

struct Target {
    std::string label;
    kx_device_t* device;
    uint32_t mask;
};

// One operator call: distinct buffer contents, which of them each operand uses, ints.
struct Call {
    kx_op_t op;
    std::vector<Bytes> contents;
    std::vector<int> operands;
    std::vector<int32_t> ints;
};

enum class Runner { kKernel, kReference };

// Runs a call on buffers of exactly the given sizes (so that a read or write past an
// operand's end reaches memory the address sanitizer watches) and returns their
// contents afterwards.
std::vector<Bytes> run(kx_device_t* device, const Call& call, Runner runner, kx_status_t* status = nullptr) {
    std::vector<kx_buffer_t*> buffers;
    for (const Bytes& bytes : call.contents) {
        kx_buffer_t* b = kx_buffer_create(device, static_cast<uint32_t>(bytes.size()), 0);
        if (!bytes.empty()) std::memcpy(b->storage, bytes.data(), bytes.size());
        buffers.push_back(b);
    }
    kx_op_args_t args = {};
    for (size_t i = 0; i < call.operands.size(); ++i) args.buffers[i] = buffers[call.operands[i]];
    for (size_t i = 0; i < call.ints.size(); ++i) args.ints[i] = call.ints[i];
    const kx_status_t s = runner == Runner::kKernel
                              ? kx_device_kind_ops(device)->op_kernel[call.op](device->backend,
                                                                               device->op_state[call.op], &args)
                              : kx_op_reference[call.op](device, &args);
    if (status) *status = s;
    else EXPECT_EQ(s, KX_STATUS_SUCCESS);
    std::vector<Bytes> result;
    for (size_t i = 0; i < buffers.size(); ++i) {
        const auto* p = static_cast<const uint8_t*>(buffers[i]->storage);
        result.emplace_back(p, p + call.contents[i].size());
        kx_buffer_destroy(device, buffers[i]);
    }
    return result;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return b;
}

Bytes random_floats(std::mt19937& rng, int64_t offset, int64_t count) {
    Bytes b = random_bytes(rng, static_cast<size_t>(offset + 4 * count));
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (int64_t i = 0; i < count; ++i) {
        const float f = value(rng);
        std::memcpy(b.data() + offset + 4 * i, &f, 4);
    }
    return b;
}

// Fills count int16 values at offset with values drawn from pick.
template <typename Pick>
void fill16(Bytes& b, int64_t offset, int64_t count, Pick pick) {
    for (int64_t i = 0; i < count; ++i) {
        const int16_t v = pick();
        std::memcpy(b.data() + offset + 2 * i, &v, 2);
    }
}

class CpuKernels : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Even the smallest calls go to the pool, so that its item ranges are tested.
        kx_cpu_set_hand_off_work(0);
        for (const Path& path : available_paths())
            for (int threads : {1, 2, 4}) {
                const std::string text = "cpu:" + std::to_string(threads);
                targets_.push_back({std::string(path.name) + " " + text, make_device(text, path.mask), path.mask});
            }
        reference_device_ = make_device("cpu:1", ~0u);
        kx_cpu_set_hand_off_work(KX_CPU_HAND_OFF_WORK);
    }
    static void TearDownTestSuite() {
        for (Target& t : targets_) kx_device_release(t.device);
        targets_.clear();
        kx_device_release(reference_device_);
    }

    // Every path on 1, 2 and 4 threads gives the reference's bytes in every buffer.
    static void expect_matches_reference(const Call& call, const std::string& what) {
        const std::vector<Bytes> expected = run(reference_device_, call, Runner::kReference);
        for (const Target& t : targets_) {
            const std::vector<Bytes> got = run(t.device, call, Runner::kKernel);
            for (size_t i = 0; i < got.size(); ++i) {
                if (got[i] == expected[i]) continue;
                size_t at = 0;
                while (got[i][at] == expected[i][at]) ++at;
                ADD_FAILURE() << t.label << ", " << what << ": buffer " << i << " differs first at byte " << at;
                return;
            }
        }
    }

    static std::vector<Target> targets_;
    static kx_device_t* reference_device_;
    std::mt19937 rng_{20240611};
};

std::vector<Target> CpuKernels::targets_;
kx_device_t* CpuKernels::reference_device_ = nullptr;

const int32_t kOffsets[] = {0, 2, 6, 34, 1, 3};

TEST_F(CpuKernels, LinearOnEveryPathMatchesTheReference) {
    const int32_t rows_list[] = {1, 2, 3, 7, 8, 15, 16, 17, 32, 33, 80};
    const int32_t columns_list[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 48, 63, 64, 65, 80, 168};
    int round = 0;
    for (kx_op_t op : {KX_OP_LINEAR, KX_OP_LINEAR_ACCUMULATE})
        for (int32_t vectors : {1, 2, 3})
            for (int32_t rows : rows_list)
                for (int32_t columns : columns_list) {
                    const int32_t out_offset = kOffsets[round % 6], in_offset = kOffsets[(round / 6) % 6];
                    ++round;
                    Call call{op, {}, {0, 1, 2, 3}, {vectors, rows, columns, out_offset, in_offset}};
                    Bytes out = random_bytes(rng_, out_offset + 2 * vectors * rows);
                    Bytes in = random_bytes(rng_, in_offset + 2 * vectors * columns);
                    Bytes weights = random_bytes(rng_, rows * columns), bias = random_bytes(rng_, rows);
                    if (round % 5 == 0) {
                        // Extremes: every sum saturates one way or the other.
                        for (auto& w : weights) w = rng_() % 2 ? 0x7F : 0x80;
                        fill16(in, in_offset, vectors * columns, [&] { return rng_() % 2 ? 32767 : -32768; });
                    }
                    call.contents = {out, in, weights, bias};
                    expect_matches_reference(call, "op " + std::to_string(op) + " B=" + std::to_string(vectors) +
                                                       " M=" + std::to_string(rows) + " K=" + std::to_string(columns));
                }
}

TEST_F(CpuKernels, WideLinearSumsWrapLikeTheReference) {
    // 520 columns of 127 × 32767 exceed 32 bits; every path wraps the same way. 4500
    // columns are wider than the byte-split input buffer of the AVX-512 path.
    for (kx_op_t op : {KX_OP_LINEAR, KX_OP_LINEAR_ACCUMULATE})
        for (int32_t vectors : {1, 2})
            for (int32_t columns : {520, 4500}) {
                const int32_t rows = 5;
                Bytes in(2 * vectors * columns), weights(rows * columns, 0x7F), bias(rows, 0x7F);
                fill16(in, 0, vectors * columns, [] { return 32767; });
                expect_matches_reference({op, {random_bytes(rng_, 2 * vectors * rows), in, weights, bias},
                                          {0, 1, 2, 3}, {vectors, rows, columns, 0, 0}},
                                         "K=" + std::to_string(columns));
            }
}

TEST_F(CpuKernels, AddOnEveryPathMatchesTheReference) {
    int round = 0;
    for (int32_t n : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100, 300000, 300001}) {
        for (int layout = 0; layout < 3; ++layout) {  // separate, out = a, out = b
            const int32_t o = kOffsets[round++ % 6], a = kOffsets[round % 6], b = kOffsets[(round + 2) % 6];
            Call call{KX_OP_ADD, {}, {0, 1, 2}, {n, o, a, b}};
            call.contents = {random_bytes(rng_, o + 2 * n), random_bytes(rng_, a + 2 * n), random_bytes(rng_, b + 2 * n)};
            if (layout == 1) call.operands = {1, 1, 2}, call.ints = {n, a, a, b};
            if (layout == 2) call.operands = {2, 1, 2}, call.ints = {n, b, a, b};
            expect_matches_reference(call, "n=" + std::to_string(n) + " layout " + std::to_string(layout));
        }
    }
}

TEST_F(CpuKernels, LstmCellOnEveryPathMatchesTheReference) {
    int round = 0;
    for (int32_t h : {0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 80, 128, 129, 300}) {
        for (bool shared : {false, true}) {
            const int32_t g = kOffsets[round++ % 6];
            // Gate inputs across the whole int16 range, and around the table's clamps.
            const int16_t special[] = {-32768, -8193, -8192, -8191, -65, -64, -63, -1, 0, 1, 63, 64, 8127, 8128, 8129, 32767};
            Bytes gates = random_bytes(rng_, g + 6 * h);
            fill16(gates, g, 3 * h, [&] { return rng_() % 3 ? static_cast<int16_t>(rng_()) : special[rng_() % 16]; });
            Call call{KX_OP_LSTM_CELL, {}, {}, {}};
            if (shared) {
                // Hidden output and cell state in one buffer, as the embedding network keeps them.
                const int32_t hidden_offset = kOffsets[round % 6], cell_offset = hidden_offset + 2 * h + 2;
                call.contents = {random_bytes(rng_, cell_offset + 2 * h), gates};
                call.operands = {0, 0, 1};
                call.ints = {h, hidden_offset, cell_offset, g};
            } else {
                call.contents = {random_bytes(rng_, 2 * h + 1), random_bytes(rng_, 2 * h + 3), gates};
                call.operands = {0, 1, 2};
                call.ints = {h, 1, 3, g};
            }
            expect_matches_reference(call, "H=" + std::to_string(h) + (shared ? " shared" : ""));
        }
    }
}

// A whole recurrent direction in one call equals LINEAR, LSTM_CELL and COPY / ADD
// run frame by frame by the references, on operands at odd addresses. The AVX-512
// path takes hidden sizes that are multiples of 16 up to 256 (with its workspace;
// inputs wider than one pass of its scratch too), the portable loop takes everything
// on a processor without vector paths; the others decline and leave the output
// untouched.
TEST_F(CpuKernels, RecurrentSequenceMatchesTheOperatorsFrameByFrame) {
    kx_device_t* reference = make_device("cpu:1", ~0u);
    reference->flags |= KX_DEVICE_FLAG_REFERENCE_ONLY;
    struct Shape {
        int32_t hidden, input;
    };
    const Shape shapes[] = {{16, 40}, {64, 40}, {64, 64}, {32, 7}, {48, 1}, {16, 0}, {8, 5}, {80, 80}, {96, 0},
                           {96, 40}, {96, 96}, {128, 128}, {16, 515}, {272, 8}};
    int round = 0;
    for (const Shape& shape : shapes)
        for (int32_t frames : {0, 1, 9, 17}) {
            const bool reverse = round % 2 == 1, accumulate = round % 4 >= 2, extreme = round % 5 == 4;
            ++round;
            const int32_t h = shape.hidden, in = shape.input;
            Bytes weights = random_bytes(rng_, static_cast<size_t>(3 * h * (h + in)));
            Bytes bias = random_bytes(rng_, static_cast<size_t>(3 * h));
            Bytes input(static_cast<size_t>(2 * frames * in)), output(static_cast<size_t>(2 * frames * h));
            fill16(input, 0, frames * in, [&] { return static_cast<int16_t>(static_cast<int>(rng_() % 4096) - 2048); });
            fill16(output, 0, frames * h, [&] { return static_cast<int16_t>(rng_()); });
            if (extreme) {
                for (auto& w : weights) w = rng_() % 2 ? 0x7F : 0x80;
                fill16(input, 0, frames * in, [&] { return rng_() % 2 ? 32767 : -32768; });
            }
            const std::string what = "H=" + std::to_string(h) + " I=" + std::to_string(in) +
                                     " T=" + std::to_string(frames) + (reverse ? " reverse" : "") +
                                     (accumulate ? " accumulate" : "");

            // Frame by frame through the reference operators.
            auto device_buffer = [&](const Bytes& bytes) {
                kx_buffer_t* b = kx_buffer_create(reference, static_cast<uint32_t>(bytes.size()), 0);
                if (!bytes.empty()) std::memcpy(b->storage, bytes.data(), bytes.size());
                return b;
            };
            kx_lstm_layer_t layer = {h, in, device_buffer(weights), device_buffer(bias), nullptr};
            kx_buffer_t* ref_out = device_buffer(output);
            kx_buffer_t* ref_in = device_buffer(input);
            ASSERT_EQ(kx_lstm_direction_run(reference, &layer, ref_out, ref_in, frames, reverse, accumulate),
                      KX_STATUS_SUCCESS);
            const auto* expected = static_cast<const uint8_t*>(ref_out->storage);
            const Bytes want(expected, expected + output.size());
            for (kx_buffer_t* b : {layer.weights, layer.bias, ref_out, ref_in}) kx_buffer_destroy(reference, b);

            for (const Path& path : available_paths()) {
                kx_device_t* device = make_device("cpu:1", path.mask);
                // Each operand one byte past an aligned address.
                const int64_t workspace_bytes = kx_cpu_lstm_sequence_workspace(device->backend, h, in);
                const bool avx512 = std::string(path.name) == "avx512" && h % 16 == 0 && h <= 256;
                EXPECT_EQ(workspace_bytes > 0, avx512) << path.name << ", " << what;
                std::vector<Bytes> storage = {output, input, weights, bias,
                                              Bytes(static_cast<size_t>(workspace_bytes))};
                std::vector<Bytes> shifted;
                kx_buffer_t records[5];
                for (int i = 0; i < 5; ++i) {
                    shifted.emplace_back(storage[i].size() + 1);
                    if (!storage[i].empty()) std::memcpy(shifted[i].data() + 1, storage[i].data(), storage[i].size());
                    records[i] = {static_cast<uint32_t>(storage[i].size()), 0, shifted[i].data() + 1};
                }
                const kx_lstm_sequence_t args = {&records[0], &records[1], &records[2], &records[3],
                                                 avx512 ? &records[4] : nullptr, h, in, frames, reverse, accumulate};
                const kx_status_t status = kx_cpu_kernel_lstm_sequence(device->backend, &args);
                const bool portable = std::string(path.name) == "portable";
                const Bytes got(shifted[0].begin() + 1, shifted[0].end());
                if (avx512 || portable || frames == 0) {
                    EXPECT_EQ(status, KX_STATUS_SUCCESS) << path.name << ", " << what;
                    EXPECT_TRUE(got == want) << path.name << ", " << what;
                } else {
                    EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT) << path.name << ", " << what;
                    EXPECT_TRUE(got == output) << path.name << ", " << what;
                }
                // Through the network runtime, fused or not, the result is the same.
                kx_lstm_layer_t own = {h, in, device_buffer(weights), device_buffer(bias), nullptr};
                ASSERT_EQ(kx_lstm_layer_prepare(device, &own), KX_STATUS_SUCCESS);
                EXPECT_EQ(own.workspace != nullptr, avx512) << path.name << ", " << what;
                kx_buffer_t* out = device_buffer(output);
                kx_buffer_t* x = device_buffer(input);
                EXPECT_EQ(kx_lstm_direction_run(device, &own, out, x, frames, reverse, accumulate), KX_STATUS_SUCCESS);
                const auto* run_bytes = static_cast<const uint8_t*>(out->storage);
                EXPECT_TRUE(Bytes(run_bytes, run_bytes + output.size()) == want) << path.name << ", run, " << what;
                for (kx_buffer_t* b : {own.weights, own.bias, out, x}) kx_buffer_destroy(reference, b);
                if (own.workspace) kx_buffer_destroy(device, own.workspace);
                kx_device_release(device);
            }
        }
    kx_device_release(reference);
}

// A recurrent step with separately rounded products equals LINEAR, LINEAR_ACCUMULATE
// and LSTM_CELL by the references, over several steps that reuse the workspace and
// after the weights change (the workspace must notice), on operands at odd addresses.
TEST_F(CpuKernels, RecurrentStepMatchesTheOperators) {
    kx_device_t* reference = make_device("cpu:1", ~0u);
    struct Shape {
        int32_t hidden, input;
    };
    const Shape shapes[] = {{80, 80}, {16, 3}, {32, 0}, {48, 81}, {8, 8}};
    for (const Shape& shape : shapes) {
        const int32_t h = shape.hidden, in = shape.input;
        std::vector<Bytes> weight_sets;
        for (int set = 0; set < 2; ++set)
            weight_sets.push_back(random_bytes(rng_, static_cast<size_t>(3 * h * (in + h))));
        const Bytes biases = random_bytes(rng_, static_cast<size_t>(6 * h));
        Bytes hidden(static_cast<size_t>(2 * h)), cell(static_cast<size_t>(2 * h));
        fill16(hidden, 0, h, [&] { return static_cast<int16_t>(rng_()); });
        fill16(cell, 0, h, [&] { return static_cast<int16_t>(rng_()); });
        const size_t workspace_bytes = static_cast<size_t>(kx_lstm_step_workspace_bytes(h, in));

        for (const Path& path : available_paths()) {
            kx_device_t* device = make_device("cpu:1", path.mask);
            // Operands: hidden, cell, input, input weights, input bias, hidden weights,
            // hidden bias, workspace; each one byte past an aligned address.
            std::vector<Bytes> shifted(8);
            kx_buffer_t records[8];
            auto place = [&](int i, const uint8_t* bytes, size_t n) {
                shifted[i].assign(n + 1, 0);
                if (bytes && n) std::memcpy(shifted[i].data() + 1, bytes, n);
                records[i] = {static_cast<uint32_t>(n), 0, shifted[i].data() + 1};
            };
            place(0, hidden.data(), hidden.size());
            place(1, cell.data(), cell.size());
            place(7, nullptr, workspace_bytes);
            Bytes ref_hidden = hidden, ref_cell = cell;
            std::deque<Bytes> kept;
            const bool fused = (std::string(path.name) == "avx512" && h % 16 == 0) ||
                               std::string(path.name) == "portable";
            for (int frame = 0; frame < 12; ++frame) {
                const Bytes& w = weight_sets[frame / 9];  // new weights from frame 9 on
                const Bytes input_weights(w.begin(), w.begin() + 3 * h * in);
                const Bytes hidden_weights(w.begin() + 3 * h * in, w.end());
                Bytes x(static_cast<size_t>(2 * in));
                fill16(x, 0, in, [&] { return static_cast<int16_t>(static_cast<int>(rng_() % 8192) - 4096); });
                if (frame == 2) fill16(x, 0, in, [&] { return rng_() % 2 ? 32767 : -32768; });
                place(2, x.data(), x.size());
                // The workspace knows its weights by address: new weights live elsewhere.
                if (frame == 0 || frame == 9) {
                    place(3, input_weights.data(), input_weights.size());
                    place(5, hidden_weights.data(), hidden_weights.size());
                    kept.push_back(shifted[3]);
                    kept.push_back(shifted[5]);
                    records[3].storage = kept[kept.size() - 2].data() + 1;
                    records[5].storage = kept.back().data() + 1;
                }
                place(4, biases.data(), static_cast<size_t>(3 * h));
                place(6, biases.data() + 3 * h, static_cast<size_t>(3 * h));
                // The operators: gates = input product, += hidden product, cell.
                Bytes gates(static_cast<size_t>(6 * h));
                const std::vector<Bytes> linear = run(
                    reference, {KX_OP_LINEAR, {gates, x, input_weights, Bytes(biases.begin(), biases.begin() + 3 * h)},
                                {0, 1, 2, 3}, {1, 3 * h, in, 0, 0}},
                    Runner::kReference);
                const std::vector<Bytes> accumulated =
                    run(reference, {KX_OP_LINEAR_ACCUMULATE, {linear[0], ref_hidden, hidden_weights,
                                                               Bytes(biases.begin() + 3 * h, biases.end())},
                                    {0, 1, 2, 3}, {1, 3 * h, h, 0, 0}},
                        Runner::kReference);
                const std::vector<Bytes> stepped =
                    run(reference, {KX_OP_LSTM_CELL, {ref_hidden, ref_cell, accumulated[0]}, {0, 1, 2}, {h, 0, 0, 0}},
                        Runner::kReference);
                ref_hidden = stepped[0];
                ref_cell = stepped[1];

                const kx_lstm_step_t args = {&records[0], &records[1], &records[2], &records[3], &records[4],
                                             &records[5], &records[6], &records[7], h,           in};
                const kx_status_t status = kx_cpu_kernel_lstm_step(device->backend, &args);
                const std::string what = std::string(path.name) + " H=" + std::to_string(h) +
                                         " I=" + std::to_string(in) + " frame " + std::to_string(frame);
                if (!fused) {
                    EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT) << what;
                    EXPECT_TRUE(Bytes(shifted[0].begin() + 1, shifted[0].end()) == hidden) << what;
                    break;
                }
                ASSERT_EQ(status, KX_STATUS_SUCCESS) << what;
                EXPECT_TRUE(Bytes(shifted[0].begin() + 1, shifted[0].end()) == ref_hidden) << what;
                EXPECT_TRUE(Bytes(shifted[1].begin() + 1, shifted[1].end()) == ref_cell) << what;
            }
            kx_device_release(device);
        }
    }
    kx_device_release(reference);
}

TEST_F(CpuKernels, SoftmaxOnEveryPathMatchesTheReference) {
    int round = 0;
    for (int32_t rows : {0, 1, 2, 3, 5, 40})
        for (int32_t length : {1, 2, 3, 7, 8, 9, 15, 16, 17, 32, 33}) {
            const int32_t o = kOffsets[round++ % 6], i = kOffsets[(round + 1) % 6];
            Bytes in = random_bytes(rng_, i + 2 * rows * length);
            if (round % 3 == 0)  // close values: many exponents near 1
                fill16(in, i, rows * length, [&] { return static_cast<int16_t>(rng_() % 4000); });
            if (round % 3 == 1)  // -32768 beside positive maxima: differences below -32767
                fill16(in, i, rows * length, [&] { return rng_() % 2 ? -32768 : static_cast<int16_t>(rng_() % 30000); });
            expect_matches_reference({KX_OP_SOFTMAX, {random_bytes(rng_, o + 4 * rows * length), in}, {0, 1},
                                      {rows, length, o, i}},
                                     "R=" + std::to_string(rows) + " L=" + std::to_string(length));
        }
}

TEST_F(CpuKernels, StandardizeOnEveryPathMatchesTheReference) {
    int round = 0;
    for (int32_t frames : {0, 1, 2, 3, 5, 2500})
        for (int32_t width : {1, 7, 8, 9, 15, 16, 17, 32, 40}) {
            if (frames == 2500 && width != 16 && width != 17) continue;
            for (bool in_place : {false, true}) {
                const int32_t o = kOffsets[round++ % 6], i = kOffsets[(round + 3) % 6];
                const size_t bytes = 2 * static_cast<size_t>(frames) * width;
                // Full-range values: in - mean often leaves the 16-bit range.
                Call call{KX_OP_STANDARDIZE,
                          {random_bytes(rng_, o + bytes), random_bytes(rng_, i + bytes), random_bytes(rng_, 2 * width),
                           random_bytes(rng_, 2 * width)},
                          {0, 1, 2, 3},
                          {frames, width, o, i}};
                if (in_place) call.operands = {1, 1, 2, 3}, call.ints = {frames, width, i, i};
                expect_matches_reference(call, "n=" + std::to_string(frames) + " m=" + std::to_string(width));
            }
        }
}

TEST_F(CpuKernels, StandardizeNeverWrapsTheDifference) {
    // 30000 - (-10000) = 40000 does not fit 16 bits; every path stores 32767.
    for (int32_t width : {8, 16, 3}) {
        Bytes in(2 * width), mean(2 * width), scale(2 * width);
        fill16(in, 0, width, [] { return 30000; });
        fill16(mean, 0, width, [] { return -10000; });
        fill16(scale, 0, width, [] { return 1024; });
        for (const Target& t : targets_) {
            const auto out = run(t.device, {KX_OP_STANDARDIZE, {Bytes(2 * width), in, mean, scale}, {0, 1, 2, 3},
                                            {1, width, 0, 0}},
                                 Runner::kKernel);
            for (int32_t f = 0; f < width; ++f) {
                int16_t v;
                std::memcpy(&v, out[0].data() + 2 * f, 2);
                ASSERT_EQ(v, 32767) << t.label << " m=" << width;
            }
        }
    }
}

// The processor's fused multiply-add, with one rounding (MinGW's fmaf rounds twice).
// Only the x86 AVX2 path fuses, so only x86 needs it.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("fma"))) float fused(float a, float b, float c) { return __builtin_fmaf(a, b, c); }
#else
float fused(float a, float b, float c) { return std::fma(a, b, c); }
#endif

// The fused multiply-add path's summation order: four 8-lane accumulators, then
// (A2 + A3) + (A0 + A1), then lanes j and j+4, then (U0 + U1) + (U2 + U3).
float fma_order_dot(const float* x, const float* m, int64_t k) {
    float a[4][8] = {};
    for (int64_t c = 0; c < k; c += 32)
        for (int q = 0; q < 4; ++q)
            for (int l = 0; l < 8; ++l) a[q][l] = fused(x[c + 8 * q + l], m[c + 8 * q + l], a[q][l]);
    float s[8], u[4];
    for (int l = 0; l < 8; ++l) s[l] = (a[2][l] + a[3][l]) + (a[0][l] + a[1][l]);
    for (int j = 0; j < 4; ++j) u[j] = s[j] + s[j + 4];
    return (u[0] + u[1]) + (u[2] + u[3]);
}

TEST_F(CpuKernels, MatmulIsExactExceptTheFmaPathsStatedOrder) {
    int round = 0;
    for (int32_t vectors : {1, 2, 3})
        for (int32_t rows : {1, 2, 5, 8})
            for (int32_t columns : {0, 1, 3, 4, 5, 31, 32, 33, 48, 64, 96}) {
                const int32_t o = kOffsets[round++ % 6] * 2, i = kOffsets[round % 6], m = kOffsets[(round + 2) % 6];
                const Call call{KX_OP_MATMUL_F32,
                                {random_bytes(rng_, o + 4 * vectors * rows), random_floats(rng_, i, vectors * columns),
                                 random_floats(rng_, m, rows * columns)},
                                {0, 1, 2},
                                {vectors, rows, columns, o, i, m}};
                const bool fma_path = columns > 0 && columns % 32 == 0;
                const std::string what = "B=" + std::to_string(vectors) + " M=" + std::to_string(rows) +
                                         " K=" + std::to_string(columns);
                if (!fma_path) {
                    expect_matches_reference(call, what);
                    continue;
                }
                std::vector<float> x(vectors * columns), w(rows * columns);
                std::memcpy(x.data(), call.contents[1].data() + i, 4 * x.size());
                std::memcpy(w.data(), call.contents[2].data() + m, 4 * w.size());
                const auto expected_reference = run(reference_device_, call, Runner::kReference);
                for (const Target& t : targets_) {
                    const auto got = run(t.device, call, Runner::kKernel);
                    if (!(t.mask & KX_CPU_AVX2)) {
                        EXPECT_EQ(got, expected_reference) << t.label << " " << what;
                        continue;
                    }
                    for (int32_t v = 0; v < vectors; ++v)
                        for (int32_t r = 0; r < rows; ++r) {
                            float value;
                            std::memcpy(&value, got[0].data() + o + 4 * (v * rows + r), 4);
                            ASSERT_EQ(value, fma_order_dot(&x[v * columns], &w[r * columns], columns))
                                << t.label << " " << what;
                        }
                }
            }
}

// ---------------------------------------------------------------- items

struct Planned {
    kx_cpu_job_t job;
    kx_status_t status;
};

Planned plan(kx_device_t* device, kx_op_t op, std::vector<kx_buffer_t*> buffers, std::vector<int32_t> ints) {
    kx_op_args_t args = {};
    for (size_t i = 0; i < buffers.size(); ++i) args.buffers[i] = buffers[i];
    for (size_t i = 0; i < ints.size(); ++i) args.ints[i] = ints[i];
    Planned p;
    p.status = kx_cpu_job_plan(cpu_of(device), op, &args, &p.job);
    return p;
}

// Buffers of one device; holds a device reference so that they go first.
struct Buffers {
    kx_device_t* device;
    std::vector<kx_buffer_t*> list;
    explicit Buffers(kx_device_t* d) : device(d) { kx_device_retain(d); }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    kx_buffer_t* add(uint32_t size, uint8_t fill = 0) {
        kx_buffer_t* b = kx_buffer_create(device, size, 0);
        std::memset(b->storage, fill, size);
        list.push_back(b);
        return b;
    }
    ~Buffers() {
        for (kx_buffer_t* b : list) kx_buffer_destroy(device, b);
        kx_device_release(device);
    }
};

// Indices of the int16 values at out that differ from the fill pattern 0x7E7E.
std::set<int> written(const kx_buffer_t* out, int count) {
    std::set<int> result;
    for (int i = 0; i < count; ++i) {
        int16_t v;
        std::memcpy(&v, static_cast<const uint8_t*>(out->storage) + 2 * i, 2);
        if (v != 0x7E7E) result.insert(i);
    }
    return result;
}

TEST(CpuKernelItems, CountsFollowTheThreadCount) {
    kx_device_t* one = make_device("cpu:1", ~0u);
    kx_device_t* two = make_device("cpu:2", ~0u);
    kx_device_t* eight = make_device("cpu:8", ~0u);
    {
        Buffers b(eight);
        kx_buffer_t *big = b.add(4000000), *big2 = b.add(4000000), *big3 = b.add(4000000), *big4 = b.add(4000000);
        // Element-wise addition splits only from 262144 elements up.
        EXPECT_EQ(plan(eight, KX_OP_ADD, {big, big2, big3}, {100000, 0, 0, 0}).job.count, 1u);
        EXPECT_EQ(plan(eight, KX_OP_ADD, {big, big2, big3}, {1000000, 0, 0, 0}).job.count, 7u);
        EXPECT_EQ(plan(one, KX_OP_ADD, {big, big2, big3}, {1000000, 0, 0, 0}).job.count, 1u);
        // Standardisation from 2048 frames up.
        EXPECT_EQ(plan(two, KX_OP_STANDARDIZE, {big, big2, big3, big4}, {5000, 16, 0, 0}).job.count, 4u);
        EXPECT_EQ(plan(eight, KX_OP_STANDARDIZE, {big, big2, big3, big4}, {5000, 16, 0, 0}).job.count, 4u);
        EXPECT_EQ(plan(eight, KX_OP_STANDARDIZE, {big, big2, big3, big4}, {1000, 16, 0, 0}).job.count, 1u);
        EXPECT_EQ(plan(one, KX_OP_STANDARDIZE, {big, big2, big3, big4}, {5000, 16, 0, 0}).job.count, 1u);
        // General linear and matmul: min(T², B·M); softmax: min(R, T²).
        EXPECT_EQ(plan(two, KX_OP_LINEAR, {big, b.add(4000), b.add(4000), b.add(40)}, {2, 5, 9, 0, 0}).job.count, 4u);
        EXPECT_EQ(plan(two, KX_OP_LINEAR_ACCUMULATE, {big, b.add(4000), b.add(4000), b.add(40)}, {3, 1, 9, 0, 0})
                      .job.count,
                  3u);
        EXPECT_EQ(plan(one, KX_OP_LINEAR, {big, b.add(4000), b.add(4000), b.add(40)}, {2, 5, 9, 0, 0}).job.count, 1u);
        EXPECT_EQ(plan(two, KX_OP_MATMUL_F32, {big, b.add(4000), b.add(4000)}, {2, 3, 9, 0, 0, 0}).job.count, 4u);
        EXPECT_EQ(plan(eight, KX_OP_MATMUL_F32, {big, b.add(4000), b.add(4000)}, {2, 3, 9, 0, 0, 0}).job.count, 6u);
        EXPECT_EQ(plan(one, KX_OP_MATMUL_F32, {big, b.add(4000), b.add(4000)}, {2, 3, 9, 0, 0, 0}).job.count, 1u);
        EXPECT_EQ(plan(two, KX_OP_SOFTMAX, {big, big2}, {3, 2, 0, 0}).job.count, 3u);
        EXPECT_EQ(plan(two, KX_OP_SOFTMAX, {big, big2}, {10, 2, 0, 0}).job.count, 4u);
        EXPECT_EQ(plan(one, KX_OP_SOFTMAX, {big, big2}, {10, 2, 0, 0}).job.count, 1u);
        // The cell: blocks of 128 lanes, pool or not.
        EXPECT_EQ(plan(eight, KX_OP_LSTM_CELL, {big, b.add(600), b.add(1800)}, {80, 0, 0, 0}).job.count, 1u);
        EXPECT_EQ(plan(eight, KX_OP_LSTM_CELL, {big, b.add(600), b.add(1800)}, {300, 0, 0, 0}).job.count, 3u);
    }
    kx_device_release(one);
    kx_device_release(two);
    kx_device_release(eight);
}

TEST(CpuKernelItems, MatrixVectorItemsTakeInterleavedRowPairs) {
    for (const Path& path : available_paths()) {
        kx_device_t* two = make_device("cpu:2", path.mask);
        Buffers b(two);
        kx_buffer_t* out = b.add(14, 0x7E);
        kx_buffer_t *in = b.add(2 * 5), *weights = b.add(7 * 5), *bias = b.add(7);
        Planned p = plan(two, KX_OP_LINEAR, {out, in, weights, bias}, {1, 7, 5, 0, 0});
        ASSERT_EQ(p.status, KX_STATUS_SUCCESS);
        if (path.mask == 0) {
            // Without vector features B = 1 is the general case: min(T², B·M) ranges.
            EXPECT_EQ(p.job.count, 4u);
            p.job.task(p.job.block, 3);
            EXPECT_EQ(written(out, 7), (std::set<int>{5, 6})) << path.name;
        } else {
            ASSERT_EQ(p.job.count, 3u) << path.name;
            const std::set<int> expected[3] = {{0, 1, 6}, {2, 3}, {4, 5}};
            for (uint64_t t = 0; t < 3; ++t) {
                std::memset(out->storage, 0x7E, 14);
                p.job.task(p.job.block, t);
                EXPECT_EQ(written(out, 7), expected[t]) << path.name << " item " << t;
            }
        }
        kx_device_release(two);
    }
}

TEST(CpuKernelItems, MatrixVectorCaseAppliesWithoutAPoolToo) {
    const bool vector = kx_cpu_detect_features() & (KX_CPU_SSE41 | KX_CPU_NEON);
    if (!vector) GTEST_SKIP() << "no SSE4.1 or NEON";
    kx_device_t* one = make_device("cpu:1", ~0u);
    kx_device_t* negative = make_device("cpu:-4", ~0u);  // no pool, T² = 16
    Buffers b(one);
    kx_buffer_t *out = b.add(100), *in = b.add(100), *weights = b.add(500), *bias = b.add(50);
    EXPECT_EQ(plan(one, KX_OP_LINEAR, {out, in, weights, bias}, {1, 7, 5, 0, 0}).job.count, 1u);
    EXPECT_EQ(plan(negative, KX_OP_LINEAR, {out, in, weights, bias}, {1, 40, 5, 0, 0}).job.count, 16u);
    // M = 1: LINEAR stays a matrix-vector job, LINEAR_ACCUMULATE becomes a general one.
    const Planned linear_one = plan(one, KX_OP_LINEAR, {out, in, weights, bias}, {1, 1, 5, 0, 0});
    const Planned linear_pairs = plan(one, KX_OP_LINEAR, {out, in, weights, bias}, {1, 8, 5, 0, 0});
    const Planned acc_one = plan(one, KX_OP_LINEAR_ACCUMULATE, {out, in, weights, bias}, {1, 1, 5, 0, 0});
    const Planned acc_general = plan(one, KX_OP_LINEAR_ACCUMULATE, {out, in, weights, bias}, {2, 3, 5, 0, 0});
    EXPECT_EQ(linear_one.job.count, 1u);
    EXPECT_EQ(linear_one.job.task, linear_pairs.job.task);
    EXPECT_EQ(acc_one.job.task, acc_general.job.task);
    EXPECT_NE(acc_one.job.task, linear_one.job.task);
    kx_device_release(one);
    kx_device_release(negative);
}

TEST(CpuKernelItems, CellItemsAreBlocksOf128Lanes) {
    for (const Path& path : available_paths()) {
        kx_device_t* two = make_device("cpu:2", path.mask);
        Buffers b(two);
        kx_buffer_t *hidden = b.add(600, 0x7E), *cell = b.add(600), *gates = b.add(1800);
        Planned p = plan(two, KX_OP_LSTM_CELL, {hidden, cell, gates}, {300, 0, 0, 0});
        ASSERT_EQ(p.job.count, 3u);
        const int bounds[4] = {0, 128, 256, 300};
        for (uint64_t t = 0; t < 3; ++t) {
            std::memset(hidden->storage, 0x7E, 600);
            std::memset(cell->storage, 0, 600);
            std::memset(gates->storage, 0, 1800);  // zero gates give hidden 0
            p.job.task(p.job.block, t);
            std::set<int> expected;
            for (int k = bounds[t]; k < bounds[t + 1]; ++k) expected.insert(k);
            EXPECT_EQ(written(hidden, 300), expected) << path.name << " item " << t;
        }
        kx_device_release(two);
    }
}

TEST(CpuKernelItems, BadArgumentsAreDeclinedUntouched) {
    kx_device_t* device = make_device("cpu:2", ~0u);
    Buffers b(device);
    kx_buffer_t *x = b.add(64, 0x11), *y = b.add(64, 0x22), *w = b.add(64, 0x33), *bias = b.add(8, 0x44);
    const auto args_of = [](std::vector<kx_buffer_t*> buffers, std::vector<int32_t> ints) {
        kx_op_args_t args = {};
        for (size_t i = 0; i < buffers.size(); ++i) args.buffers[i] = buffers[i];
        for (size_t i = 0; i < ints.size(); ++i) args.ints[i] = ints[i];
        return args;
    };
    // Declined calls go to the reference, which refuses or handles them itself.
    const auto declined = [&](kx_op_t op, std::vector<kx_buffer_t*> buffers, std::vector<int32_t> ints) {
        const kx_op_args_t args = args_of(buffers, ints);
        return kx_cpu_device_ops.op_kernel[op](device->backend, nullptr, &args) == KX_STATUS_INVALID_ARGUMENT;
    };
    EXPECT_TRUE(declined(KX_OP_ADD, {x, y, w}, {-1, 0, 0, 0}));
    EXPECT_TRUE(declined(KX_OP_ADD, {x, y, w}, {32, 2, 0, 0}));  // out runs past the end
    EXPECT_TRUE(declined(KX_OP_ADD, {x, x, w}, {8, 2, 0, 0}));   // out overlaps a, shifted
    EXPECT_TRUE(declined(KX_OP_ADD, {x, y, w}, {4, -2, 0, 0}));
    EXPECT_TRUE(declined(KX_OP_LINEAR, {x, y, w, bias}, {1, 4, -1, 0, 0}));
    EXPECT_TRUE(declined(KX_OP_LINEAR_ACCUMULATE, {x, x, w, bias}, {1, 4, 8, 0, 4}));   // out overlaps in
    EXPECT_TRUE(declined(KX_OP_LINEAR, {x, y, w, bias}, {1, 9, 4, 0, 0}));              // bias too short
    EXPECT_TRUE(declined(KX_OP_LINEAR, {x, y, nullptr, bias}, {1, 4, 4, 0, 0}));
    EXPECT_TRUE(declined(KX_OP_LSTM_CELL, {x, x, w}, {4, 0, 4, 0}));         // hidden overlaps cell
    EXPECT_TRUE(declined(KX_OP_LSTM_CELL, {x, y, w}, {11, 0, 0, 0}));        // gates too short
    EXPECT_TRUE(declined(KX_OP_MATMUL_F32, {x, y, w}, {1, 2, 8, 0, 0, 4}));  // matrix too short
    EXPECT_TRUE(declined(KX_OP_SOFTMAX, {x, y}, {1, 0, 0, 0}));              // rows shorter than 1
    EXPECT_TRUE(declined(KX_OP_SOFTMAX, {x, x}, {1, 4, 0, 0}));
    EXPECT_TRUE(declined(KX_OP_STANDARDIZE, {x, x, w, bias}, {2, 4, 0, 2}));
    const uint8_t fills[] = {0x11, 0x22, 0x33, 0x44};
    for (int k = 0; k < 4; ++k)
        for (uint32_t i = 0; i < b.list[k]->size; ++i)
            ASSERT_EQ(static_cast<uint8_t*>(b.list[k]->storage)[i], fills[k]) << "buffer " << k;
    // In-place forms are accepted.
    const kx_op_args_t add_in_place = args_of({x, x, w}, {8, 4, 4, 0});
    const kx_op_args_t standardize_in_place = args_of({x, x, w, bias}, {2, 4, 0, 0});
    kx_cpu_job_t job;
    EXPECT_EQ(kx_cpu_job_plan(cpu_of(device), KX_OP_ADD, &add_in_place, &job), KX_STATUS_SUCCESS);
    EXPECT_EQ(kx_cpu_job_plan(cpu_of(device), KX_OP_STANDARDIZE, &standardize_in_place, &job), KX_STATUS_SUCCESS);
    kx_device_release(device);
}

}  // namespace
