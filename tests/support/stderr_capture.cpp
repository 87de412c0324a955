#include "support/stderr_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/console.h"
#include "support/wait_until.h"

StderrCapture::StderrCapture() {
    char path[] = "/tmp/drevik-stderr-XXXXXX";
    file_fd.reset(mkstemp(path));
    if (!file_fd) return;
    unlink(path);
    console_flush(std::chrono::seconds(10));
    std::fflush(stderr);
    saved_fd.reset(dup(2));
    dup2(file_fd.get(), 2);
}

StderrCapture::~StderrCapture() {
    if (!file_fd) return;
    console_flush(std::chrono::seconds(10));
    std::fflush(stderr);
    dup2(saved_fd.get(), 2);
    saved_fd.reset();
    const std::string captured = text();
    std::fwrite(captured.data(), 1, captured.size(), stderr);
}

std::string StderrCapture::text() const {
    console_flush(std::chrono::seconds(10));
    std::string captured;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(file_fd.get(), buffer, sizeof buffer, offset);
        if (n <= 0) return captured;
        captured.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
}

bool StderrCapture::wait_for(const std::string& needle, int times, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return count_of(text(), needle) >= times; }, timeout);
}

int count_of(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}
