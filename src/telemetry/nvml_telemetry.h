#pragma once
// GPU telemetry through NVML, loaded at run time so that the miner runs (with zeros) where the
// NVIDIA driver's library is missing, and builds without NVIDIA's headers.

#include <string>

struct GpuTelemetry {
    int temp_c = 0;
    int power_w = 0;
    int fan_pct = 0;
    int util_pct = 0;
    int mem_used_mb = 0;
    int mem_total_mb = 0;
};

class Nvml {
public:
    Nvml() = default;
    ~Nvml();
    Nvml(const Nvml&) = delete;
    Nvml& operator=(const Nvml&) = delete;

    // Loads the library at `path` and initialises it. False, with the reason in `error`, when
    // the library or one of its two essential functions is missing or initialisation fails.
    bool open(const std::string& path, std::string& error);
    bool is_open() const { return handle != nullptr; }
    // The readings of the device on `pci_bus_id`; each one NVML cannot give stays 0.
    GpuTelemetry read(const std::string& pci_bus_id) const;

private:
    void close();

    void* handle = nullptr;
    struct Functions;
    Functions* functions = nullptr;
};

// "libnvidia-ml.so.1", or the file DREVIK_NVML_LIBRARY names.
std::string nvml_library_path();
