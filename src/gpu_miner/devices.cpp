#include "gpu_miner/devices.h"

#include <cuda_runtime.h>

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
