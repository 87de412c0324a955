// Events: a record is queued on its device's default stream and reached after the work queued
// before it; queries and synchronisation read what the stream has reached.

#include <chrono>
#include <memory>
#include <new>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

using host_runtime::streams_mutex;

namespace {

struct EventState {
    int device = 0;                                  // set when the event is made, then read only
    bool timing = true;                              // set when the event is made, then read only
    int pending GUARDED_BY(streams_mutex) = 0;       // records queued, not yet reached
    bool reached GUARDED_BY(streams_mutex) = false;  // a record was reached at least once
    std::chrono::steady_clock::time_point time GUARDED_BY(streams_mutex);
};

// DREVIK_HOST_TIMER_SCALE: the factor by which event times read the time that passed (a
// positive number; 1 without it). At 0.5 start-up tuning settles on launches twice as long as
// its target, for benchmarks of what follows the launch time. A value that is not a positive
// number is reported once on standard error and ignored.
double timer_scale() {
    const std::shared_ptr<const host_runtime::Settings> in_force = host_runtime::settings();
    return host_runtime::accepted(in_force->timer_scale_error) ? in_force->timer_scale : 1.0;
}

}  // namespace

struct CUevent_st {
    std::shared_ptr<EventState> state;
};

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (event == nullptr || (flags & ~static_cast<unsigned>(cudaEventDisableTiming)) != 0) {
        return cudaErrorInvalidValue;
    }
    const cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    *event = new (std::nothrow) CUevent_st;
    if (*event == nullptr) return cudaErrorMemoryAllocation;
    (*event)->state = std::make_shared<EventState>();
    (*event)->state->device = host_runtime::current_device();
    (*event)->state->timing = (flags & cudaEventDisableTiming) == 0;
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

// The event takes the time at which the stream reaches it, after all work queued before it.
// Only the default stream records events here.
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (event == nullptr || stream != nullptr) return cudaErrorInvalidResourceHandle;
    const cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    if (event->state->device != host_runtime::current_device()) return cudaErrorInvalidResourceHandle;
    {
        MutexLock lock(streams_mutex);
        ++event->state->pending;
    }
    auto reach = [state = event->state] {
        MutexLock inner(streams_mutex);
        state->time = std::chrono::steady_clock::now();
        state->reached = true;
        --state->pending;
    };
    host_runtime::enqueue_work(event->state->device, reach, event->state->timing);
    return cudaSuccess;
}

cudaError_t cudaEventQuery(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    MutexLock lock(streams_mutex);
    const cudaError_t error = host_runtime::device_error(event->state->device);
    if (error != cudaSuccess) return error;
    return event->state->pending > 0 ? cudaErrorNotReady : cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    MutexLock lock(streams_mutex);
    while (host_runtime::device_error(event->state->device) == cudaSuccess && event->state->pending > 0) {
        host_runtime::wait_for_stream_change();
    }
    return host_runtime::device_error(event->state->device);
}

cudaError_t cudaEventElapsedTime(float* milliseconds, cudaEvent_t start, cudaEvent_t end) {
    if (milliseconds == nullptr) return cudaErrorInvalidValue;
    if (start == nullptr || end == nullptr) return cudaErrorInvalidResourceHandle;
    const double scale = timer_scale();
    MutexLock lock(streams_mutex);
    const EventState& a = *start->state;
    const EventState& b = *end->state;
    if (!a.timing || !b.timing || !a.reached || !b.reached) return cudaErrorInvalidResourceHandle;
    if (a.pending > 0 || b.pending > 0) return cudaErrorNotReady;
    *milliseconds = static_cast<float>(std::chrono::duration<double, std::milli>(b.time - a.time).count() * scale);
    return cudaSuccess;
}

// A record still queued keeps its state alive until the stream reaches it.
cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    delete event;
    return cudaSuccess;
}
