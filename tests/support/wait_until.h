#pragma once

#include <chrono>
#include <thread>

// Polls `condition` until it holds or `timeout` passes; returns its last value. The time-out
// only catches a hang, it is no performance bound.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(15000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Time left until `deadline`, never negative.
inline std::chrono::milliseconds time_left(std::chrono::steady_clock::time_point deadline) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return remaining.count() > 0 ? remaining : std::chrono::milliseconds(0);
}
