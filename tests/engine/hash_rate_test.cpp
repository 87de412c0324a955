#include "gpu_miner/hash_rate.h"

#include <gtest/gtest.h>

namespace {

TEST(HashRateWindow, RateIsHashesInsideTheWindowOverTheTimeSinceTheOldestSample) {
    std::deque<RateSample> window;
    EXPECT_EQ(window_hashrate(window, 100.0), 0.0);

    add_rate_sample(window, 100.0, 4'000'000);
    EXPECT_EQ(window_hashrate(window, 100.0), 0.0);  // no time has passed
    add_rate_sample(window, 110.0, 6'000'000);
    EXPECT_DOUBLE_EQ(window_hashrate(window, 120.0), 10.0 / 20.0);

    // The sample from 100 s is outside the window at 131 s: not counted, yet the span still
    // starts at it until the next launch trims it.
    EXPECT_DOUBLE_EQ(window_hashrate(window, 131.0), 6.0 / 31.0);
    // Between jobs the rate falls to zero once the newest sample is 30 s old.
    EXPECT_EQ(window_hashrate(window, 140.5), 0.0);
}

TEST(HashRateWindow, RecordingDropsSamplesOlderThanThirtySeconds) {
    std::deque<RateSample> window;
    add_rate_sample(window, 0.0, 1);
    add_rate_sample(window, 30.0, 2);  // the first is exactly 30 s old: kept
    ASSERT_EQ(window.size(), 2u);
    add_rate_sample(window, 30.5, 3);
    ASSERT_EQ(window.size(), 2u);
    EXPECT_EQ(window.front().hashes, 2u);
}

}  // namespace
