#pragma once
// The hash-rate window: one sample per search launch, rates over the last 30 seconds.

#include <cstdint>
#include <deque>

#include "common/steady_clock.h"

struct RateSample {
    double time;  // steady-clock seconds at the end of the launch
    uint64_t hashes;
};

inline constexpr double kRateWindowSeconds = 30.0;

// Appends the sample and drops the samples older than the window.
void add_rate_sample(std::deque<RateSample>& window, double now, uint64_t hashes);
// MH/s: the hashes of the samples inside the window over the time since the oldest sample;
// 0 for an empty window or when no time has passed.
double window_hashrate(const std::deque<RateSample>& window, double now);
