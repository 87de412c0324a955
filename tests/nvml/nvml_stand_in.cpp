// A stand-in for NVIDIA's libnvidia-ml.so.1 with fixed readings for two PCI bus ids. Built in
// variants: NVML_OMIT_FAN lacks nvmlDeviceGetFanSpeed, NVML_OMIT_LOOKUP lacks the bus-id
// lookup, NVML_ERRORS answers every device query with an error.

#include <cstring>

namespace {

struct Readings {
    const char* bus_id;
    unsigned int temp_c;
    unsigned int power_mw;
    unsigned int fan_pct;
    unsigned int util_pct;
    unsigned long long mem_used;
    unsigned long long mem_total;
};

constexpr unsigned long long kMb = 1024ULL * 1024ULL;
// Only the bus-id lookup reads the devices and answers "not found".
[[maybe_unused]] const Readings kDevices[] = {
    {"0000:01:00.0", 61, 151499, 41, 97, 1536 * kMb, 8192 * kMb},
    {"0000:02:00.0", 72, 220500, 55, 88, 3072 * kMb + 5, 16384 * kMb},
};

constexpr int kSuccess = 0;
[[maybe_unused]] constexpr int kNotFound = 6;
constexpr int kUnknown = 999;

#ifdef NVML_ERRORS
constexpr bool kFailQueries = true;
#else
constexpr bool kFailQueries = false;
#endif

const Readings* readings(void* device) { return kFailQueries ? nullptr : static_cast<const Readings*>(device); }

}  // namespace

struct Utilization {
    unsigned int gpu;
    unsigned int memory;
};
struct Memory {
    unsigned long long total;
    unsigned long long free;
    unsigned long long used;
};

extern "C" {

__attribute__((visibility("default"))) int nvmlInit_v2() { return kSuccess; }
__attribute__((visibility("default"))) int nvmlShutdown() { return kSuccess; }

#ifndef NVML_OMIT_LOOKUP
__attribute__((visibility("default"))) int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, void** device) {
    for (const Readings& r : kDevices) {
        if (std::strcmp(r.bus_id, bus_id) == 0) {
            *device = const_cast<Readings*>(&r);
            return kSuccess;
        }
    }
    return kNotFound;
}
#endif

__attribute__((visibility("default"))) int nvmlDeviceGetTemperature(void* device, unsigned int sensor,
                                                                    unsigned int* value) {
    if (readings(device) == nullptr || sensor != 0) return kUnknown;
    *value = readings(device)->temp_c;
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetPowerUsage(void* device, unsigned int* milliwatts) {
    if (readings(device) == nullptr) return kUnknown;
    *milliwatts = readings(device)->power_mw;
    return kSuccess;
}

#ifndef NVML_OMIT_FAN
__attribute__((visibility("default"))) int nvmlDeviceGetFanSpeed(void* device, unsigned int* percent) {
    if (readings(device) == nullptr) return kUnknown;
    *percent = readings(device)->fan_pct;
    return kSuccess;
}
#endif

__attribute__((visibility("default"))) int nvmlDeviceGetUtilizationRates(void* device, Utilization* utilization) {
    if (readings(device) == nullptr) return kUnknown;
    utilization->gpu = readings(device)->util_pct;
    utilization->memory = 0;
    return kSuccess;
}

__attribute__((visibility("default"))) int nvmlDeviceGetMemoryInfo(void* device, Memory* memory) {
    if (readings(device) == nullptr) return kUnknown;
    memory->total = readings(device)->mem_total;
    memory->used = readings(device)->mem_used;
    memory->free = memory->total - memory->used;
    return kSuccess;
}

}  // extern "C"
