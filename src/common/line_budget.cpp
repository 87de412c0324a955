#include "common/line_budget.h"

LineBudget::Verdict LineBudget::take(Clock::time_point now) {
    MutexLock lock(mutex_);
    Verdict verdict;
    if (now >= window_end_) {
        verdict.held_back = held_back_;
        held_back_ = 0;
        written_ = 0;
        window_end_ = now + window_;
    }
    if (written_ < kLinesPerWindow) {
        ++written_;
        verdict.write = true;
    } else {
        ++held_back_;
    }
    return verdict;
}

uint64_t LineBudget::take_overdue(Clock::time_point now) {
    MutexLock lock(mutex_);
    if (now < window_end_) return 0;
    const uint64_t count = held_back_;
    held_back_ = 0;
    return count;
}

std::string LineBudget::held_back_text(uint64_t count) const {
    return std::string(cause_) + ": " + std::to_string(count) + " more not shown";
}
