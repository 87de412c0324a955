// Fault injection: DREVIK_HOST_FAULT holds comma-separated KIND:DEVICE:N entries.
//   fail:D:N     the Nth search launch on device D ends in a launch failure, sticky as on a GPU
//   hang:D:N     the Nth search launch on device D never completes, nor anything queued after it
//   corrupt:D:N  the Nth find device D reports (the host's read of a 64-bit nonce) has a bit flipped
//   miss:D:N     from the Nth search launch on device D, no launch reports a find
// A search launch is one of more than one thread that is not timed (start-up tuning times its
// launches, so counting starts after it). The variable is read at every call; a changed value
// starts the counts afresh. A malformed value is reported once and leaves no device.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace host_runtime {

namespace {

struct FaultEntry {
    Fault kind;
    int device;
    long count;
};

struct FaultPlan {
    std::string text;
    bool valid = true;
    std::vector<FaultEntry> entries;
    std::map<int, long> search_launches;  // per device
    std::map<int, long> finds;            // per device
};

Mutex plan_mutex;
FaultPlan plan GUARDED_BY(plan_mutex);

bool parse_number(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool parse_entry(const std::string& entry, FaultEntry& parsed) {
    const size_t first = entry.find(':');
    const size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
    if (second == std::string::npos) return false;
    const std::string kind = entry.substr(0, first);
    if (kind == "fail") {
        parsed.kind = Fault::fail;
    } else if (kind == "hang") {
        parsed.kind = Fault::hang;
    } else if (kind == "corrupt") {
        parsed.kind = Fault::corrupt;
    } else if (kind == "miss") {
        parsed.kind = Fault::miss;
    } else {
        return false;
    }
    long device = 0;
    if (!parse_number(entry.substr(first + 1, second - first - 1), 0, 63, device)) return false;
    parsed.device = static_cast<int>(device);
    return parse_number(entry.substr(second + 1), 1, 999999999, parsed.count);
}

// Brings the plan in line with the environment.
void refresh_plan() REQUIRES(plan_mutex) {
    const char* value = std::getenv("DREVIK_HOST_FAULT");
    const std::string text = value == nullptr ? "" : value;
    if (text == plan.text) return;
    plan = FaultPlan{};
    plan.text = text;
    if (text.empty()) return;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string entry = text.substr(start, end - start);
        FaultEntry parsed{};
        if (!parse_entry(entry, parsed)) {
            report_malformed(
                "DREVIK_HOST_FAULT", text,
                "malformed entry " + quoted(entry) +
                    " (expected KIND:DEVICE:N, KIND fail, hang, corrupt or miss, DEVICE 0 to 63, N from 1)");
            plan.valid = false;
            plan.entries.clear();
            return;
        }
        plan.entries.push_back(parsed);
        start = end + 1;
    }
}

Fault planned(Fault kind, int device, long count) REQUIRES(plan_mutex) {
    for (const FaultEntry& entry : plan.entries) {
        if (entry.kind == kind && entry.device == device && entry.count == count) return kind;
    }
    return Fault::none;
}

}  // namespace

bool fault_plan_is_valid() {
    MutexLock lock(plan_mutex);
    refresh_plan();
    return plan.valid;
}

Fault next_search_launch_fault(int device) {
    MutexLock lock(plan_mutex);
    refresh_plan();
    const long count = ++plan.search_launches[device];
    const Fault fail = planned(Fault::fail, device, count);
    return fail != Fault::none ? fail : planned(Fault::hang, device, count);
}

bool next_search_launch_misses(int device) {
    MutexLock lock(plan_mutex);
    refresh_plan();
    const long next = plan.search_launches[device] + 1;
    for (const FaultEntry& entry : plan.entries) {
        if (entry.kind == Fault::miss && entry.device == device && next >= entry.count) return true;
    }
    return false;
}

bool corrupt_next_find(int device) {
    MutexLock lock(plan_mutex);
    refresh_plan();
    return planned(Fault::corrupt, device, ++plan.finds[device]) != Fault::none;
}

}  // namespace host_runtime
