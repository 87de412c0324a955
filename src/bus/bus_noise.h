#pragma once
// The console lines a server can make the client repeat as often as it likes, each cause
// with a budget of its own (common/line_budget.h).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/line_budget.h"

struct BusNoise {
    explicit BusNoise(std::chrono::milliseconds window)
        : discovered("[NATS] Discovered server", window),
          server_errors("[NATS] Server error", window),
          refused("[NATS] Not sent", window),
          callback_failures("[NATS] Callback failed", window) {}

    LineBudget discovered;
    LineBudget server_errors;
    LineBudget refused;
    LineBudget callback_failures;
};

// The line for a message not sent because it exceeds the server's max_payload `limit`.
std::string refused_line(size_t payload_size, const std::string& subject, int64_t limit);

// Writes `line` (whole, with its "\n") within the budget of its cause, after the report of
// what the budget held back in a window now over.
void print_within(LineBudget& budget, const std::string& line);

// Reports what each budget held back in windows now over; for quiet times, when no further
// line of the cause comes to carry the report.
void print_held_back(BusNoise& noise);
