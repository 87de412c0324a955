#include "log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "settings.h"

namespace {
std::mutex log_mutex;
}

void log_line(const char* level, const char* format, ...) {
    std::lock_guard<std::mutex> lock(log_mutex);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const std::time_t seconds = static_cast<std::time_t>(nanos / 1000000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &utc);

    std::fprintf(stderr, "[%s][%s][%s] ", stamp, g_settings.client_id.c_str(), level);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}
