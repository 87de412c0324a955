#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "internal.h"

namespace {

thread_local int selected_device = 0;

int cpu_cores() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

// The device's memory is the machine's.
size_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    return pages > 0 && page_size > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page_size) : 0;
}

}  // namespace

namespace host_runtime {

// One device unless DREVIK_HOST_DEVICES holds a count from 0 to 64. A malformed count,
// DREVIK_HOST_SIMD or DREVIK_HOST_FAULT leaves no device, so that start-up fails rather than
// run on what the operator did not ask for.
int device_count() {
    const std::shared_ptr<const Settings> in_force = settings();
    if (!accepted(in_force->fault_error) || !accepted(in_force->simd_error) || !accepted(in_force->devices_error)) {
        return 0;
    }
    return in_force->devices;
}

int current_device() { return selected_device; }

cudaError_t current_device_status() {
    const int count = device_count();
    if (count == 0) return cudaErrorNoDevice;
    return selected_device < count ? cudaSuccess : cudaErrorInvalidDevice;
}

// The whole CPU is one multiprocessor that holds one block fewer than it has cores: start-up
// tuning then tries one, two and three fewer/more blocks than cores (a few seconds in all),
// and settles on one block per core.
cudaError_t occupancy(int* blocks, int block_size, size_t dynamic_shared_bytes) {
    if (blocks == nullptr || block_size < 1 || block_size > 1024 || dynamic_shared_bytes != 0) {
        return cudaErrorInvalidValue;
    }
    const cudaError_t status = current_device_status();
    if (status != cudaSuccess) return status;
    *blocks = std::clamp(cpu_cores() - 1, 1, 15);
    return cudaSuccess;
}

}  // namespace host_runtime

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) return cudaErrorInvalidValue;
    *count = host_runtime::device_count();
    return *count == 0 ? cudaErrorNoDevice : cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device) {
    if (properties == nullptr) return cudaErrorInvalidValue;
    const int count = host_runtime::device_count();
    if (count == 0) return cudaErrorNoDevice;
    if (device < 0 || device >= count) return cudaErrorInvalidDevice;
    std::memset(properties, 0, sizeof *properties);
    std::snprintf(properties->name, sizeof properties->name, "Host CPU stand-in (%d threads)", cpu_cores());
    properties->totalGlobalMem = physical_memory();
    properties->multiProcessorCount = 1;
    properties->major = 8;
    properties->minor = 6;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    const int count = host_runtime::device_count();
    if (count == 0) return cudaErrorNoDevice;
    if (device < 0 || device >= count) return cudaErrorInvalidDevice;
    selected_device = device;
    return cudaSuccess;
}

// Each device on a bus of its own, numbered from 1 as a PCI slot would be.
cudaError_t cudaDeviceGetPCIBusId(char* pci_bus_id, int length, int device) {
    const int count = host_runtime::device_count();
    if (count == 0) return cudaErrorNoDevice;
    if (device < 0 || device >= count) return cudaErrorInvalidDevice;
    if (pci_bus_id == nullptr || length < 13) return cudaErrorInvalidValue;
    std::snprintf(pci_bus_id, static_cast<size_t>(length), "0000:%02x:00.0", device + 1);
    return cudaSuccess;
}
