// Fault injection: DREVIK_HOST_FAULT holds comma-separated KIND:DEVICE:N entries.
//   fail:D:N     the Nth search launch on device D ends in a launch failure, sticky as on a GPU
//   hang:D:N     the Nth search launch on device D never completes, nor anything queued after it
//   corrupt:D:N  the Nth find device D reports (the host's read of a 64-bit nonce) has a bit flipped
//   miss:D:N     from the Nth search launch on device D, no launch reports a find
// A search launch is one of more than one thread that is not timed (start-up tuning times its
// launches, so counting starts after it). The plan is read with the rest of the configuration
// (config.cpp); a plan that changes starts the counts afresh. A malformed plan is reported
// once and leaves no device.

#include <map>
#include <memory>
#include <string>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace host_runtime {

namespace {

struct Counts {
    std::string plan;                     // the plan they count for
    std::map<int, long> search_launches;  // per device
    std::map<int, long> finds;            // per device
};

Mutex counts_mutex;
Counts counts GUARDED_BY(counts_mutex);

// The counts of the plan in force.
Counts& counts_of(const Settings& settings) REQUIRES(counts_mutex) {
    if (counts.plan != settings.given.fault) counts = Counts{settings.given.fault, {}, {}};
    return counts;
}

Fault planned(const Settings& settings, Fault kind, int device, long count) {
    for (const FaultEntry& entry : settings.faults) {
        if (entry.kind == kind && entry.device == device && entry.count == count) return kind;
    }
    return Fault::none;
}

}  // namespace

Fault next_search_launch_fault(int device) {
    const std::shared_ptr<const Settings> in_force = settings();
    MutexLock lock(counts_mutex);
    const long count = ++counts_of(*in_force).search_launches[device];
    const Fault fail = planned(*in_force, Fault::fail, device, count);
    return fail != Fault::none ? fail : planned(*in_force, Fault::hang, device, count);
}

bool next_search_launch_misses(int device) {
    const std::shared_ptr<const Settings> in_force = settings();
    MutexLock lock(counts_mutex);
    const long next = counts_of(*in_force).search_launches[device] + 1;
    for (const FaultEntry& entry : in_force->faults) {
        if (entry.kind == Fault::miss && entry.device == device && next >= entry.count) return true;
    }
    return false;
}

bool corrupt_next_find(int device) {
    const std::shared_ptr<const Settings> in_force = settings();
    MutexLock lock(counts_mutex);
    return planned(*in_force, Fault::corrupt, device, ++counts_of(*in_force).finds[device]) != Fault::none;
}

}  // namespace host_runtime
