// Streams: queues of work, each run in order by a worker thread of its own. Every device has a
// default stream, made at its first use, where launches, events and synchronous copies go;
// cudaStreamCreateWithFlags makes further (non-blocking) streams, whose copies and callbacks
// run beside the default stream's work. One mutex (streams_mutex) guards every stream and
// event: they change a few times per launch, so it is never contended for long.

#include <deque>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "common/console.h"
#include "common/mutex.h"
#include "common/run_reporting.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace host_runtime {

Mutex streams_mutex;

}  // namespace host_runtime

using host_runtime::streams_mutex;

// The handle of a stream made by cudaStreamCreateWithFlags; the stream itself is kept with the
// others (Streams::made).
struct CUstream_st {
    int device;
};

namespace {

struct Task {
    std::function<void()> run;
    host_runtime::Fault fault = host_runtime::Fault::none;
    bool launch = false;
};

struct Stream {
    explicit Stream(int of_device) : device(of_device) {}
    const int device;
    std::deque<Task> tasks GUARDED_BY(streams_mutex);
    bool busy GUARDED_BY(streams_mutex) = false;
    bool hung GUARDED_BY(streams_mutex) = false;
    bool closing GUARDED_BY(streams_mutex) = false;
    bool last_was_timing_record GUARDED_BY(streams_mutex) = false;
    // The device's error, sticky as after a kernel fault on a GPU; kept by its default stream.
    cudaError_t error GUARDED_BY(streams_mutex) = cudaSuccess;
    std::thread worker;  // started with the stream, joined when it goes
};

// A task that throws (a launch whose set-up failed) ends as a kernel fault does: the worker
// thread lives on, and the device's error turns sticky. False when it threw.
bool run_contained(int device, const Task& task) {
    return run_reporting([&] { task.run(); },
                         [&](const char* what) { console_print("host device %d: launch failed: %s\n", device, what); });
}

class Streams {
public:
    ~Streams() EXCLUDES(streams_mutex) {
        std::vector<std::thread*> workers;
        {
            MutexLock lock(streams_mutex);
            for (auto& [device, stream] : defaults) workers.push_back(close_worker(*stream));
            for (auto& [handle, stream] : made) workers.push_back(close_worker(*stream));
        }
        changed.notify_all();
        // Without the lock, which each worker takes once more to see `closing`.
        for (std::thread* worker : workers) worker->join();
    }

    CondVar changed;

    // The default stream of `device`.
    Stream& of(int device) REQUIRES(streams_mutex) {
        std::unique_ptr<Stream>& stream = defaults[device];
        if (!stream) start(stream, device);
        return *stream;
    }

    // The stream `handle` names on the calling thread: the current device's default stream for
    // null; null for a handle that names none.
    Stream* named(cudaStream_t handle) REQUIRES(streams_mutex) {
        if (handle == nullptr) return &of(host_runtime::current_device());
        const auto found = made.find(handle);
        return found == made.end() ? nullptr : found->second.get();
    }

    void make(cudaStream_t handle) REQUIRES(streams_mutex) { start(made[handle], handle->device); }

    // Takes the stream out of the list and tells its worker to end once its queue is empty.
    std::unique_ptr<Stream> close(cudaStream_t handle) REQUIRES(streams_mutex) {
        std::unique_ptr<Stream> stream = std::move(made.at(handle));
        made.erase(handle);
        stream->closing = true;
        return stream;
    }

    static bool idle(const Stream& stream) REQUIRES(streams_mutex) {
        return !stream.hung && stream.tasks.empty() && !stream.busy;
    }

    void push(Stream& stream, Task task) REQUIRES(streams_mutex) {
        stream.tasks.push_back(std::move(task));
        changed.notify_all();
    }

private:
    static std::thread* close_worker(Stream& stream) REQUIRES(streams_mutex) {
        stream.closing = true;
        return &stream.worker;
    }

    void start(std::unique_ptr<Stream>& slot, int device) REQUIRES(streams_mutex) {
        slot = std::make_unique<Stream>(device);
        slot->worker = std::thread([this, s = slot.get()] { work(*s); });
    }

    void work(Stream& stream) EXCLUDES(streams_mutex) {
        MutexLock lock(streams_mutex);
        for (;;) {
            while (!stream.closing && (stream.hung || stream.tasks.empty())) changed.wait(streams_mutex);
            if (stream.closing && (stream.hung || stream.tasks.empty())) return;
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
            const bool ran = run_contained(stream.device, task);
            lock.lock();
            if (!ran) stream.error = cudaErrorLaunchFailure;
            stream.busy = false;
            changed.notify_all();
        }
    }

    std::map<int, std::unique_ptr<Stream>> defaults GUARDED_BY(streams_mutex);
    std::map<cudaStream_t, std::unique_ptr<Stream>> made GUARDED_BY(streams_mutex);
};

Streams& streams() {
    static Streams instance;
    return instance;
}

void wait_until_idle(Streams& all, const Stream& stream) REQUIRES(streams_mutex) {
    while (!Streams::idle(stream)) all.changed.wait(streams_mutex);
}

}  // namespace

namespace host_runtime {

void enqueue_launch(int device, bool search_launch, std::function<void()> run) {
    const Fault fault = search_launch ? next_search_launch_fault(device) : Fault::none;
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    Stream& stream = all.of(device);
    stream.last_was_timing_record = false;
    all.push(stream, {std::move(run), fault, true});
}

void enqueue_work(int device, std::function<void()> run, bool timing_record) {
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    Stream& stream = all.of(device);
    stream.last_was_timing_record = timing_record;
    all.push(stream, {std::move(run), Fault::none, false});
}

bool follows_timing_record(int device) {
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    return all.of(device).last_was_timing_record;
}

cudaError_t device_error(int device) { return streams().of(device).error; }

void wait_for_stream_change() { streams().changed.wait(streams_mutex); }

cudaError_t drain(int device) {
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    Stream& stream = all.of(device);
    wait_until_idle(all, stream);
    return stream.error;
}

cudaError_t enqueue_on_stream(cudaStream_t stream, std::function<void()> run) {
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    Stream* named = all.named(stream);
    if (named == nullptr) return cudaErrorInvalidResourceHandle;
    const cudaError_t status = device_error(named->device);
    if (status != cudaSuccess) return status;
    all.push(*named, {std::move(run), Fault::none, false});
    return cudaSuccess;
}

}  // namespace host_runtime

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
    if (stream == nullptr || flags != cudaStreamNonBlocking) return cudaErrorInvalidValue;
    const cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    *stream = new (std::nothrow) CUstream_st{host_runtime::current_device()};
    if (*stream == nullptr) return cudaErrorMemoryAllocation;
    MutexLock lock(streams_mutex);
    streams().make(*stream);
    return cudaSuccess;
}

// Waits for the work queued on the stream, then ends its worker.
cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    if (stream == nullptr) return cudaErrorInvalidResourceHandle;
    Streams& all = streams();
    std::unique_ptr<Stream> closed;
    {
        MutexLock lock(streams_mutex);
        Stream* named = all.named(stream);
        if (named == nullptr) return cudaErrorInvalidResourceHandle;
        wait_until_idle(all, *named);
        closed = all.close(stream);
        all.changed.notify_all();
    }
    closed->worker.join();
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
    const cudaError_t status = host_runtime::current_device_status();
    return status != cudaSuccess ? status : host_runtime::drain(host_runtime::current_device());
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    if (stream == nullptr && host_runtime::current_device_status() != cudaSuccess) {
        return host_runtime::current_device_status();
    }
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    const Stream* named = all.named(stream);
    if (named == nullptr) return cudaErrorInvalidResourceHandle;
    wait_until_idle(all, *named);
    return host_runtime::device_error(named->device);
}

cudaError_t cudaStreamAddCallback(cudaStream_t stream, cudaStreamCallback_t callback, void* user_data,
                                  unsigned int flags) {
    if (callback == nullptr || flags != 0) return cudaErrorInvalidValue;
    if (stream == nullptr && host_runtime::current_device_status() != cudaSuccess) {
        return host_runtime::current_device_status();
    }
    Streams& all = streams();
    MutexLock lock(streams_mutex);
    Stream* named = all.named(stream);
    if (named == nullptr) return cudaErrorInvalidResourceHandle;
    const int device = named->device;
    all.push(*named, {[stream, callback, user_data, device] {
                          cudaError_t status = cudaSuccess;
                          {
                              MutexLock inner(streams_mutex);
                              status = host_runtime::device_error(device);
                          }
                          callback(stream, status, user_data);
                      },
                      host_runtime::Fault::none, false});
    return cudaSuccess;
}
