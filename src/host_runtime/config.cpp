// The configuration, worked out once when it is read or set: what the device calls then use
// is a snapshot of it, not the environment.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "stand_in_config.h"
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

bool parse_number(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool parse_fault(const std::string& entry, FaultEntry& parsed) {
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

void parse_devices(const std::string& count, Settings& settings) {
    if (count.empty()) return;
    if (count.size() > 2 || count.find_first_not_of("0123456789") != std::string::npos || std::stoi(count) > 64) {
        settings.devices_error = {"DREVIK_HOST_DEVICES", count,
                                  "malformed value " + quoted(count) + " (expected 0 to 64)"};
        return;
    }
    settings.devices = std::stoi(count);
}

void parse_simd(const std::string& name, Settings& settings) {
    static const unsigned widest = widest_on_cpu();
    settings.lane_width = widest;
    if (name.empty()) return;
    const unsigned named = width_named(name);
    if (named == 0) {
        settings.simd_error = {"DREVIK_HOST_SIMD", name,
                               "unknown value " + quoted(name) + " (expected avx512, avx2, sse2 or scalar)"};
    } else if (named < widest) {
        settings.lane_width = named;
    }
}

void parse_faults(const std::string& text, Settings& settings) {
    if (text.empty()) return;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string entry = text.substr(start, end - start);
        FaultEntry parsed{};
        if (!parse_fault(entry, parsed)) {
            settings.fault_error = {
                "DREVIK_HOST_FAULT", text,
                "malformed entry " + quoted(entry) +
                    " (expected KIND:DEVICE:N, KIND fail, hang, corrupt or miss, DEVICE 0 to 63, N from 1)"};
            settings.faults.clear();
            return;
        }
        settings.faults.push_back(parsed);
        start = end + 1;
    }
}

// Shown as given, unlike the other settings' values: only benchmarks set it.
void parse_timer_scale(const std::string& text, Settings& settings) {
    if (text.empty()) return;
    char* end = nullptr;
    const double scale = std::strtod(text.c_str(), &end);
    if (*end == '\0' && std::isfinite(scale) && scale > 0.0) {
        settings.timer_scale = scale;
    } else {
        settings.timer_scale_error = {"DREVIK_HOST_TIMER_SCALE", text, "\"" + text + "\" is not a positive number"};
    }
}

std::shared_ptr<const Settings> parse(const HostConfig& config) {
    auto settings = std::make_shared<Settings>();
    settings->given = config;
    parse_devices(config.devices, *settings);
    parse_simd(config.simd, *settings);
    parse_faults(config.fault, *settings);
    parse_timer_scale(config.timer_scale, *settings);
    return settings;
}

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "" : value;
}

Mutex config_mutex;
std::shared_ptr<const Settings> in_force GUARDED_BY(config_mutex);

}  // namespace

HostConfig host_config_from_environment() {
    return {variable("DREVIK_HOST_DEVICES"), variable("DREVIK_HOST_FAULT"), variable("DREVIK_HOST_SIMD"),
            variable("DREVIK_HOST_TRACE"), variable("DREVIK_HOST_TIMER_SCALE")};
}

std::shared_ptr<const Settings> settings() {
    MutexLock lock(config_mutex);
    if (!in_force) in_force = parse(host_config_from_environment());
    return in_force;
}

HostConfig host_config() { return settings()->given; }

void set_host_config(const HostConfig& config) {
    std::shared_ptr<const Settings> parsed = parse(config);
    MutexLock lock(config_mutex);
    in_force = std::move(parsed);
}

}  // namespace host_runtime
