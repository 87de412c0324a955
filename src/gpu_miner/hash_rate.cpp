#include "gpu_miner/hash_rate.h"

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
