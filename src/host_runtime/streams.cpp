// The default stream of each device: a queue run in order by one worker thread per device,
// and the events recorded on it. One mutex guards every stream and event: they change a few
// times per launch, so it is never contended for long.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "internal.h"

namespace {

struct EventState {
    int device = 0;
    bool timing = true;
    int pending = 0;       // records queued, not yet reached
    bool reached = false;  // a record was reached at least once
    std::chrono::steady_clock::time_point time;
};

struct Task {
    std::function<void()> run;
    host_runtime::Fault fault = host_runtime::Fault::none;
    bool launch = false;
};

struct Stream {
    std::deque<Task> tasks;
    bool busy = false;
    bool hung = false;
    bool last_was_timing_record = false;
    cudaError_t error = cudaSuccess;  // sticky, as after a kernel fault on a GPU
    std::thread worker;
};

class Streams {
public:
    ~Streams() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        changed.notify_all();
        for (auto& [device, stream] : streams) stream->worker.join();
    }

    std::mutex mutex;
    std::condition_variable changed;

    // The caller holds `mutex`.
    Stream& of(int device) {
        std::unique_ptr<Stream>& stream = streams[device];
        if (!stream) {
            stream = std::make_unique<Stream>();
            stream->worker = std::thread([this, s = stream.get()] { work(*s); });
        }
        return *stream;
    }

    bool idle(const Stream& stream) const { return !stream.hung && stream.tasks.empty() && !stream.busy; }

private:
    void work(Stream& stream) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return closing || (!stream.hung && !stream.tasks.empty()); });
            if (closing) return;
            Task task = std::move(stream.tasks.front());
            stream.tasks.pop_front();
            if (task.fault == host_runtime::Fault::hang) {
                stream.hung = true;  // nothing queued after it ever runs
                continue;
            }
            if (task.fault == host_runtime::Fault::fail) stream.error = cudaErrorLaunchFailure;
            if (task.launch && stream.error != cudaSuccess) {
                changed.notify_all();
                continue;  // a faulted device runs no more kernels
            }
            stream.busy = true;
            lock.unlock();
            task.run();
            lock.lock();
            stream.busy = false;
            changed.notify_all();
        }
    }

    bool closing = false;
    std::map<int, std::unique_ptr<Stream>> streams;
};

Streams& streams() {
    static Streams instance;
    return instance;
}

}  // namespace

struct CUevent_st {
    std::shared_ptr<EventState> state;
};

namespace host_runtime {

void enqueue_launch(int device, bool search_launch, std::function<void()> run) {
    const Fault fault = search_launch ? next_search_launch_fault(device) : Fault::none;
    Streams& all = streams();
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        Stream& stream = all.of(device);
        stream.tasks.push_back({std::move(run), fault, true});
        stream.last_was_timing_record = false;
    }
    all.changed.notify_all();
}

bool follows_timing_record(int device) {
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    return all.of(device).last_was_timing_record;
}

cudaError_t drain(int device) {
    Streams& all = streams();
    std::unique_lock<std::mutex> lock(all.mutex);
    Stream& stream = all.of(device);
    all.changed.wait(lock, [&] { return all.idle(stream); });
    return stream.error;
}

}  // namespace host_runtime

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
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    const cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    if (event->state->device != host_runtime::current_device()) return cudaErrorInvalidResourceHandle;
    Streams& all = streams();
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        Stream& stream = all.of(event->state->device);
        ++event->state->pending;
        auto reach = [&all, state = event->state] {
            std::lock_guard<std::mutex> inner(all.mutex);
            state->time = std::chrono::steady_clock::now();
            state->reached = true;
            --state->pending;
        };
        stream.tasks.push_back({reach, host_runtime::Fault::none, false});
        stream.last_was_timing_record = event->state->timing;
    }
    all.changed.notify_all();
    return cudaSuccess;
}

cudaError_t cudaEventQuery(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    const Stream& stream = all.of(event->state->device);
    if (stream.error != cudaSuccess) return stream.error;
    return event->state->pending > 0 ? cudaErrorNotReady : cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    Streams& all = streams();
    std::unique_lock<std::mutex> lock(all.mutex);
    const Stream& stream = all.of(event->state->device);
    all.changed.wait(lock, [&] { return stream.error != cudaSuccess || event->state->pending == 0; });
    return stream.error;
}

cudaError_t cudaEventElapsedTime(float* milliseconds, cudaEvent_t start, cudaEvent_t end) {
    if (milliseconds == nullptr) return cudaErrorInvalidValue;
    if (start == nullptr || end == nullptr) return cudaErrorInvalidResourceHandle;
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    const EventState& a = *start->state;
    const EventState& b = *end->state;
    if (!a.timing || !b.timing || !a.reached || !b.reached) return cudaErrorInvalidResourceHandle;
    if (a.pending > 0 || b.pending > 0) return cudaErrorNotReady;
    *milliseconds = std::chrono::duration<float, std::milli>(b.time - a.time).count();
    return cudaSuccess;
}

// A record still queued keeps its state alive until the stream reaches it.
cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    delete event;
    return cudaSuccess;
}
