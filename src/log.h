#pragma once

#include <cstdint>
#include <string>

// Writes one whole line to standard error: "[UTC time][client id][level] " + message + "\n".
// Lines from different threads never interleave.
void log_line(const char* level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The console's report of lines it dropped, as a WARN log line stamped now.
std::string dropped_lines_report(uint64_t dropped);
