// Enrollment and recognition on the GPU device kind, through the plug-in: the same
// results as on the CPU, and clean failures inside the plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine_support.h"
#include "support/gpu_plugin.h"

namespace {

// The plug-ins under test: the fake one always, the Vulkan one where it was built and a
// Vulkan device (lavapipe in CI) is present.
std::vector<const char*> plugins() {
    std::vector<const char*> result = {KX_FAKE_GPU_PLUGIN};
#ifdef KX_VULKAN_PLUGIN
    result.push_back(KX_VULKAN_PLUGIN);
#endif
    return result;
}

kxtest::ModelParams gpu_test_model() {
    kxtest::ModelShape shape;
    shape.window_frames = 3;
    shape.hidden_sizes = {24, 16};
    kxtest::ModelParams model = kxtest::make_random_model(shape, 7);
    model.score_thresholds[0] = -1.0f;
    model.score_thresholds[1] = 0.0f;
    model.score_thresholds[2] = 1.0f;
    return model;
}

struct Results {
    kx_status_t status = KX_STATUS_RUNTIME_ERROR;
    std::vector<float> scores;
    std::vector<float> profile;
};

// Scores of an utterance against the unit vectors, and the profile enrolled from it.
Results run(const char* model_file, const char* device, const std::vector<int16_t>& pcm, int32_t size) {
    Results r;
    std::vector<float> basis(static_cast<size_t>(size) * size, 0.0f);
    std::vector<const float*> profiles;
    for (int32_t i = 0; i < size; ++i) {
        basis[static_cast<size_t>(i) * size + i] = 1.0f;
        profiles.push_back(&basis[static_cast<size_t>(i) * size]);
    }
    kx_orvel_t* recognizer = nullptr;
    r.status = kx_orvel_init(model_file, device, 0.0f, &recognizer);
    if (r.status != KX_STATUS_SUCCESS) return r;
    float* scores = nullptr;
    r.status = kx_orvel_process(recognizer, pcm.data(), static_cast<int32_t>(pcm.size()), profiles.data(), size,
                                &scores);
    if (scores) r.scores.assign(scores, scores + size);
    kx_orvel_scores_delete(scores);
    kx_orvel_delete(recognizer);
    if (r.status != KX_STATUS_SUCCESS) return r;

    kx_orvel_profiler_t* profiler = nullptr;
    r.status = kx_orvel_profiler_init(model_file, device, 1, 0.0f, &profiler);
    if (r.status != KX_STATUS_SUCCESS) return r;
    float percentage = 0.0f;
    for (size_t at = 0; at + 512 <= pcm.size() && r.status == KX_STATUS_SUCCESS; at += 512)
        r.status = kx_orvel_profiler_enroll(profiler, pcm.data() + at, &percentage);
    if (r.status == KX_STATUS_SUCCESS) r.status = kx_orvel_profiler_flush(profiler, &percentage);
    r.profile.assign(static_cast<size_t>(size), 0.0f);
    if (r.status == KX_STATUS_SUCCESS)
        r.status = kx_orvel_profiler_export(profiler, r.profile.data());
    kx_orvel_profiler_delete(profiler);
    return r;
}

class GpuEngine : public ::testing::Test {
protected:
    void TearDown() override { use_gpu_plugin(nullptr); }
};

}  // namespace

TEST_F(GpuEngine, EnrollsAndRecognisesAsTheCpuDoes) {
    const kxtest::ModelParams model = gpu_test_model();
    kxtest::TempFile file(model);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(14 * 512, 5);
    const Results cpu = run(file.c_str(), "cpu:1", pcm, model.embedding_size);
    ASSERT_EQ(cpu.status, KX_STATUS_SUCCESS);
    ASSERT_EQ(cpu.scores.size(), static_cast<size_t>(model.embedding_size));
    for (const char* plugin : plugins()) {
        use_gpu_plugin(plugin);
        const Results gpu = run(file.c_str(), "gpu", pcm, model.embedding_size);
        ASSERT_EQ(gpu.status, KX_STATUS_SUCCESS) << plugin;
        // The network is fixed point up to the pooled sum; only the float projection and
        // the normalisation after it may round differently.
        ASSERT_EQ(gpu.scores.size(), cpu.scores.size());
        for (size_t j = 0; j < cpu.scores.size(); ++j) EXPECT_NEAR(gpu.scores[j], cpu.scores[j], 1e-6f) << plugin;
        for (size_t j = 0; j < cpu.profile.size(); ++j) EXPECT_NEAR(gpu.profile[j], cpu.profile[j], 2e-6f) << plugin;
    }
}

// Fails the plug-in's n-th call of one kind (n = 1, 2, ...) until a whole call gets
// through; `check` sees every failed call. -> how many calls failed.
template <typename Check>
int fail_each_until_success(const std::string& kind, int limit, Check check) {
    const kxtest::ModelParams model = gpu_test_model();
    kxtest::TempFile file(model);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(6 * 512, 9);
    use_gpu_plugin(KX_FAKE_GPU_PLUGIN);
    for (int n = 1; n < limit; ++n) {
        setenv("KX_FAKE_GPU_FAIL", (kind + ":" + std::to_string(n)).c_str(), 1);
        const Results r = run(file.c_str(), "gpu", pcm, model.embedding_size);
        if (r.status == KX_STATUS_SUCCESS) return n - 1;
        check(n, r);
    }
    ADD_FAILURE() << "no call succeeded within " << limit << " failures of " << kind;
    return limit;
}

TEST_F(GpuEngine, EveryAllocationFailureInsideThePluginFailsCleanly) {
    const int failures = fail_each_until_success("alloc", 1000, [](int n, const Results& r) {
        EXPECT_EQ(r.status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_FALSE(message_texts().empty()) << n;
    });
    EXPECT_GT(failures, 10);
}

// A plug-in may fail a map (it cannot synchronise or stage the buffer): wherever that
// happens, the call fails with the plug-in's reason instead of reading through null.
TEST_F(GpuEngine, EveryMapFailureInsideThePluginFailsTheCallWithItsReason) {
    const int failures = fail_each_until_success("map", 5000, [](int n, const Results& r) {
        EXPECT_NE(r.status, KX_STATUS_INVALID_ARGUMENT) << n;
        const std::vector<std::string> texts = message_texts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), "Device buffer could not be mapped: fake map failure"),
                  texts.end())
            << n << ": " << kx_status_to_string(r.status) << " " << (texts.empty() ? "" : texts[0]);
    });
    EXPECT_GT(failures, 10);
}

TEST_F(GpuEngine, AFailingKernelFailsTheCallWithItsReasonAndTheCpuStillWorks) {
    const kxtest::ModelParams model = gpu_test_model();
    kxtest::TempFile file(model);
    const std::vector<int16_t> pcm = kxtest::make_test_audio(6 * 512, 9);
    use_gpu_plugin(KX_FAKE_GPU_PLUGIN);
    setenv("KX_FAKE_GPU_FAIL", "kernel", 1);
    const Results gpu = run(file.c_str(), "gpu", pcm, model.embedding_size);
    EXPECT_EQ(gpu.status, KX_STATUS_RUNTIME_ERROR);
    const std::vector<std::string> texts = message_texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "GPU kernel `lstm_cell` failed: fake kernel failure");
    EXPECT_EQ(texts[1], "Failed to execute operator");
    EXPECT_TRUE(gpu.scores.empty());

    use_gpu_plugin("/nonexistent/libkx_nothing.so");
    EXPECT_EQ(run(file.c_str(), "gpu", pcm, model.embedding_size).status, KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(run(file.c_str(), "cpu:1", pcm, model.embedding_size).status, KX_STATUS_SUCCESS);
}
