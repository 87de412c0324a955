#pragma once
// A budget of console lines for one cause that a peer or a faulty device can repeat at will (a
// server's -ERR, a discovered server, a hardware error): the first few lines of each window are
// written, the rest only counted, and one line reports the count once the window is over. No
// such cause writes more than a few lines a second.

#include <chrono>
#include <cstdint>
#include <string>

#include "common/mutex.h"
#include "common/thread_annotations.h"

class LineBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kLinesPerWindow = 5;
    static constexpr std::chrono::milliseconds kWindow{10000};

    // `cause` names the lines in the report of those held back: "<cause>: N more not shown".
    explicit LineBudget(const char* cause, std::chrono::milliseconds window = kWindow)
        : cause_(cause), window_(window) {}
    LineBudget(const LineBudget&) = delete;
    LineBudget& operator=(const LineBudget&) = delete;

    struct Verdict {
        bool write = false;      // the line may be written
        uint64_t held_back = 0;  // lines of a window now over to report first
    };
    // For one more line of the cause at `now`.
    Verdict take(Clock::time_point now = Clock::now()) EXCLUDES(mutex_);
    // Lines held back in a window that is over and not reported yet; they count as reported.
    uint64_t take_overdue(Clock::time_point now = Clock::now()) EXCLUDES(mutex_);

    // The report of `count` lines held back.
    std::string held_back_text(uint64_t count) const;

private:
    const char* const cause_;
    const std::chrono::milliseconds window_;
    Mutex mutex_;
    Clock::time_point window_end_ GUARDED_BY(mutex_);  // the first line opens a window
    int written_ GUARDED_BY(mutex_) = 0;
    uint64_t held_back_ GUARDED_BY(mutex_) = 0;
};
