#include "common/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/mutex.h"

namespace {

Mutex console_mutex;

void write_whole(const std::string& text) REQUIRES(console_mutex) {
    size_t written = 0;
    // One call unless the descriptor takes only part of the text (a full pipe); the lock
    // keeps the rest of a partly written line ahead of every other line. Errors are ignored.
    while (written < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<size_t>(n);
    }
}

}  // namespace

void console_write(const std::string& text) EXCLUDES(console_mutex) {
    MutexLock lock(console_mutex);
    write_whole(text);
}

void console_write_composed(const std::function<std::string()>& compose) EXCLUDES(console_mutex) {
    MutexLock lock(console_mutex);
    write_whole(compose());
}

std::string format_text(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    return text;
}

void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    console_write(text);
}
