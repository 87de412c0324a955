#include "common/stop_flag.h"

#include <algorithm>
#include <utility>

bool StopFlag::set() {
    if (flag_.exchange(true)) return true;
    // Under the lock, so that no watch ends while its abort runs.
    MutexLock lock(mutex_);
    for (Watch* watch : watches_) watch->abort_();
    return false;
}

StopFlag::Watch::Watch(StopFlag& flag, std::function<void()> abort) : flag_(flag), abort_(std::move(abort)) {
    MutexLock lock(flag_.mutex_);
    flag_.watches_.push_back(this);
}

StopFlag::Watch::~Watch() {
    MutexLock lock(flag_.mutex_);
    flag_.watches_.erase(std::find(flag_.watches_.begin(), flag_.watches_.end(), this));
}
