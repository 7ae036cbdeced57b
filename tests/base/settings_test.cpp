#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "kx_orvel.h"

TEST(Settings, ConstantsNeedNoObject) {
    EXPECT_EQ(kx_sample_rate(), 16000);
    EXPECT_STREQ(kx_orvel_version(), KX_PROJECT_VERSION);
    kx_free(nullptr);
}

TEST(Settings, SdkNameKeepsThirtyOneCharacters) {
    EXPECT_STREQ(kx_get_sdk(), "c");
    const char* first = kx_get_sdk();
    kx_set_sdk("0123456789012345678901234567890123456789");
    EXPECT_STREQ(kx_get_sdk(), "0123456789012345678901234567890");
    EXPECT_EQ(kx_get_sdk(), first);  // the same buffer, not a copy
    kx_set_sdk(nullptr);
    EXPECT_STREQ(kx_get_sdk(), "0123456789012345678901234567890");
    kx_set_sdk("python");
    EXPECT_STREQ(kx_get_sdk(), "python");
}

// An error line on standard output: red on terminals that take colour codes, plain on Windows.
static std::string error_line(const std::string& message) {
#if defined(_WIN32)
    return "[ERROR] " + message + "\n";
#else
    return "\033[31m[ERROR] " + message + "\033[0m\n";
#endif
}

TEST(Settings, HomeDirectoryLengthLimit) {
    const std::string longest(1023, 'a');
    EXPECT_EQ(kx_set_home_dir(longest.c_str()), KX_STATUS_SUCCESS);
    EXPECT_EQ(std::string(kx_home_dir()), longest);

    kx_log_enable();
    testing::internal::CaptureStdout();
    EXPECT_EQ(kx_set_home_dir(std::string(1024, 'b').c_str()), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              error_line("The length of the given path is too long: 1024, the maximum allowed length is 1023"));
    EXPECT_EQ(std::string(kx_home_dir()), longest);

    kx_log_disable();
    testing::internal::CaptureStdout();
    EXPECT_EQ(kx_set_home_dir(std::string(5000, 'c').c_str()), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    kx_log_enable();

    EXPECT_EQ(kx_set_home_dir(nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(kx_home_dir()), longest);
    EXPECT_EQ(kx_set_home_dir("/tmp/kx"), KX_STATUS_SUCCESS);
    EXPECT_STREQ(kx_home_dir(), "/tmp/kx");
}

// With a callback set, diagnostic lines go to it (still under the switch) and not to
// standard output; clearing it brings standard output back.
TEST(Settings, LogCallbackReceivesTheLinesUnderTheSwitch) {
    using Lines = std::vector<std::pair<int32_t, std::string>>;
    Lines lines;
    const kx_log_callback_t collect = [](int32_t level, const char* message, void* user_data) {
        static_cast<Lines*>(user_data)->emplace_back(level, message);
    };
    kx_log_enable();
    kx_set_log_callback(collect, &lines);
    testing::internal::CaptureStdout();
    EXPECT_EQ(kx_set_home_dir(std::string(1024, 'b').c_str()), KX_STATUS_INVALID_ARGUMENT);
    kx_log_disable();
    EXPECT_EQ(kx_set_home_dir(std::string(2000, 'b').c_str()), KX_STATUS_INVALID_ARGUMENT);
    kx_log_enable();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(lines, (Lines{{KX_LOG_ERROR,
                             "The length of the given path is too long: 1024, the maximum allowed length is 1023"}}));

    kx_set_log_callback(nullptr, &lines);
    testing::internal::CaptureStdout();
    EXPECT_EQ(kx_set_home_dir(std::string(1025, 'b').c_str()), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              error_line("The length of the given path is too long: 1025, the maximum allowed length is 1023"));
    EXPECT_EQ(lines.size(), 1u);
}

TEST(Settings, SettingsRecordNothingOnTheErrorStack) {
    kx_set_home_dir(nullptr);
    kx_set_home_dir(std::string(2000, 'x').c_str());
    char** stack = nullptr;
    int32_t depth = 0;
    EXPECT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_INVALID_STATE);
}
