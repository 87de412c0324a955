#include "gpu_miner/cuda_check.h"

#include <stdexcept>

#include "common/console.h"

bool cuda_succeeded(cudaError_t status, int line) {
    if (status == cudaSuccess) return true;
    console_print("CUDA error %s:%d: %s\n", "src/gpu_miner", line, cudaGetErrorString(status));
    return false;
}

void cuda_require(cudaError_t status, int line) {
    if (!cuda_succeeded(status, line)) throw std::runtime_error(cudaGetErrorString(status));
}
