// std::mutex and its lock and condition variable, annotated so the analysis knows what each
// acquires and releases (libstdc++'s own types carry no annotations).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class CondVar;
    std::mutex mutex_;
};

// Holds `mutex` for its scope; unlock() and lock() let a holder let go for a while (say, to
// write to the console) and take it again.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() {
        if (locked_) mutex_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() {
        mutex_.unlock();
        locked_ = false;
    }
    void lock() ACQUIRE() {
        mutex_.lock();
        locked_ = true;
    }

private:
    Mutex& mutex_;
    bool locked_ = true;
};

// Waits release `mutex` while asleep and hold it again when they return, as with
// std::condition_variable; the caller must hold it.
class CondVar {
public:
    void notify_one() { condition_.notify_one(); }
    void notify_all() { condition_.notify_all(); }

    void wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        condition_.wait(lock);
        lock.release();
    }

    // False when the deadline passed first.
    template <class Clock, class Duration>
    bool wait_until(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        const bool woken = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }

private:
    std::condition_variable condition_;
};
