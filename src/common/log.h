#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/line_budget.h"

// The client id that every line carries from now on: set once the command line is read, before
// any other thread starts.
void set_log_client_id(std::string id);

// Writes one whole line to standard error: "[UTC time][client id][level] " + message + "\n".
// Lines from different threads never interleave.
void log_line(const char* level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The lines of one cause a peer or a device can repeat, logged at `level` within a budget: a
// few a window, then "<cause>: N more not shown" at the same level.
struct LogBudget {
    LogBudget(const char* level, const char* cause, std::chrono::milliseconds window = LineBudget::kWindow)
        : level(level), budget(cause, window) {}
    const char* const level;
    LineBudget budget;
};

// log_line within `budget`, after the report of what it held back in a window now over.
void log_within(LogBudget& budget, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Reports what `budget` held back in a window now over; for quiet times.
void log_held_back(LogBudget& budget);

// The console's report of lines it dropped, as a WARN log line stamped now.
std::string dropped_lines_report(uint64_t dropped);
