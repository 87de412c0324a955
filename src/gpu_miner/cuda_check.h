#pragma once

#include <cuda_runtime.h>

// Reports a failed runtime call on standard error as "CUDA error src/gpu_miner:LINE: text".
// Returns whether the call succeeded.
bool cuda_succeeded(cudaError_t status, int line);
// Reports like cuda_succeeded, then throws std::runtime_error with the runtime's text.
void cuda_require(cudaError_t status, int line);

#define CUDA_OK(call) cuda_succeeded((call), __LINE__)
#define CUDA_REQUIRE(call) cuda_require((call), __LINE__)
