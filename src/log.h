#pragma once

// Writes one whole line to standard error: "[UTC time][client id][level] " + message + "\n".
// Lines from different threads never interleave.
void log_line(const char* level, const char* format, ...) __attribute__((format(printf, 2, 3)));
