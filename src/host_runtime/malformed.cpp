// How the stand-in reports a malformed value of one of its environment variables.

#include <map>
#include <string>

#include "common/console.h"
#include "common/console_text.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace host_runtime {

namespace {

// Longer than any well-formed value; what an operator needs to find the mistake.
constexpr size_t kShownValueBytes = 64;

Mutex reported_mutex;
std::map<std::string, std::string> reported GUARDED_BY(reported_mutex);  // variable: value reported last

}  // namespace

std::string quoted(const std::string& text) { return "\"" + console_text(text, kShownValueBytes) + "\""; }

bool accepted(const SettingError& error) {
    if (error.message.empty()) return true;
    {
        MutexLock lock(reported_mutex);
        const auto last = reported.find(error.variable);
        if (last != reported.end() && last->second == error.value) return false;
        reported[error.variable] = error.value;
    }
    console_print("%s: %s\n", error.variable, error.message.c_str());
    return false;
}

}  // namespace host_runtime
