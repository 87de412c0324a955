// DREVIK_HOST_TRACE=FILE: one line per launch as it starts to run, "NANOSECONDS DEVICE THREADS"
// (the steady clock, CLOCK_MONOTONIC, in nanoseconds), appended with one write per line, so
// that a benchmark or a test sees what the engine launches and when. A file that cannot be
// opened is reported on standard error (once while the value stays the same), and nothing is
// traced.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "common/console.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"
#include "internal.h"

namespace host_runtime {

void trace_launch(int device, uint64_t threads) {
    const std::shared_ptr<const Settings> in_force = settings();
    const char* path = in_force->given.trace.c_str();
    if (*path == '\0') return;
    const UniqueFd trace(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!trace) {
        static Mutex reported_mutex;
        static std::string reported GUARDED_BY(reported_mutex);
        MutexLock lock(reported_mutex);
        if (reported != path) {
            reported = path;
            console_print("DREVIK_HOST_TRACE: cannot open \"%s\": %s\n", path,
                          std::generic_category().message(errno).c_str());
        }
        return;
    }
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    char line[64];
    const int length =
        std::snprintf(line, sizeof line, "%lld %d %llu\n",
                      static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()), device,
                      static_cast<unsigned long long>(threads));
    // A trace that cannot be written only loses lines.
    if (write(trace.get(), line, static_cast<size_t>(length)) < 0) return;
}

}  // namespace host_runtime
