#pragma once

#include <chrono>

// Monotonic time in seconds, for elapsed times and rate windows.
inline double steady_seconds() {
    const auto nanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    return static_cast<double>(nanos) / 1e9;
}
