#include "cuda_runtime.h"

#include <cstdio>
#include <cstring>
#include <thread>

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) return cudaErrorInvalidValue;
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device) {
    if (properties == nullptr) return cudaErrorInvalidValue;
    if (device != 0) return cudaErrorInvalidDevice;
    std::memset(properties, 0, sizeof *properties);
    std::snprintf(properties->name, sizeof properties->name, "Host CPU stand-in");
    properties->multiProcessorCount = static_cast<int>(std::thread::hardware_concurrency());
    properties->major = 8;
    properties->minor = 6;
    return cudaSuccess;
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
    }
    return "unrecognized error code";
}
