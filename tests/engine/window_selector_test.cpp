#include "frontend/window_selector.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine_support.h"

namespace {

// A selector without a detector, driven by given probabilities.
class Selector {
public:
    Selector(int32_t window, int32_t lookahead, float threshold)
        : probs_(static_cast<size_t>(window + lookahead), -1.0f) {
        s_ = kx_orvel_window_selector{};
        s_.window_frames = window;
        s_.lookahead_frames = lookahead;
        s_.voice_threshold = threshold;
        s_.probs = probs_.data();
    }
    int32_t push(float p) {
        int32_t index = -2;
        kx_orvel_window_selector_push_probability(&s_, p, &index);
        return index;
    }
    // Indices returned by pushing each probability in turn (-1 entries included).
    std::vector<int32_t> push_all(const std::vector<float>& ps) {
        std::vector<int32_t> out;
        for (float p : ps) out.push_back(push(p));
        return out;
    }
    int32_t flush() {
        int32_t index = -2;
        EXPECT_EQ(kx_orvel_window_selector_flush(&s_, &index), KX_STATUS_SUCCESS);
        return index;
    }

private:
    std::vector<float> probs_;
    kx_orvel_window_selector s_;
};

TEST(WindowSelector, ThresholdZeroWithoutLookaheadClosesEveryWindow) {
    Selector s(3, 0, 0.0f);
    EXPECT_EQ(s.push_all({0, 0, 0, 0.2f, 0.1f, 0, 0.9f, 0, 0}),
              (std::vector<int32_t>{-1, -1, 2, -1, -1, 5, -1, -1, 8}));
    EXPECT_EQ(s.flush(), -1);  // nothing left after a choice
}

TEST(WindowSelector, ThresholdZeroWithLookaheadWaitsForTheBufferAndEqualSumsDoNotDefer) {
    Selector s(2, 2, 0.0f);
    // Constant probabilities: every look-ahead window has an equal sum.
    EXPECT_EQ(s.push_all({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}),
              (std::vector<int32_t>{-1, -1, -1, 1, -1, -1, -1, 5}));
}

TEST(WindowSelector, MeanEqualToTheThresholdPasses) {
    Selector s(2, 0, 0.5f);
    EXPECT_EQ(s.push_all({0.25f, 0.75f}), (std::vector<int32_t>{-1, 1}));
    Selector below(2, 0, 0.5f);
    EXPECT_EQ(below.push_all({0.25f, 0.74f, 0.0f}), (std::vector<int32_t>{-1, -1, -1}));
}

TEST(WindowSelector, SlidingBufferDropsTheOldestProbability) {
    Selector s(2, 1, 0.5f);
    // Windows (0,1) and (1,2) stay below the threshold; once 0.9 arrives the buffer
    // slides and window (2,3) passes with nothing better in the look-ahead.
    EXPECT_EQ(s.push_all({0.1f, 0.1f, 0.3f, 0.9f, 0.2f}), (std::vector<int32_t>{-1, -1, -1, -1, 3}));
}

TEST(WindowSelector, RisingProbabilitiesSlideTheWindowTowardsThePeak) {
    Selector s(2, 2, 0.5f);
    const std::vector<int32_t> got = s.push_all({0.6f, 0.6f, 0.7f, 0.8f, 0.9f, 0.9f, 0.5f, 0.1f, 0.1f});
    // Buffer full at frame 3: window (0,1) sum 1.2, later windows 1.3 -> defer. Frame 4:
    // (1,2)=1.3, then 1.5 -> defer. Frame 5: (2,3)=1.5, then 1.7 -> defer. Frame 6:
    // (3,4)=1.7, then 1.8 -> defer. Frame 7: (4,5)=1.8, (5,6)=1.4, (6,7)=0.6 -> choose 5.
    EXPECT_EQ(got, (std::vector<int32_t>{-1, -1, -1, -1, -1, -1, -1, 5, -1}));
}

TEST(WindowSelector, NextChoiceNeedsAFullNewBuffer) {
    Selector s(2, 1, 0.0f);
    // First choice at frame 2 (window 0..1, look-ahead frame 2 discarded); the next
    // needs three new frames: frames 3..5, window 3..4.
    EXPECT_EQ(s.push_all({1, 1, 1, 1, 1, 1, 1, 1, 1}), (std::vector<int32_t>{-1, -1, 1, -1, -1, 4, -1, -1, 7}));
}

TEST(WindowSelector, FlushNeedsAWholeWindow) {
    Selector s(3, 2, 0.0f);
    s.push_all({1, 1});
    EXPECT_EQ(s.flush(), -1);
}

TEST(WindowSelector, FlushOfExactlyOneWindowReturnsItsLastFrame) {
    Selector s(3, 1, 0.5f);
    EXPECT_EQ(s.push_all({0.5f, 0.5f, 0.5f}), (std::vector<int32_t>{-1, -1, -1}));
    EXPECT_EQ(s.flush(), 2);
    EXPECT_EQ(s.flush(), -1);  // emptied by the choice
}

TEST(WindowSelector, FlushTestsTheThresholdOnTheFirstWindowOnly) {
    Selector s(2, 3, 0.5f);
    s.push_all({0.1f, 0.2f, 0.9f, 0.9f});
    EXPECT_EQ(s.flush(), -1);
}

TEST(WindowSelector, FlushPicksTheBestWindowAndTheEarliestOfEqualOnes) {
    Selector best(2, 3, 0.5f);
    best.push_all({0.5f, 0.5f, 0.6f, 0.9f});
    EXPECT_EQ(best.flush(), 3);  // window 2..3

    Selector tie(2, 3, 0.0f);
    tie.push_all({0.25f, 0.75f, 0.25f, 0.75f});  // all three windows tie
    EXPECT_EQ(tie.flush(), 1);
}

TEST(WindowSelector, FlushIndexCountsEveryFramePushed) {
    Selector s(2, 2, 0.5f);
    // Choice at frame 3 (window 0..1 beats the later sums), then three more frames.
    EXPECT_EQ(s.push_all({0.9f, 0.9f, 0.1f, 0.1f, 0.6f, 0.6f, 0.7f}),
              (std::vector<int32_t>{-1, -1, -1, 1, -1, -1, -1}));
    EXPECT_EQ(s.flush(), 6);  // windows 4..5 (1.2) and 5..6 (1.3): the later one
}

}  // namespace
