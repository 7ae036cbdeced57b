#include "frontend/vad.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine_support.h"
#include "frontend/window_selector.h"
#include "reference.h"

namespace {

kx_device_t* make_device() {
    kx_device_t* device = nullptr;
    EXPECT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_SUCCESS);
    return device;
}

std::vector<int16_t> random_features(uint32_t seed) {
    // Around the detector's band means, with some spread and the -32768 floor.
    std::vector<int16_t> audio = kxtest::make_test_audio(80, seed, 4000);
    std::vector<int16_t> features(80);
    for (int k = 0; k < 80; ++k) features[k] = static_cast<int16_t>(-8000 + audio[k]);
    features[7] = -32768;
    return features;
}

TEST(VoiceActivityTables, ConstantBuffersHaveTheirShapes) {
    const uint32_t sizes[KX_VAD_BUFFER_COUNT] = {8,     160, 480,   4,   160,   160, 160,   160, 80,  80,
                                                 19200, 240, 19200, 240, 19200, 240, 19200, 240, 160, 2};
    for (int i = 0; i < KX_VAD_BUFFER_COUNT; ++i) {
        EXPECT_EQ(kx_vad_tensors[i].size, sizes[i]) << i;
        EXPECT_EQ(kx_vad_tensors[i].flags, i >= 8 ? 1u : 0u) << i;
        EXPECT_EQ(kx_vad_tensors[i].storage != nullptr, i >= 8) << i;
    }
    const auto* means = static_cast<const int16_t*>(kx_vad_tensors[8].storage);
    const auto* scales = static_cast<const int16_t*>(kx_vad_tensors[9].storage);
    const auto* bias = static_cast<const int8_t*>(kx_vad_tensors[19].storage);
    EXPECT_EQ(means[0], -9854);
    EXPECT_EQ(means[39], -8125);
    EXPECT_EQ(scales[0], 427);
    EXPECT_EQ(scales[39], 396);
    EXPECT_EQ(bias[0], 127);
    EXPECT_EQ(bias[1], -128);
}

TEST(VoiceActivityTables, ProgramSectionsEndOnInstructionBoundaries) {
    // Walk the instructions with the interpreter's arity table.
    std::vector<int32_t> starts;
    int32_t pos = 0;
    while (pos < KX_VAD_PROGRAM_LENGTH) {
        starts.push_back(pos);
        const int32_t code = kx_vad_program[pos];
        ASSERT_GE(code, 0);
        ASSERT_LT(code, KX_OP_COUNT);
        for (int b = 0; b < kx_op_arity[code].buffers; ++b) {
            EXPECT_GE(kx_vad_program[pos + 1 + b], 0);
            EXPECT_LT(kx_vad_program[pos + 1 + b], KX_VAD_BUFFER_COUNT);
        }
        pos += 1 + kx_op_arity[code].buffers + kx_op_arity[code].ints;
    }
    EXPECT_EQ(pos, KX_VAD_PROGRAM_LENGTH);
    EXPECT_EQ(starts, (std::vector<int32_t>{0, 4, 8, 12, 16, 25, 35, 45, 53, 59, 69, 79, 87, 93, 103}));
}

TEST(VoiceActivityTables, Q31ProbabilityScale) {
    EXPECT_EQ(kx_vad_q31_to_probability(2147483647), 1.0f);
    EXPECT_EQ(kx_vad_q31_to_probability(0), 0.0f);
    EXPECT_EQ(kx_vad_q31_to_probability(1073741824), 0.5f);
}

TEST(VoiceActivityTables, ReferenceTablesMatchQuotedEntries) {
    // Guards the test's own transcription.
    EXPECT_EQ(ref::sigmoid_table_entry(1), 16895);
    EXPECT_EQ(ref::sigmoid_table_entry(128), 11);
    EXPECT_EQ(ref::softmax_fine()[1], 2145387519);
    EXPECT_EQ(ref::softmax_fine()[127], 1896999301);
    EXPECT_EQ(ref::softmax_coarse()[1], 1895147667);
    EXPECT_EQ(ref::softmax_coarse()[127], 274);
    const int16_t row[2] = {1024, 0};
    int32_t out[2];
    ref::softmax(row, 2, out);
    EXPECT_EQ(out[0], 1569936343);
    EXPECT_EQ(out[1], 577547305);
}

TEST(VoiceActivityNetwork, ProgramMatchesTheStraightforwardNetworkOverSeveralFrames) {
    kx_device_t* device = make_device();
    kx_program_t* program = nullptr;
    ASSERT_EQ(kx_program_create(device, kx_vad_tensors, KX_VAD_BUFFER_COUNT, kx_vad_program, 0,
                                KX_VAD_PROGRAM_STEP_START, &program),
              KX_STATUS_SUCCESS);
    ref::VadState state;
    for (uint32_t frame = 0; frame < 6; ++frame) {
        const std::vector<int16_t> features = random_features(frame + 1);
        ASSERT_EQ(kx_buffer_write(device, program->buffers[1], features.data(), 0, 160), KX_STATUS_SUCCESS);
        ASSERT_EQ(kx_op_program_run(device, program->buffers, kx_vad_program, KX_VAD_BUFFER_COUNT,
                                    KX_VAD_PROGRAM_STEP_START, KX_VAD_PROGRAM_LENGTH),
                  KX_STATUS_SUCCESS);
        const auto* out = static_cast<const int32_t*>(kx_buffer_map(device, program->buffers[0], 1));
        EXPECT_EQ(out[1], ref::vad_step(state, features.data())) << "frame " << frame;
        kx_buffer_unmap(device, program->buffers[0], 0);
    }
    kx_program_free(program);
    kx_device_release(device);
}

TEST(VoiceActivityNetwork, DetectorFeedsBothHalvesOfEachFrameThroughTheNetwork) {
    kx_device_t* device = make_device();
    kx_device_retain(device);
    kx_vad_t* vad = nullptr;
    ASSERT_EQ(kx_vad_init(device, &vad), KX_STATUS_SUCCESS);
    kx_vad_frontend_t* features = nullptr;
    ASSERT_EQ(kx_vad_frontend_init(256, &features), KX_STATUS_SUCCESS);
    ref::VadState state;
    const std::vector<int16_t> audio = kxtest::make_test_audio(512 * 5, 7);
    for (int frame = 0; frame < 5; ++frame) {
        const int16_t* pcm = audio.data() + 512 * frame;
        int16_t expected_features[80];
        ASSERT_EQ(kx_vad_frontend_process(features, pcm, expected_features), KX_STATUS_SUCCESS);
        ASSERT_EQ(kx_vad_frontend_process(features, pcm + 256, expected_features + 40), KX_STATUS_SUCCESS);
        float probability = -1.0f;
        ASSERT_EQ(kx_vad_process(vad, pcm, &probability), KX_STATUS_SUCCESS);
        EXPECT_EQ(probability, kx_vad_q31_to_probability(ref::vad_step(state, expected_features)));
        EXPECT_GE(probability, 0.0f);
        EXPECT_LE(probability, 1.0f);
    }
    kx_vad_frontend_delete(features);
    kx_vad_delete(vad);
    EXPECT_EQ(device->refcount, 1);
    kx_device_release(device);
}

TEST(VoiceActivityErrors, InitRefusesMissingDeviceOrOutput) {
    kx_error_stack_begin_call();
    kx_vad_t* vad = nullptr;
    EXPECT_EQ(kx_vad_init(nullptr, &vad), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_codes(), (std::vector<std::string>{"0000006E"}));

    kx_device_t* device = make_device();
    kx_device_retain(device);
    kx_error_stack_begin_call();
    EXPECT_EQ(kx_vad_init(device, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), (std::vector<std::string>{"Argument `object` is NULL."}));
    EXPECT_EQ(device->refcount, 1);  // the reference handed over was released
    kx_device_release(device);
}

TEST(VoiceActivityErrors, ProcessNamesTheMissingArgument) {
    kx_device_t* device = make_device();
    kx_device_retain(device);
    kx_vad_t* vad = nullptr;
    ASSERT_EQ(kx_vad_init(device, &vad), KX_STATUS_SUCCESS);
    int16_t pcm[512] = {};
    float p = 0.0f;
    EXPECT_EQ(kx_vad_process(nullptr, pcm, &p), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), (std::vector<std::string>{"Argument `object` is NULL."}));
    EXPECT_EQ(kx_vad_process(vad, nullptr, &p), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), (std::vector<std::string>{"Argument `pcm` is NULL."}));
    EXPECT_EQ(kx_vad_process(vad, pcm, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), (std::vector<std::string>{"Argument `is_voiced` is NULL."}));
    kx_vad_delete(vad);
    kx_device_release(device);
}

TEST(VoiceActivityErrors, EveryAllocationFailureOfSelectorCreationIsReportedAndUndone) {
    FaultGuard guard;
    kx_device_t* device = make_device();
    bool succeeded = false;
    int64_t attempts = 0;
    for (int64_t n = 1; n < 200 && !succeeded; ++n) {
        attempts = n;
        kx_error_stack_begin_call();
        kx_orvel_window_selector* selector = nullptr;
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_window_selector_init(device, 2, 1, 0.0f, &selector);
        const bool fault_hit = kx_fault_allocation_count() >= n;
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            ASSERT_NE(selector, nullptr);
            EXPECT_FALSE(fault_hit) << n;
            EXPECT_GT(device->refcount, 1);  // the detector holds the device
            kx_orvel_window_selector_delete(selector);
            succeeded = true;
        } else {
            EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
            EXPECT_EQ(selector, nullptr);
            const std::vector<std::string> codes = message_codes();
            ASSERT_FALSE(codes.empty()) << n;
            if (n == 1) {
                EXPECT_EQ(codes, (std::vector<std::string>{"000000C8"}));  // the record itself
            } else if (n == 2) {
                EXPECT_EQ(codes, (std::vector<std::string>{"00000323"}));  // probs
            } else {
                EXPECT_EQ(codes.back(), "00000136") << n;  // traced at the detector's creation
            }
        }
        EXPECT_EQ(device->refcount, 1) << n;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(attempts, 3);  // the hook did make allocations fail
    kx_device_release(device);
}

TEST(VoiceActivitySelector, TwoSelectorsOnOneDeviceRunIndependentDetectors) {
    kx_device_t* device = make_device();
    kx_orvel_window_selector* a = nullptr;
    kx_orvel_window_selector* b = nullptr;
    ASSERT_EQ(kx_orvel_window_selector_init(device, 2, 2, 0.3f, &a), KX_STATUS_SUCCESS);
    ASSERT_EQ(kx_orvel_window_selector_init(device, 2, 2, 0.3f, &b), KX_STATUS_SUCCESS);
    const std::vector<int16_t> audio = kxtest::make_test_audio(512 * 12, 3);
    for (int frame = 0; frame < 12; ++frame) {
        int32_t ia = -2;
        int32_t ib = -2;
        ASSERT_EQ(kx_orvel_window_selector_push(a, audio.data() + 512 * frame, &ia), KX_STATUS_SUCCESS);
        ASSERT_EQ(kx_orvel_window_selector_push(b, audio.data() + 512 * frame, &ib), KX_STATUS_SUCCESS);
        EXPECT_EQ(ia, ib) << frame;
        EXPECT_EQ(std::memcmp(a->probs, b->probs, sizeof(float) * 4), 0) << frame;
    }
    kx_orvel_window_selector_delete(a);
    kx_orvel_window_selector_delete(b);
    EXPECT_EQ(device->refcount, 1);
    kx_device_release(device);
}

}  // namespace
