#include <chrono>
#include <new>

#include "internal.h"

struct CUevent_st {
    std::chrono::steady_clock::time_point time;
    bool recorded = false;
};

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    if (event == nullptr) return cudaErrorInvalidValue;
    const cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    *event = new (std::nothrow) CUevent_st;
    return *event == nullptr ? cudaErrorMemoryAllocation : cudaSuccess;
}

// Work on the default stream is finished when its call returns, so "now" is when the stream
// reaches the event.
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    event->time = std::chrono::steady_clock::now();
    event->recorded = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    return event == nullptr ? cudaErrorInvalidResourceHandle : cudaSuccess;
}

cudaError_t cudaEventElapsedTime(float* milliseconds, cudaEvent_t start, cudaEvent_t end) {
    if (milliseconds == nullptr) return cudaErrorInvalidValue;
    if (start == nullptr || end == nullptr || !start->recorded || !end->recorded) {
        return cudaErrorInvalidResourceHandle;
    }
    *milliseconds = std::chrono::duration<float, std::milli>(end->time - start->time).count();
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    delete event;
    return cudaSuccess;
}
