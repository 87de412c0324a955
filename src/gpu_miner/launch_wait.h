#pragma once
// Waiting for queued device work without blocking for ever and without spinning a core.

#include <cuda_runtime.h>

struct LaunchWait {
    cudaError_t status = cudaSuccess;  // the device's error when the work failed
    bool timed_out = false;
    double elapsed_ms = 0.0;  // until the completion was seen
};

// Waits until the work queued so far on the current device's default stream has completed or
// failed, or `deadline_seconds` have passed. The stream wakes the wait through a host callback
// the moment it gets there: no core polls, and nothing sleeps past the end.
LaunchWait wait_for_queued_work(double deadline_seconds);
