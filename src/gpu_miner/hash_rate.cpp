#include "gpu_miner/hash_rate.h"

#include <chrono>

double steady_seconds() {
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    return static_cast<double>(nanos) / 1e9;
}

void add_rate_sample(std::deque<RateSample>& window, double now, uint64_t hashes) {
    window.push_back({now, hashes});
    while (!window.empty() && window.front().time < now - kRateWindowSeconds) window.pop_front();
}

double window_hashrate(const std::deque<RateSample>& window, double now) {
    if (window.empty()) return 0.0;
    double sum = 0.0;
    for (const RateSample& sample : window) {
        if (sample.time >= now - kRateWindowSeconds) sum += static_cast<double>(sample.hashes);
    }
    const double span = now - window.front().time;
    return span > 0.0 ? sum / span / 1e6 : 0.0;
}
