#include "engine/embedding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "engine/recognizer.h"
#include "engine_support.h"
#include "nn/ops.h"
#include "reference.h"

namespace {

kxtest::ModelParams model_with(int32_t window_frames, int32_t hop, std::vector<int32_t> hidden, int32_t kind,
                               uint32_t seed) {
    kxtest::ModelShape shape;
    shape.window_frames = window_frames;
    shape.hop_length = hop;
    shape.hidden_sizes = std::move(hidden);
    shape.projection_kind = kind;
    return kxtest::make_random_model(shape, seed);
}

// The embedding of one window by the test's own arithmetic (front-end features aside).
std::vector<float> expected_embedding(const kxtest::ModelParams& model, const kx_orvel_t* recognizer,
                                      const int16_t* pcm) {
    const int frames = model.window_frames * 512 / model.hop_length;
    std::vector<float> features(static_cast<size_t>(frames) * model.num_bands);
    EXPECT_EQ(kx_orvel_frontend_compute(recognizer->frontend, features.data(), pcm, frames * model.hop_length),
              KX_STATUS_SUCCESS);
    return ref::unit(ref::network(model, features, frames));
}

// One window into a zero sum.
std::vector<float> extract(const kx_orvel_t* recognizer, const int16_t* pcm) {
    std::vector<float> sum(static_cast<size_t>(recognizer->network->embedding_size), 0.0f);
    int32_t added = -1;
    EXPECT_EQ(kx_embedding_extract(recognizer, pcm, sum.data(), &added), KX_STATUS_SUCCESS);
    EXPECT_EQ(added, 1);
    return sum;
}

TEST(EmbeddingDirection, BothDirectionsMatchTheCellStepByStep) {
    kx_device_t* device = nullptr;
    ASSERT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_SUCCESS);
    kxtest::ModelShape shape;
    shape.num_bands = 7;
    shape.hidden_sizes = {5};
    shape.weight_range = 127;
    const kxtest::ModelParams model = kxtest::make_random_model(shape, 11);
    const kxtest::LayerParams& params = model.forward[0];
    const int frames = 9;
    const int h = params.hidden_size;
    const int in = params.input_size;

    std::vector<int16_t> input(static_cast<size_t>(frames) * in);
    const std::vector<int16_t> noise = kxtest::make_test_audio(input.size(), 5, 30000);
    for (size_t k = 0; k < input.size(); ++k) input[k] = noise[k];
    input[0] = 32767;
    input[1] = -32768;

    kx_lstm_layer_t layer{h, in, kx_buffer_create(device, static_cast<uint32_t>(params.weights.size()), 0),
                          kx_buffer_create(device, static_cast<uint32_t>(params.bias.size()), 0), nullptr};
    kx_buffer_write(device, layer.weights, params.weights.data(), 0, static_cast<uint32_t>(params.weights.size()));
    kx_buffer_write(device, layer.bias, params.bias.data(), 0, static_cast<uint32_t>(params.bias.size()));
    kx_buffer_t* in_buffer = kx_buffer_create(device, static_cast<uint32_t>(2 * input.size()), 0);
    kx_buffer_write(device, in_buffer, input.data(), 0, static_cast<uint32_t>(2 * input.size()));
    kx_buffer_t* out_buffer = kx_buffer_create(device, static_cast<uint32_t>(2 * frames * h), 0);

    ASSERT_EQ(kx_lstm_direction_run(device, &layer, out_buffer, in_buffer, frames, false, false), KX_STATUS_SUCCESS);
    const std::vector<int16_t> forward = ref::direction(params, input, frames, false);
    auto* out = static_cast<int16_t*>(kx_buffer_map(device, out_buffer, 1));
    EXPECT_EQ(std::vector<int16_t>(out, out + frames * h), forward);

    // Accumulating backward pass onto values near the limits saturates.
    for (int k = 0; k < frames * h; ++k) out[k] = static_cast<int16_t>(k % 2 ? 32700 : -32700);
    std::vector<int16_t> expected(out, out + frames * h);
    const std::vector<int16_t> backward = ref::direction(params, input, frames, true);
    for (size_t k = 0; k < expected.size(); ++k) expected[k] = ref::sat16(int64_t{expected[k]} + backward[k]);
    ASSERT_EQ(kx_lstm_direction_run(device, &layer, out_buffer, in_buffer, frames, true, true), KX_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<int16_t>(out, out + frames * h), expected);
    EXPECT_TRUE(std::count(expected.begin(), expected.end(), 32767) + std::count(expected.begin(), expected.end(), -32768) > 0);

    kx_buffer_destroy(device, out_buffer);
    kx_buffer_destroy(device, in_buffer);
    kx_buffer_destroy(device, layer.bias);
    kx_buffer_destroy(device, layer.weights);
    kx_device_release(device);
}

TEST(EmbeddingExtract, WithoutProjectionEqualsTheStraightforwardComputationExactly) {
    // Fixed point up to pooling, then the same float steps: bit for bit.
    for (const auto& hidden : std::vector<std::vector<int32_t>>{{6}, {7, 4}, {}}) {
        const kxtest::ModelParams model = model_with(3, 256, hidden, 0, 21);
        TestRecognizer recognizer(model);
        ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS) << fetch_error_stack().front();
        const std::vector<int16_t> pcm = kxtest::make_test_audio(3 * 512, 4);
        EXPECT_EQ(extract(recognizer.get(), pcm.data()), expected_embedding(model, recognizer.get(), pcm.data()))
            << hidden.size() << " layers";
    }
}

TEST(EmbeddingExtract, WithProjectionMatchesUpToSummationOrder) {
    const kxtest::ModelParams model = model_with(2, 128, {9, 6}, 1, 33);
    TestRecognizer recognizer(model);
    ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(2 * 512, 8);
    const std::vector<float> got = extract(recognizer.get(), pcm.data());
    const std::vector<float> want = expected_embedding(model, recognizer.get(), pcm.data());
    ASSERT_EQ(got.size(), want.size());
    for (size_t r = 0; r < got.size(); ++r) EXPECT_NEAR(got[r], want[r], 1e-5f) << r;
}

TEST(EmbeddingExtract, SingleHopWindowRunsEachDirectionOverOneFrame) {
    const kxtest::ModelParams model = model_with(1, 512, {5}, 0, 2);
    TestRecognizer recognizer(model);
    ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(512, 12);
    EXPECT_EQ(extract(recognizer.get(), pcm.data()), expected_embedding(model, recognizer.get(), pcm.data()));
}

TEST(EmbeddingExtract, TwoIdenticalWindowsAddUpToLengthTwo) {
    const kxtest::ModelParams model = model_with(2, 256, {6}, 1, 3);
    TestRecognizer recognizer(model);
    ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(2 * 512, 9);
    std::vector<float> sum(5, 0.0f);
    int32_t added = 0;
    ASSERT_EQ(kx_embedding_extract(recognizer.get(), pcm.data(), sum.data(), &added), KX_STATUS_SUCCESS);
    const std::vector<float> once = sum;
    ASSERT_EQ(kx_embedding_extract(recognizer.get(), pcm.data(), sum.data(), &added), KX_STATUS_SUCCESS);
    double squares = 0.0;
    for (size_t r = 0; r < sum.size(); ++r) {
        EXPECT_EQ(sum[r], once[r] + once[r]);
        squares += static_cast<double>(sum[r]) * sum[r];
    }
    EXPECT_NEAR(std::sqrt(squares), 2.0, 1e-6);
}

TEST(EmbeddingExtract, ZeroLengthEmbeddingAddsNothing) {
    kxtest::ModelParams model = model_with(2, 256, {6}, 1, 4);
    std::fill(model.projection.begin(), model.projection.end(), 0.0f);
    TestRecognizer recognizer(model);
    ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(2 * 512, 1);
    std::vector<float> sum = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    int32_t added = -1;
    ASSERT_EQ(kx_embedding_extract(recognizer.get(), pcm.data(), sum.data(), &added), KX_STATUS_SUCCESS);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(sum, (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f}));
}

TEST(EmbeddingExtract, UnknownProjectionKindFailsAtExecutionAndLeavesTheSum) {
    kxtest::ModelParams model = model_with(2, 256, {6}, 1, 5);
    model.projection_kind = 2;  // read like 1, refused when run
    TestRecognizer recognizer(model);
    ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(2 * 512, 1);
    std::vector<float> sum = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    int32_t added = -1;
    kx_error_stack_begin_call();
    EXPECT_EQ(kx_embedding_extract(recognizer.get(), pcm.data(), sum.data(), &added), KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(message_texts(), (std::vector<std::string>{"58c33c1", "5cdbb5d"}));
    EXPECT_EQ(sum, (std::vector<float>(5, 0.5f)));
    EXPECT_EQ(added, 0);
}

TEST(EmbeddingExtract, EveryScratchFailureLeavesTheSumAndReturnsItsBuffers) {
    FaultGuard guard;
    const kxtest::ModelParams model = model_with(2, 256, {6, 4}, 1, 6);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(2 * 512, 2);
    const std::vector<float> start = {0.25f, -0.5f, 1.0f, 2.0f, -3.0f};
    bool succeeded = false;
    int64_t attempts = 0;
    for (int64_t n = 1; n < 400 && !succeeded; ++n) {
        attempts = n;
        TestRecognizer recognizer(model);  // empty buffer cache each time
        ASSERT_EQ(recognizer.status(), KX_STATUS_SUCCESS);
        std::vector<float> sum = start;
        int32_t added = -1;
        kx_error_stack_begin_call();
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_embedding_extract(recognizer.get(), pcm.data(), sum.data(), &added);
        const bool fault_hit = kx_fault_allocation_count() >= n;
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            EXPECT_FALSE(fault_hit);
            succeeded = true;
            continue;
        }
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(sum, start) << n;
        const std::vector<std::string> texts = message_texts();
        ASSERT_FALSE(texts.empty()) << n;
        const std::string& last = texts.back();
        EXPECT_TRUE(last == "5cdbb5d" || last == "acb332d" || last == "Failed to allocate, out of memory.")
            << n << ": " << last;
        // A scratch buffer kept out of the cache would leak: the sanitizer run reports it.
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(attempts, 3);  // the hook did make allocations fail
}

}  // namespace
