#include <gtest/gtest.h>

#include "kx_orvel.h"

TEST(Status, NamesMatchTheEnumeration) {
    const char* expected[] = {"SUCCESS",        "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
                              "STOP_ITERATION", "KEY_ERROR",     "INVALID_STATE", "RUNTIME_ERROR"};
    for (int i = 0; i < 8; ++i) EXPECT_STREQ(kx_status_to_string(static_cast<kx_status_t>(i)), expected[i]);
    EXPECT_EQ(kx_status_to_string(static_cast<kx_status_t>(8)), nullptr);
    EXPECT_EQ(kx_status_to_string(static_cast<kx_status_t>(-1)), nullptr);
}
