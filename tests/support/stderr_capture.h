#pragma once

#include <chrono>
#include <string>

#include "common/unique_fd.h"

// Redirects this process's standard error (file descriptor 2) into a temporary file for the
// lifetime of the object, so a test can read what was written, also by other threads, at any
// moment. On destruction the original standard error is restored and the captured text echoed
// to it, so sanitizer reports and diagnostics are not lost.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const;
    // Waits until the captured text contains `needle` `times` times or more.
    bool wait_for(const std::string& needle, int times = 1,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(15000)) const;

private:
    UniqueFd file_fd;
    UniqueFd saved_fd;  // the original standard error
};

// Number of non-overlapping occurrences of `needle` in `text`.
int count_of(const std::string& text, const std::string& needle);
