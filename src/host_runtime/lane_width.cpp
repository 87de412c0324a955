// The vector width that launches run threads at: the widest the CPU has, or a narrower one
// that DREVIK_HOST_SIMD names (avx512, avx2, sse2 or scalar), read at every launch so that a
// test can change it between launches. A width the CPU lacks is not taken; an unknown name is
// reported once on standard error and ignored.

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/console.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace host_runtime {

namespace {

unsigned widest_on_cpu() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) return 16;
    if (__builtin_cpu_supports("avx2")) return 8;
    return 4;  // SSE2 is part of x86-64
#else
    return 1;
#endif
}

// 0 for an unknown name.
unsigned width_named(const std::string& name) {
    if (name == "avx512") return 16;
    if (name == "avx2") return 8;
    if (name == "sse2") return 4;
    if (name == "scalar") return 1;
    return 0;
}

}  // namespace

unsigned lane_width() {
    static const unsigned widest = widest_on_cpu();
    const char* value = std::getenv("DREVIK_HOST_SIMD");
    if (value == nullptr || *value == '\0') return widest;
    const unsigned named = width_named(value);
    if (named == 0) {
        static Mutex reported_mutex;
        static std::string reported GUARDED_BY(reported_mutex);
        MutexLock lock(reported_mutex);
        if (reported != value) {
            reported = value;
            console_print("DREVIK_HOST_SIMD: unknown value \"%s\" (expected avx512, avx2, sse2 or scalar)\n", value);
        }
        return widest;
    }
    return named < widest ? named : widest;
}

}  // namespace host_runtime
