#pragma once
// The stand-in's configuration: its environment variables, read once at the first call that
// needs them, or set whole by a test. An empty text stands for an unset variable.

#include <string>

namespace host_runtime {

struct HostConfig {
    std::string devices;      // DREVIK_HOST_DEVICES: how many devices to present, 0 to 64 (one if empty)
    std::string fault;        // DREVIK_HOST_FAULT: the faults to inject (faults.cpp)
    std::string simd;         // DREVIK_HOST_SIMD: a narrower vector width for launches (avx512, avx2, sse2, scalar)
    std::string trace;        // DREVIK_HOST_TRACE: the file each launch is traced to (trace.cpp)
    std::string timer_scale;  // DREVIK_HOST_TIMER_SCALE: what event times scale the time passed by (events.cpp)
};

HostConfig host_config_from_environment();
// The configuration in force.
HostConfig host_config();
// Replaces the configuration, between device calls. A fault plan that changes starts its
// counts afresh.
void set_host_config(const HostConfig& config);

}  // namespace host_runtime
