#pragma once
// The console: standard error, shared by every thread and subsystem. Writing to it never
// blocks the caller: lines go through a bounded queue to one writer thread, so a standard error
// that stops taking bytes (a paused pager, a stuck log collector) cannot stop mining, the bus
// or shutdown. When the queue is full a line is dropped and counted; the first line the queue
// takes again is preceded by one that says how many were dropped.

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

// Queues `text` for standard error, where it leaves in a single write(2), so lines from
// different threads never split each other and a pipe reader (a shell pipeline, the journal)
// receives each line whole.
void console_write(const std::string& text);

// Queues the text that `compose` returns, calling it under the queue's lock: for lines that
// carry the time they were made, so stamps never go backwards down the console.
void console_write_composed(const std::function<std::string()>& compose);

// Formats like printf and writes the result with console_write. Callers end their lines
// with "\n".
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The printf formatting of `format` with `args` as a string.
std::string format_text(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Waits until every line queued before the call has been written, for at most `timeout`.
// False when standard error did not take them in time.
bool console_flush(std::chrono::milliseconds timeout);

// Lines dropped since the process started because the queue was full.
uint64_t console_dropped_lines();

// Makes the line that reports `dropped` lines (a log line, in the app); before it is set, a
// plain line. Set once, before other threads write.
using DropReport = std::string (*)(uint64_t dropped);
void console_set_drop_report(DropReport report);
