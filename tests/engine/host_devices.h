#pragma once

#include <string>
#include <utility>

#if __has_include("stand_in_config.h")  // the host back-end's stand-in
#include "stand_in_config.h"

// Changes one setting of the host device for one scope, then restores it.
class HostSetting {
public:
    HostSetting(std::string host_runtime::HostConfig::*setting, std::string value)
        : setting_(setting), saved_(host_runtime::host_config().*setting) {
        set(std::move(value));
    }
    ~HostSetting() { set(saved_); }
    HostSetting(const HostSetting&) = delete;
    HostSetting& operator=(const HostSetting&) = delete;

private:
    void set(std::string value) {
        host_runtime::HostConfig config = host_runtime::host_config();
        config.*setting_ = std::move(value);
        host_runtime::set_host_config(config);
    }

    std::string host_runtime::HostConfig::*setting_;
    std::string saved_;
};

// Makes the host device present `count` devices for one scope.
class HostDevices : public HostSetting {
public:
    explicit HostDevices(const char* count) : HostSetting(&host_runtime::HostConfig::devices, count) {}
};

// Injects the faults `plan` names (KIND:DEVICE:N,...) for one scope. A faulted device stays
// faulted for the rest of the process, so each test takes devices of its own.
class HostFaults : public HostSetting {
public:
    explicit HostFaults(const char* plan) : HostSetting(&host_runtime::HostConfig::fault, plan) {}
};

// Runs launches at the vector width `simd` names (avx512, avx2, sse2, scalar) for one scope.
class HostSimd : public HostSetting {
public:
    explicit HostSimd(const std::string& simd) : HostSetting(&host_runtime::HostConfig::simd, simd) {}
};
#else
// A GPU's runtime takes none of these settings: the tests that rely on them are skipped there.
struct HostDevices {
    explicit HostDevices(const char* /*count*/) {}
};
struct HostFaults {
    explicit HostFaults(const char* /*plan*/) {}
};
struct HostSimd {
    explicit HostSimd(const std::string& /*simd*/) {}
};
#endif
