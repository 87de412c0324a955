#pragma once
// gtest's capture of standard error around the console's queue: what was queued before the
// capture starts is written first, and what was queued before it ends is in it.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/console.h"

inline void capture_console() {
    console_flush(std::chrono::seconds(10));
    testing::internal::CaptureStderr();
}

inline std::string captured_console() {
    console_flush(std::chrono::seconds(10));
    return testing::internal::GetCapturedStderr();
}
