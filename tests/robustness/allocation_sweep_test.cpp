// Allocation-failure sweep: one full scenario (list devices, create profiler and
// recognizer, enroll to 100 %, flush, export, process, reset, enroll, delete) is run
// once for every allocation it makes, with exactly that allocation failing. Each time
// the failing call must report OUT_OF_MEMORY with its cause first, leave its outputs
// empty, and the objects must stay usable or deletable; nothing may leak.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "base/memory.h"
#include "device/thread_pool.h"
#include "robustness_support.h"

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace {

struct Sweep {
    std::string device;
    int64_t fail_at = 0;       // 0: no failure armed
    int64_t allocations = 0;   // attempts the scenario made
    std::string failed_call;   // the call that reported the failure, if any
    std::vector<float> profile;
    std::vector<float> scores;
};

// Checks a call that may have met the armed failure. Returns true when it failed.
bool failed(Sweep& s, const char* call, kx_status_t status) {
    if (status == KX_STATUS_SUCCESS) return false;
    EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << call << " with allocation " << s.fail_at << " failing";
    EXPECT_TRUE(s.failed_call.empty()) << "second failure in " << call << " after " << s.failed_call;
    s.failed_call = call;
    const std::vector<std::string> messages = robust::take_messages();
    EXPECT_TRUE(robust::names_cause(messages)) << call << " with allocation " << s.fail_at << " failing: "
                                               << (messages.empty() ? "no messages" : messages[0]);
    return true;
}

void run_scenario(const std::string& model, Sweep& s) {
    const std::vector<int16_t> audio = kxtest::make_test_audio(8 * 512, 21);
    const char* device = s.device.c_str();
    // Counting needs the hook armed: a failure beyond the scenario's end.
    kx_fault_fail_allocation(s.fail_at ? s.fail_at : int64_t{1} << 40);

    char** lines = reinterpret_cast<char**>(uintptr_t{0x10});
    int32_t count = -1;
    if (failed(s, "list", kx_orvel_list_hardware_devices(&lines, &count))) {
        EXPECT_EQ(lines, nullptr);
        EXPECT_EQ(count, 0);
        ASSERT_EQ(kx_orvel_list_hardware_devices(&lines, &count), KX_STATUS_SUCCESS);
    }
    kx_orvel_free_hardware_devices(lines, count);

    kx_orvel_profiler_t* profiler = reinterpret_cast<kx_orvel_profiler_t*>(uintptr_t{0x10});
    if (failed(s, "profiler_init", kx_orvel_profiler_init(model.c_str(), device, 2, 0.0f, &profiler))) {
        EXPECT_EQ(profiler, nullptr);
        ASSERT_EQ(kx_orvel_profiler_init(model.c_str(), device, 2, 0.0f, &profiler), KX_STATUS_SUCCESS);
    }
    kx_orvel_t* recognizer = reinterpret_cast<kx_orvel_t*>(uintptr_t{0x10});
    if (failed(s, "init", kx_orvel_init(model.c_str(), device, 0.0f, &recognizer))) {
        EXPECT_EQ(recognizer, nullptr);
        ASSERT_EQ(kx_orvel_init(model.c_str(), device, 0.0f, &recognizer), KX_STATUS_SUCCESS);
    }

    // Enrollment goes on after a failed frame; a window may be lost, not more.
    float percentage = -1.0f;
    float last = 0.0f;
    for (size_t f = 0; f + 512 <= audio.size(); f += 512) {
        if (failed(s, "enroll", kx_orvel_profiler_enroll(profiler, &audio[f], &percentage))) {
            EXPECT_EQ(percentage, 0.0f);
            continue;
        }
        EXPECT_GE(percentage, last);
        last = percentage;
    }
    if (failed(s, "flush", kx_orvel_profiler_flush(profiler, &percentage))) {
        EXPECT_EQ(percentage, 0.0f);
    } else {
        last = percentage;
    }
    // A lost window is made up by more audio, as an application would.
    for (size_t f = 0; last < 100.0f && f + 512 <= audio.size(); f += 512) {
        ASSERT_EQ(kx_orvel_profiler_enroll(profiler, &audio[f], &percentage), KX_STATUS_SUCCESS);
        last = percentage;
    }
    if (last < 100.0f) {
        ASSERT_EQ(kx_orvel_profiler_flush(profiler, &percentage), KX_STATUS_SUCCESS);
        last = percentage;
    }
    EXPECT_EQ(last, 100.0f) << "allocation " << s.fail_at;

    int32_t bytes = 0;
    EXPECT_FALSE(failed(s, "export_size", kx_orvel_profiler_export_size(profiler, &bytes)));
    s.profile.assign(static_cast<size_t>(bytes) / 4, 0.0f);
    EXPECT_FALSE(failed(s, "export", kx_orvel_profiler_export(profiler, s.profile.data())));

    std::vector<float> opposite(s.profile);
    for (float& v : opposite) v = -v;
    const float* profiles[2] = {s.profile.data(), opposite.data()};
    float* scores = reinterpret_cast<float*>(uintptr_t{0x10});
    const int32_t samples = static_cast<int32_t>(audio.size());
    if (failed(s, "process", kx_orvel_process(recognizer, audio.data(), samples, profiles, 2, &scores))) {
        // Nothing of the failed call stays behind: the retry scores as a clean run does.
        EXPECT_EQ(scores, nullptr);
        ASSERT_EQ(kx_orvel_process(recognizer, audio.data(), samples, profiles, 2, &scores), KX_STATUS_SUCCESS);
    }
    ASSERT_NE(scores, nullptr);
    s.scores.assign(scores, scores + 2);
    kx_orvel_scores_delete(scores);
    if (failed(s, "reset", kx_orvel_profiler_reset(profiler))) {
        // Without a selector the profiler refuses to enroll until it is reset.
        EXPECT_NE(kx_orvel_profiler_enroll(profiler, audio.data(), &percentage), KX_STATUS_SUCCESS);
        EXPECT_FALSE(robust::take_messages().empty());
        ASSERT_EQ(kx_orvel_profiler_reset(profiler), KX_STATUS_SUCCESS);
    }
    for (int f = 0; f < 2; ++f) {
        if (!failed(s, "enroll_after_reset", kx_orvel_profiler_enroll(profiler, &audio[512 * f], &percentage))) {
            EXPECT_LT(percentage, 100.0f);
        }
    }
    std::vector<float> untouched(s.profile.size(), -7.0f);
    EXPECT_EQ(kx_orvel_profiler_export(profiler, untouched.data()), KX_STATUS_INVALID_STATE);
    robust::take_messages();

    kx_orvel_profiler_delete(profiler);
    kx_orvel_delete(recognizer);
    s.allocations = kx_fault_allocation_count();
    kx_fault_fail_allocation(0);
}

class AllocationSweep : public ::testing::TestWithParam<const char*> {};

TEST_P(AllocationSweep, EveryAllocationOfTheScenarioMayFail) {
    struct Disarm {
        ~Disarm() { kx_fault_fail_allocation(0); }
    } disarm;
    kxtest::TempFile file(robust::small_model(1));
    Sweep clean;
    clean.device = GetParam();
    run_scenario(file.path(), clean);
    ASSERT_TRUE(clean.failed_call.empty());
    const int64_t total = clean.allocations;
    ASSERT_GT(total, 20);

    std::map<std::string, int> failures;
    for (int64_t n = 1; n <= total && !HasFatalFailure(); ++n) {
        Sweep s;
        s.device = GetParam();
        s.fail_at = n;
        run_scenario(file.path(), s);
        EXPECT_FALSE(s.failed_call.empty()) << "allocation " << n << " failed without a caller noticing";
        failures[s.failed_call]++;
        for (float v : s.profile) EXPECT_TRUE(std::isfinite(v));
        // Failures that do not touch enrollment leave every result as it was.
        if (s.failed_call != "enroll" && s.failed_call != "flush") {
            EXPECT_EQ(s.profile, clean.profile) << "allocation " << n << " in " << s.failed_call;
            EXPECT_EQ(s.scores, clean.scores) << "allocation " << n << " in " << s.failed_call;
        }
        if (__lsan_do_recoverable_leak_check) {
            EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "allocation " << n;
        }
        if (::testing::Test::HasFailure()) break;  // one reproducer is enough
    }
    // Every allocating step of the scenario was made to fail at least once.
    for (const char* call : {"list", "profiler_init", "init", "enroll", "process", "reset"})
        EXPECT_GT(failures[call], 0) << call;
    std::string summary;
    for (const auto& f : failures) summary += " " + f.first + ":" + std::to_string(f.second);
    RecordProperty("failures", summary);
    std::printf("%lld allocations swept on %s:%s\n", static_cast<long long>(total), GetParam(), summary.c_str());
}

TEST(WorkerStartFailure, ConstructorsFailCleanlyAndTheNextSucceeds) {
    // A worker thread that cannot start is the pool's other resource failure.
    kxtest::TempFile file(robust::small_model(1));
    for (int32_t worker = 1; worker <= 3; ++worker) {
        kx_thread_pool_fail_worker_start(worker);
        kx_orvel_t* recognizer = reinterpret_cast<kx_orvel_t*>(uintptr_t{0x10});
        const kx_status_t status = kx_orvel_init(file.c_str(), "cpu:4", 0.0f, &recognizer);
        kx_thread_pool_fail_worker_start(0);
        EXPECT_EQ(status, KX_STATUS_RUNTIME_ERROR) << worker;
        EXPECT_EQ(recognizer, nullptr);
        const std::vector<std::string> messages = robust::take_messages();
        EXPECT_TRUE(robust::names_cause(messages)) << (messages.empty() ? "none" : messages[0]);

        kx_thread_pool_fail_worker_start(worker);
        kx_orvel_profiler_t* profiler = reinterpret_cast<kx_orvel_profiler_t*>(uintptr_t{0x10});
        EXPECT_EQ(kx_orvel_profiler_init(file.c_str(), "cpu:4", 2, 0.0f, &profiler), KX_STATUS_RUNTIME_ERROR);
        kx_thread_pool_fail_worker_start(0);
        EXPECT_EQ(profiler, nullptr);
        robust::take_messages();
    }
    // Nothing is left half-started: the same device string works and computes as usual.
    const std::vector<int16_t> audio = kxtest::make_test_audio(8 * 512, 21);
    EXPECT_TRUE(robust::enroll_and_score(file.path(), "cpu:4", audio) ==
                robust::enroll_and_score(file.path(), "cpu:1", audio));
    if (__lsan_do_recoverable_leak_check) {
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, AllocationSweep, ::testing::Values("cpu:1", "cpu:2"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(0, 3) + std::string(info.param).substr(4);
                         });

}  // namespace
