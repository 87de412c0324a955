#include "common/console.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <thread>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace {

// Room for start-up's banner and tuning lines many times over, and far less memory than a
// standard error that never drains could otherwise make the process hold.
constexpr size_t kQueueLines = 1024;
constexpr size_t kQueueBytes = size_t{256} * 1024;

std::string plain_drop_report(uint64_t dropped) {
    return "Console: " + std::to_string(dropped) + " lines dropped while standard error was blocked\n";
}

struct Console {
    Mutex mutex;
    CondVar queued;   // the writer waits for lines
    CondVar drained;  // flushes wait for the writer
    std::deque<std::string> lines GUARDED_BY(mutex);
    size_t bytes GUARDED_BY(mutex) = 0;
    uint64_t accepted GUARDED_BY(mutex) = 0;    // lines put on the queue
    uint64_t written GUARDED_BY(mutex) = 0;     // lines taken off it and written (or given up)
    uint64_t unreported GUARDED_BY(mutex) = 0;  // dropped since the last report
    std::atomic<uint64_t> dropped{0};
    std::atomic<DropReport> report{plain_drop_report};
};

// Writes one line whole. A full pipe blocks here, in the writer thread alone; a broken one
// (EPIPE: the writer thread keeps SIGPIPE blocked) or a closed descriptor loses the line.
void write_whole(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made the descriptor non-blocking: wait here rather than spin.
            pollfd fd{STDERR_FILENO, POLLOUT, 0};
            poll(&fd, 1, -1);
        } else {
            return;
        }
    }
}

void run_writer(Console& console) EXCLUDES(console.mutex) {
    for (;;) {
        std::string line;
        {
            MutexLock lock(console.mutex);
            while (console.lines.empty()) console.queued.wait(console.mutex);
            line = std::move(console.lines.front());
            console.lines.pop_front();
            console.bytes -= line.size();
        }
        write_whole(line);
        MutexLock lock(console.mutex);
        ++console.written;
        console.drained.notify_all();
    }
}

// Never destroyed: the writer may still be blocked in write(2) while the process exits, and
// must not find its queue gone. Its thread starts with every signal blocked, so that neither a
// shutdown signal meant for the signal thread nor SIGPIPE from a broken pipe lands on it.
Console& console() {
    static Console* const instance = [] {
        auto* c = new Console;  // NOLINT(cppcoreguidelines-owning-memory): lives as long as the process
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        std::thread(run_writer, std::ref(*c)).detach();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return c;
    }();
    return *instance;
}

bool has_room(const Console& c, size_t size) REQUIRES(c.mutex) {
    // A line longer than the whole queue still goes when nothing is waiting.
    return c.lines.empty() || (c.lines.size() < kQueueLines && c.bytes + size <= kQueueBytes);
}

void push(Console& c, std::string text) REQUIRES(c.mutex) {
    c.bytes += text.size();
    c.lines.push_back(std::move(text));
    ++c.accepted;
}

void enqueue(const std::function<std::string()>& compose, size_t size_hint) {
    Console& c = console();
    MutexLock lock(c.mutex);
    if (!has_room(c, size_hint)) {
        ++c.unreported;
        c.dropped.fetch_add(1);
        return;
    }
    std::string text = compose();
    if (c.unreported > 0) {
        // The queue takes lines again: the gap is reported where it was.
        push(c, c.report.load()(c.unreported));
        c.unreported = 0;
    }
    push(c, std::move(text));
    c.queued.notify_one();
}

}  // namespace

void console_write(const std::string& text) {
    enqueue([&] { return text; }, text.size());
}

void console_write_composed(const std::function<std::string()>& compose) {
    // A stamped log line is short; its exact size is known only once composed under the lock.
    enqueue(compose, 0);
}

bool console_flush(std::chrono::milliseconds timeout) {
    Console& c = console();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(c.mutex);
    const uint64_t target = c.accepted;
    while (c.written < target) {
        if (!c.drained.wait_until(c.mutex, deadline) && c.written < target) return false;
    }
    return true;
}

uint64_t console_dropped_lines() { return console().dropped.load(); }

void console_set_drop_report(DropReport report) { console().report.store(report); }

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
