// The vector width that launches run threads at: the widest the CPU has, or a narrower one
// that DREVIK_HOST_SIMD names (avx512, avx2, sse2 or scalar), read at every launch so that a
// test can change it between launches. A width the CPU lacks is not taken; an unknown name is
// reported once on standard error and leaves no device (see device_count).

#include <cstdlib>
#include <optional>
#include <string>

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

// The width DREVIK_HOST_SIMD names, 0 for a name it does not know (reported); nothing when it
// is not set.
std::optional<unsigned> named_width() {
    const char* value = std::getenv("DREVIK_HOST_SIMD");
    if (value == nullptr || *value == '\0') return std::nullopt;
    const unsigned named = width_named(value);
    if (named == 0) {
        report_malformed("DREVIK_HOST_SIMD", value,
                         "unknown value " + quoted(value) + " (expected avx512, avx2, sse2 or scalar)");
    }
    return named;
}

}  // namespace

unsigned lane_width() {
    static const unsigned widest = widest_on_cpu();
    const std::optional<unsigned> named = named_width();
    return named && *named != 0 && *named < widest ? *named : widest;
}

bool lane_width_setting_is_valid() { return named_width() != 0u; }

}  // namespace host_runtime
