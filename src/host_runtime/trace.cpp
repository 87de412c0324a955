// DREVIK_HOST_TRACE=FILE: one line per launch as it starts to run, "NANOSECONDS DEVICE THREADS"
// (the steady clock, CLOCK_MONOTONIC, in nanoseconds), appended with one write per line. A
// benchmark outside the process times what the engine does from it. A file that cannot be
// opened is reported once on standard error, and nothing is traced.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/console.h"
#include "internal.h"

namespace host_runtime {

namespace {

// The trace's descriptor, opened at the first launch; -1 without a trace.
int trace_descriptor() {
    static const int descriptor = [] {
        const char* path = std::getenv("DREVIK_HOST_TRACE");
        if (path == nullptr || *path == '\0') return -1;
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) console_print("DREVIK_HOST_TRACE: cannot open \"%s\": %s\n", path, std::strerror(errno));
        return fd;
    }();
    return descriptor;
}

}  // namespace

void trace_launch(int device, uint64_t threads) {
    const int fd = trace_descriptor();
    if (fd < 0) return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    char line[64];
    const int length =
        std::snprintf(line, sizeof line, "%lld %d %llu\n",
                      static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()), device,
                      static_cast<unsigned long long>(threads));
    // A trace that cannot be written only loses lines.
    if (write(fd, line, static_cast<size_t>(length)) < 0) return;
}

}  // namespace host_runtime
