#pragma once
// The stop flag of a search, set by a newer job, a cancel, a block found on another device or
// shutdown. Setting it also ends the launches running now: each search watching the flag
// (StopFlag::Watch) is told at once and aborts its device's launch, so that no device goes on
// hashing work that no longer pays.

#include <atomic>
#include <functional>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"

class StopFlag {
public:
    StopFlag() = default;
    StopFlag(const StopFlag&) = delete;
    StopFlag& operator=(const StopFlag&) = delete;

    bool is_set() const { return flag_.load(); }
    // Sets the flag; the first time since it was cleared, calls every watcher's abort too.
    // Returns whether it was set already.
    bool set() EXCLUDES(mutex_);
    void clear() { flag_.store(false); }

    // Has `abort` called whenever the flag is set while the watch lives. A search takes one
    // before it first reads the flag: either it sees the flag set, or its abort is called.
    class Watch {
    public:
        Watch(StopFlag& flag, std::function<void()> abort);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        friend class StopFlag;
        StopFlag& flag_;
        std::function<void()> abort_;
    };

private:
    std::atomic<bool> flag_{false};
    Mutex mutex_;
    std::vector<Watch*> watches_ GUARDED_BY(mutex_);
};
