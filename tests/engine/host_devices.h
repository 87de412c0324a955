#pragma once

#include <cstdlib>
#include <string>

// Makes the host device present `count` devices for one scope, then restores the setting.
class HostDevices {
public:
    explicit HostDevices(const char* count) {
        if (const char* old = std::getenv("DREVIK_HOST_DEVICES")) saved = old;
        setenv("DREVIK_HOST_DEVICES", count, 1);
    }
    ~HostDevices() {
        if (saved.empty()) {
            unsetenv("DREVIK_HOST_DEVICES");
        } else {
            setenv("DREVIK_HOST_DEVICES", saved.c_str(), 1);
        }
    }
    HostDevices(const HostDevices&) = delete;
    HostDevices& operator=(const HostDevices&) = delete;

private:
    std::string saved;
};
