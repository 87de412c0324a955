#pragma once
// The host back-end's stand-in for the CUDA runtime: the subset of the runtime API the
// engine uses, implemented on CPU threads.

#include <cstddef>

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidDevice = 101,
    cudaErrorNoDevice = 100,
};

struct cudaDeviceProp {
    char name[256];
    int multiProcessorCount;
    int major;
    int minor;
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device);
const char* cudaGetErrorString(cudaError_t error);
