// The whole device code is this one translation unit, built without relocatable device
// code: the kernels reach C without a device link, and the linked program keeps the PTX
// that nvcc emits beside the machine code, for GPUs newer than any listed architecture.

#include "kernels/kernels.h"

#include "kernels/device_constants.cuh"
#include "kernels/midstate.cuh"
#include "kernels/search_kernels.cuh"

cudaError_t copy_to_constant_block(const uint32_t* words) {
    return cudaMemcpyToSymbol(C, words, sizeof C, 0, cudaMemcpyHostToDevice);
}
