#include "gpu_miner/devices.h"

#include <cuda_runtime.h>

#include <utility>

std::vector<int32_t> list_usable_devices() {
    std::vector<int32_t> devices;
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) return devices;
    for (int device = 0; device < count; ++device) {
        cudaDeviceProp properties{};
        if (cudaGetDeviceProperties(&properties, device) == cudaSuccess && properties.major > 2) {
            devices.push_back(device);
        }
    }
    return devices;
}

DeviceList describe_devices() {
    DeviceList list;
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    // Having no device is a count of zero here, not a failure.
    if (status != cudaSuccess && status != cudaErrorNoDevice) list.error = cudaGetErrorString(status);
    if (status != cudaSuccess) return list;
    for (int device = 0; device < count; ++device) {
        cudaDeviceProp properties{};
        DeviceDescription description;
        description.ordinal = device;
        if (cudaGetDeviceProperties(&properties, device) == cudaSuccess) {
            description.name = properties.name;
            description.major = properties.major;
            description.minor = properties.minor;
            description.sm_count = properties.multiProcessorCount;
            description.memory_bytes = properties.totalGlobalMem;
        }
        char bus_id[32] = {};
        if (cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, device) == cudaSuccess) description.pci_bus_id = bus_id;
        list.devices.push_back(std::move(description));
    }
    return list;
}

const char* device_backend_name() { return DREVIK_DEVICE_BACKEND_NAME; }
