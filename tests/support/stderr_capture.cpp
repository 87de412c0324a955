#include "support/stderr_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/wait_until.h"

StderrCapture::StderrCapture() {
    char path[] = "/tmp/drevik-stderr-XXXXXX";
    file_fd = mkstemp(path);
    if (file_fd < 0) return;
    unlink(path);
    std::fflush(stderr);
    saved_fd = dup(2);
    dup2(file_fd, 2);
}

StderrCapture::~StderrCapture() {
    if (file_fd < 0) return;
    std::fflush(stderr);
    dup2(saved_fd, 2);
    close(saved_fd);
    const std::string captured = text();
    std::fwrite(captured.data(), 1, captured.size(), stderr);
    close(file_fd);
}

std::string StderrCapture::text() const {
    std::string captured;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(file_fd, buffer, sizeof buffer, offset);
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
