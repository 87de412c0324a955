#pragma once
// The console: standard error, shared by every thread and subsystem.

#include <cstdarg>
#include <functional>
#include <string>

// Writes `text` to standard error in a single write(2) under one process-wide lock, so lines
// from different threads never split each other and a pipe reader (a shell pipeline, the
// journal) receives each line whole.
void console_write(const std::string& text);

// Writes the text that `compose` returns, calling it under the same lock: for lines that carry
// the time they were written, so stamps never go backwards down the console.
void console_write_composed(const std::function<std::string()>& compose);

// Formats like printf and writes the result with console_write. Callers end their lines
// with "\n".
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The printf formatting of `format` with `args` as a string.
std::string format_text(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
