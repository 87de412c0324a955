#pragma once
// Waiting for queued device work without blocking for ever and without spinning a core.

#include <cuda_runtime.h>

struct LaunchWait {
    cudaError_t status = cudaSuccess;  // the event's error when the work failed
    bool timed_out = false;
    double elapsed_ms = 0.0;  // until the completion was seen
};

// Polls `event` until the work before it has completed, failed, or `deadline_seconds` have
// passed. Sleeps through the first 80% of `expected_ms`, then between polls.
LaunchWait wait_for_event(cudaEvent_t event, double expected_ms, double deadline_seconds);
