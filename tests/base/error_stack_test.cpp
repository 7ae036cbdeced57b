#include <gtest/gtest.h>

#include <atomic>
#include "support/barrier.h"
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "kx_orvel.h"
#include "support/error_stack.h"

namespace {

// Starts a "call" the way exported functions do and records n trace messages.
void failing_call(int n, const char* prefix = "site") {
    kx_error_stack_begin_call();
    for (int i = 0; i < n; ++i) kx_error_trace((std::string(prefix) + std::to_string(i)).c_str());
}

}  // namespace

TEST(ErrorStack, FramesMessagesWithBuildTagAndCode) {
    kx_error_stack_begin_call();
    kx_error_push(&KX_ERR_ARG_NULL, "model_path");
    kx_error_push(&KX_ERR_BACKEND);
    kx_error_push(&KX_ERR_ARG_RANGE_FLOAT, "voice_threshold", 1.5, 0.0, 1.0);
    kx_error_push(&KX_ERR_ARG_MIN_INT, "num_samples", 10, 20);
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "a01eaf2 00000064: Argument `model_path` is NULL.");
    EXPECT_EQ(messages[1], "a01eaf2 0000012C: Zembrix Error.");
    EXPECT_EQ(messages[2], "a01eaf2 00000065: Argument `voice_threshold` value `1.50` is out of range [0.00, 1.00].");
    EXPECT_EQ(messages[3],
              "a01eaf2 00000065: Argument `num_samples` value `10` is less than the minimum acceptable value of `20`.");
}

TEST(ErrorStack, HandsOutEightBuffersAndThenNothing) {
    failing_call(2);
    char** stack = nullptr;
    int32_t depth = -1;
    ASSERT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_SUCCESS);
    ASSERT_EQ(depth, 2);
    ASSERT_NE(stack, nullptr);
    EXPECT_STREQ(stack[0], "a01eaf2 00000136: site0");
    EXPECT_STREQ(stack[1], "a01eaf2 00000136: site1");
    for (int i = 2; i < 8; ++i) {
        EXPECT_STREQ(stack[i], "");
        // Every buffer is a full 512-byte block (ASan would flag a shorter one).
        stack[i][511] = 'x';
    }
    kx_free_error_stack(stack);

    stack = reinterpret_cast<char**>(1);
    depth = 5;
    EXPECT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_INVALID_STATE);
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(stack, nullptr);
    kx_free_error_stack(nullptr);
}

// When the array that replaces the one handed out cannot be made, the fetch hands out
// nothing (a caller that trusts the status must not leak) and keeps the messages.
TEST(ErrorStack, FetchThatCannotReplaceItsArrayHandsOutNothing) {
    failing_call(2);
    kx_error_fail_next_handouts(1);
    char** stack = reinterpret_cast<char**>(1);
    int32_t depth = 5;
    EXPECT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(stack, nullptr);
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(fetch_error_stack().size(), 2u);
}

TEST(ErrorStack, NullOutputPointersAreRefused) {
    failing_call(1);
    int32_t depth = 0;
    char** stack = nullptr;
    EXPECT_EQ(kx_get_error_stack(nullptr, &depth), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_get_error_stack(&stack, nullptr), KX_STATUS_INVALID_ARGUMENT);
    // The messages are still there for a proper fetch.
    EXPECT_EQ(fetch_error_stack().size(), 1u);
}

TEST(ErrorStack, NextFailingCallReplacesMessagesButSuccessKeepsThem) {
    failing_call(3, "first");
    failing_call(1, "second");
    auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(message_text(messages[0]), "second0");

    failing_call(2, "failed");
    kx_error_stack_begin_call();  // a call that succeeds records nothing
    messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(message_text(messages[1]), "failed1");
}

// Every detector frame starts a call: on threads that score side by side, a lock on
// that path would make unrelated objects wait for each other.
TEST(ErrorStack, CallsOfAThreadThatOwnsItsSlotTakeNoLock) {
    failing_call(1, "claim");  // the slot and the hand-out array exist from here
    const int64_t before = kx_error_lock_count();
    for (int call = 0; call < 1000; ++call) failing_call(call % 3, "frame");
    EXPECT_EQ(kx_error_lock_count(), before);
    // The stack still works as before: call 999 recorded nothing, so 998's two stay.
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(message_text(messages[1]), "frame1");
}

TEST(ErrorStack, KeepsTheInnermostEightMessages) {
    failing_call(11);
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(message_text(messages[i]), "site" + std::to_string(i));
}

TEST(ErrorStack, TruncatesLongTemplateText) {
    const std::string long_text(2000, 'y');
    kx_error_stack_begin_call();
    kx_error_trace(long_text.c_str());
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(message_text(messages[0]), std::string(491, 'y'));
    EXPECT_EQ(messages[0].size(), 18u + 491u);
}

TEST(ErrorStack, ThreadsKeepTheirOwnMessages) {
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    TestBarrier sync(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                failing_call(t % 3 + 1, ("thread" + std::to_string(t) + "_").c_str());
                sync.arrive_and_wait();
                const auto messages = fetch_error_stack();
                if (messages.size() != static_cast<size_t>(t % 3 + 1)) mismatches++;
                for (size_t i = 0; i < messages.size(); ++i)
                    if (message_text(messages[i]) != "thread" + std::to_string(t) + "_" + std::to_string(i))
                        mismatches++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    // The main thread recorded nothing.
    char** stack = nullptr;
    int32_t depth = 0;
    EXPECT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_INVALID_STATE);
}

TEST(ErrorStack, ThreadBeyondTheSlotTableRecordsNothing) {
    // 128 threads own every slot; the 129th loses its messages.
    constexpr int kThreads = 129;
    TestBarrier recorded(kThreads + 1);
    TestBarrier fetch_now(kThreads + 1);
    std::atomic<int> refused{0}, fetched{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            failing_call(1);
            recorded.arrive_and_wait();
            fetch_now.arrive_and_wait();
            char** stack = nullptr;
            int32_t depth = 0;
            const kx_status_t status = kx_get_error_stack(&stack, &depth);
            if (status == KX_STATUS_INVALID_STATE && depth == 0 && !stack) refused++;
            if (status == KX_STATUS_SUCCESS && depth == 1) fetched++;
            kx_free_error_stack(stack);
        });
    }
    recorded.arrive_and_wait();
    // While all of them hold their slots, this thread cannot record either.
    failing_call(1);
    char** stack = nullptr;
    int32_t depth = 0;
    EXPECT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_INVALID_STATE);
    fetch_now.arrive_and_wait();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(refused.load(), 1);
    EXPECT_EQ(fetched.load(), 128);
}

TEST(ErrorStack, EndedThreadsGiveTheirSlotsBack) {
    // Far more threads than slots record a message and end without fetching it.
    for (int t = 0; t < 300; ++t) std::thread([] { failing_call(1, "gone"); }).join();
    std::thread([] {
        char** stack = nullptr;
        int32_t depth = 0;
        EXPECT_EQ(kx_get_error_stack(&stack, &depth), KX_STATUS_INVALID_STATE);  // nothing inherited
        failing_call(1, "fresh");
        const auto messages = fetch_error_stack();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(message_text(messages[0]), "fresh0");
    }).join();
}
