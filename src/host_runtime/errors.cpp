#include "cuda_runtime.h"

// The real runtime's texts, so error reports read the same on both back-ends.
const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess:
            return "no error";
        case cudaErrorInvalidValue:
            return "invalid argument";
        case cudaErrorMemoryAllocation:
            return "out of memory";
        case cudaErrorInvalidConfiguration:
            return "invalid configuration argument";
        case cudaErrorInvalidMemcpyDirection:
            return "invalid copy direction for memcpy";
        case cudaErrorNoDevice:
            return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice:
            return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle:
            return "invalid resource handle";
        case cudaErrorNotReady:
            return "device not ready";
        case cudaErrorLaunchFailure:
            return "unspecified launch failure";
    }
    return "unrecognized error code";
}
