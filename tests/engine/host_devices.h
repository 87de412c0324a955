#pragma once

#include <cstdlib>
#include <string>

// Sets an environment variable of the host device for one scope, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            saved_ = old;
        }
        setenv(name, value, 1);  // NOLINT(concurrency-mt-unsafe): set between device calls, never during one
    }
    ~ScopedEnv() {
        if (had_) {
            setenv(name_.c_str(), saved_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): as above
        } else {
            unsetenv(name_.c_str());  // NOLINT(concurrency-mt-unsafe): as above
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string saved_;
};

// Makes the host device present `count` devices for one scope.
class HostDevices : public ScopedEnv {
public:
    explicit HostDevices(const char* count) : ScopedEnv("DREVIK_HOST_DEVICES", count) {}
};

// Injects the faults `plan` names (KIND:DEVICE:N,...) for one scope. A faulted device stays
// faulted for the rest of the process, so each test takes devices of its own.
class HostFaults : public ScopedEnv {
public:
    explicit HostFaults(const char* plan) : ScopedEnv("DREVIK_HOST_FAULT", plan) {}
};
