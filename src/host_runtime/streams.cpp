// The default stream of each device: a queue run in order by one worker thread per device,
// and the events recorded on it. One mutex (streams_mutex) guards every stream and event: they
// change a few times per launch, so it is never contended for long.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "common/console.h"
#include "internal.h"

namespace {

Mutex streams_mutex;

struct EventState {
    int device = 0;                                  // set when the event is made, then read only
    bool timing = true;                              // set when the event is made, then read only
    int pending GUARDED_BY(streams_mutex) = 0;       // records queued, not yet reached
    bool reached GUARDED_BY(streams_mutex) = false;  // a record was reached at least once
    std::chrono::steady_clock::time_point time GUARDED_BY(streams_mutex);
};

struct Task {
    std::function<void()> run;
    host_runtime::Fault fault = host_runtime::Fault::none;
    bool launch = false;
};

struct Stream {
    std::deque<Task> tasks GUARDED_BY(streams_mutex);
    bool busy GUARDED_BY(streams_mutex) = false;
    bool hung GUARDED_BY(streams_mutex) = false;
    bool last_was_timing_record GUARDED_BY(streams_mutex) = false;
    // Sticky, as after a kernel fault on a GPU.
    cudaError_t error GUARDED_BY(streams_mutex) = cudaSuccess;
    std::thread worker;  // started with the stream, joined at exit
};

// A task that throws (a launch whose set-up failed) ends as a kernel fault does: the worker
// thread lives on, and the device's error turns sticky. False when it threw.
bool run_contained(int device, const Task& task) {
    try {
        task.run();
        return true;
    } catch (const std::exception& error) {
        console_print("host device %d: launch failed: %s\n", device, error.what());
    } catch (...) {
        console_print("host device %d: launch failed: unknown error\n", device);
    }
    return false;
}

class Streams {
public:
    ~Streams() EXCLUDES(streams_mutex) {
        std::vector<std::thread*> workers;
        {
            MutexLock lock(streams_mutex);
            closing = true;
            for (auto& [device, stream] : streams) workers.push_back(&stream->worker);
        }
        changed.notify_all();
        // Without the lock, which each worker takes once more to see `closing`.
        for (std::thread* worker : workers) worker->join();
    }

    CondVar changed;

    Stream& of(int device) REQUIRES(streams_mutex) {
        std::unique_ptr<Stream>& stream = streams[device];
        if (!stream) {
            stream = std::make_unique<Stream>();
            stream->worker = std::thread([this, device, s = stream.get()] { work(device, *s); });
        }
        return *stream;
    }

    static bool idle(const Stream& stream) REQUIRES(streams_mutex) {
        return !stream.hung && stream.tasks.empty() && !stream.busy;
    }

private:
    void work(int device, Stream& stream) EXCLUDES(streams_mutex) {
        MutexLock lock(streams_mutex);
        for (;;) {
            while (!closing && (stream.hung || stream.tasks.empty())) changed.wait(streams_mutex);
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
            const bool ran = run_contained(device, task);
            lock.lock();
            if (!ran) stream.error = cudaErrorLaunchFailure;
            stream.busy = false;
            changed.notify_all();
        }
    }

    bool closing GUARDED_BY(streams_mutex) = false;
    std::map<int, std::unique_ptr<Stream>> streams GUARDED_BY(streams_mutex);
};

Streams& streams() {
    static Streams instance;
    return instance;
}

// DREVIK_HOST_TIMER_SCALE: the factor by which event times read the time that passed (a
// positive number; 1 without it). At 0.5 start-up tuning settles on launches twice as long as
// its target, for benchmarks of what follows the launch time. Read at every call; a value that
// is not a positive number is reported once on standard error and ignored.
double timer_scale() {
    const char* value = std::getenv("DREVIK_HOST_TIMER_SCALE");
    if (value == nullptr || *value == '\0') return 1.0;
    char* end = nullptr;
    const double scale = std::strtod(value, &end);
    if (*end == '\0' && std::isfinite(scale) && scale > 0.0) return scale;
    static Mutex reported_mutex;
    static std::string reported GUARDED_BY(reported_mutex);
    MutexLock lock(reported_mutex);
    if (reported != value) {
        reported = value;
        console_print("DREVIK_HOST_TIMER_SCALE: \"%s\" is not a positive number\n", value);
    }
    return 1.0;
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
        MutexLock lock(streams_mutex);
        Stream& stream = all.of(device);
        stream.tasks.push_back({std::move(run), fault, true});
        stream.last_was_timing_record = false;
    }
    all.changed.notify_all();
}

bool follows_timing_record(int device) {
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    return all.of(device).last_was_timing_record;
}

cudaError_t drain(int device) {
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    Stream& stream = all.of(device);
    while (!Streams::idle(stream)) all.changed.wait(streams_mutex);
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
        MutexLock lock(streams_mutex);
        Stream& stream = all.of(event->state->device);
        ++event->state->pending;
        auto reach = [state = event->state] {
            MutexLock inner(streams_mutex);
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
    MutexLock lock(streams_mutex);
    const Stream& stream = all.of(event->state->device);
    if (stream.error != cudaSuccess) return stream.error;
    return event->state->pending > 0 ? cudaErrorNotReady : cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (event == nullptr) return cudaErrorInvalidResourceHandle;
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    const Stream& stream = all.of(event->state->device);
    while (stream.error == cudaSuccess && event->state->pending > 0) all.changed.wait(streams_mutex);
    return stream.error;
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
