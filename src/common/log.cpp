#include "common/log.h"

#include <chrono>
#include <cstdarg>
#include <ctime>
#include <string>
#include <utility>

#include "common/console.h"

namespace {

std::string g_client_id;

std::string stamped_line(const char* level, const std::string& message) {
    const auto nanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const std::time_t seconds = static_cast<std::time_t>(nanos / 1000000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return "[" + std::string(stamp) + "][" + g_client_id + "][" + level + "] " + message + "\n";
}

void log_message(const char* level, const std::string& message) {
    // Stamped under the console's lock, so the lines' order is the order of their stamps.
    console_write_composed([&] { return stamped_line(level, message); });
}

void log_report(LogBudget& budget, uint64_t held_back) {
    if (held_back > 0) log_message(budget.level, budget.budget.held_back_text(held_back));
}

}  // namespace

void set_log_client_id(std::string id) { g_client_id = std::move(id); }

void log_line(const char* level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = format_text(format, args);
    va_end(args);
    log_message(level, message);
}

void log_within(LogBudget& budget, const char* format, ...) {
    const LineBudget::Verdict verdict = budget.budget.take();
    log_report(budget, verdict.held_back);
    if (!verdict.write) return;
    va_list args;
    va_start(args, format);
    const std::string message = format_text(format, args);
    va_end(args);
    log_message(budget.level, message);
}

void log_held_back(LogBudget& budget) { log_report(budget, budget.budget.take_overdue()); }

std::string dropped_lines_report(uint64_t dropped) {
    return stamped_line("WARN",
                        "Console: " + std::to_string(dropped) + " lines dropped while standard error was blocked");
}
