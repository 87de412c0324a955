#include "telemetry/nvml_telemetry.h"

#include <dlfcn.h>

#include <cstdlib>
#include <new>

// The few NVML types and entry points used, as NVIDIA's nvml.h declares them.
namespace {

using nvmlReturn_t = int;
constexpr nvmlReturn_t NVML_SUCCESS = 0;
constexpr unsigned int NVML_TEMPERATURE_GPU = 0;
using nvmlDevice_t = struct nvmlDevice_st*;
struct nvmlUtilization_t {
    unsigned int gpu;
    unsigned int memory;
};
struct nvmlMemory_t {
    unsigned long long total;
    unsigned long long free;
    unsigned long long used;
};

constexpr unsigned long long kBytesPerMb = 1024ULL * 1024ULL;

}  // namespace

struct Nvml::Functions {
    nvmlReturn_t (*init)();
    nvmlReturn_t (*shutdown)();
    nvmlReturn_t (*handle_by_bus_id)(const char*, nvmlDevice_t*);
    nvmlReturn_t (*temperature)(nvmlDevice_t, unsigned int, unsigned int*);
    nvmlReturn_t (*power_usage)(nvmlDevice_t, unsigned int*);
    nvmlReturn_t (*fan_speed)(nvmlDevice_t, unsigned int*);
    nvmlReturn_t (*utilization)(nvmlDevice_t, nvmlUtilization_t*);
    nvmlReturn_t (*memory_info)(nvmlDevice_t, nvmlMemory_t*);
};

namespace {

template <typename F>
void bind(void* handle, const char* name, F& function) {
    function = reinterpret_cast<F>(dlsym(handle, name));
}

}  // namespace

Nvml::~Nvml() { close(); }

bool Nvml::open(const std::string& path, std::string& error) {
    close();
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : path + ": cannot be loaded";
        return false;
    }
    functions = new (std::nothrow) Functions{};
    if (functions == nullptr) {
        error = "out of memory";
        close();
        return false;
    }
    bind(handle, "nvmlInit_v2", functions->init);
    bind(handle, "nvmlShutdown", functions->shutdown);
    bind(handle, "nvmlDeviceGetHandleByPciBusId_v2", functions->handle_by_bus_id);
    bind(handle, "nvmlDeviceGetTemperature", functions->temperature);
    bind(handle, "nvmlDeviceGetPowerUsage", functions->power_usage);
    bind(handle, "nvmlDeviceGetFanSpeed", functions->fan_speed);
    bind(handle, "nvmlDeviceGetUtilizationRates", functions->utilization);
    bind(handle, "nvmlDeviceGetMemoryInfo", functions->memory_info);
    if (functions->init == nullptr || functions->handle_by_bus_id == nullptr) {
        error = path + ": nvmlInit_v2 or nvmlDeviceGetHandleByPciBusId_v2 missing";
        close();
        return false;
    }
    const nvmlReturn_t status = functions->init();
    if (status != NVML_SUCCESS) {
        error = path + ": nvmlInit_v2 returned " + std::to_string(status);
        functions->shutdown = nullptr;  // nothing to shut down
        close();
        return false;
    }
    return true;
}

void Nvml::close() {
    if (functions != nullptr && functions->shutdown != nullptr) functions->shutdown();
    delete functions;
    functions = nullptr;
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
}

GpuTelemetry Nvml::read(const std::string& pci_bus_id) const {
    GpuTelemetry telemetry;
    nvmlDevice_t device = nullptr;
    if (handle == nullptr || pci_bus_id.empty() ||
        functions->handle_by_bus_id(pci_bus_id.c_str(), &device) != NVML_SUCCESS) {
        return telemetry;
    }
    unsigned int value = 0;
    if (functions->temperature != nullptr &&
        functions->temperature(device, NVML_TEMPERATURE_GPU, &value) == NVML_SUCCESS) {
        telemetry.temp_c = static_cast<int>(value);
    }
    // Milliwatts, to the nearest watt.
    if (functions->power_usage != nullptr && functions->power_usage(device, &value) == NVML_SUCCESS) {
        telemetry.power_w = static_cast<int>((value + 500) / 1000);
    }
    if (functions->fan_speed != nullptr && functions->fan_speed(device, &value) == NVML_SUCCESS) {
        telemetry.fan_pct = static_cast<int>(value);
    }
    nvmlUtilization_t utilization{};
    if (functions->utilization != nullptr && functions->utilization(device, &utilization) == NVML_SUCCESS) {
        telemetry.util_pct = static_cast<int>(utilization.gpu);
    }
    nvmlMemory_t memory{};
    if (functions->memory_info != nullptr && functions->memory_info(device, &memory) == NVML_SUCCESS) {
        telemetry.mem_used_mb = static_cast<int>(memory.used / kBytesPerMb);
        telemetry.mem_total_mb = static_cast<int>(memory.total / kBytesPerMb);
    }
    return telemetry;
}

std::string nvml_library_path() {
    const char* path = std::getenv("DREVIK_NVML_LIBRARY");
    return path != nullptr && *path != '\0' ? path : "libnvidia-ml.so.1";
}
