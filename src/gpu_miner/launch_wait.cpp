#include "gpu_miner/launch_wait.h"

#include <chrono>
#include <cstdint>
#include <map>

#include "common/mutex.h"
#include "common/steady_clock.h"
#include "common/thread_annotations.h"

namespace {

Mutex completions_mutex;
CondVar completions_changed;

// The callbacks of one device's default stream, which run in the order they were queued.
struct Completions {
    uint64_t queued GUARDED_BY(completions_mutex) = 0;
    uint64_t done GUARDED_BY(completions_mutex) = 0;
    cudaError_t status GUARDED_BY(completions_mutex) = cudaSuccess;  // sticky, as the device's error
};

// Never freed: a callback may come after the wait that queued it gave up (a launch past its
// deadline), even after its engine is gone.
std::map<int, Completions>* const completions PT_GUARDED_BY(completions_mutex) = new std::map<int, Completions>;

void on_completed(cudaStream_t /*stream*/, cudaError_t status, void* device_completions) {
    auto& of_device = *static_cast<Completions*>(device_completions);
    {
        MutexLock lock(completions_mutex);
        ++of_device.done;
        if (status != cudaSuccess) of_device.status = status;
    }
    completions_changed.notify_all();
}

}  // namespace

LaunchWait wait_for_queued_work(int device, double deadline_seconds) {
    const double start = steady_seconds();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(deadline_seconds));
    MutexLock lock(completions_mutex);
    Completions& of_device = (*completions)[device];
    // Queued under the lock, so that the callbacks' order is the order of `queued`.
    const cudaError_t added = cudaStreamAddCallback(nullptr, on_completed, &of_device, 0);
    if (added != cudaSuccess) return {added, false, 0.0};
    const uint64_t mine = ++of_device.queued;
    while (of_device.done < mine) {
        if (!completions_changed.wait_until(completions_mutex, deadline) && of_device.done < mine) {
            return {cudaSuccess, true, (steady_seconds() - start) * 1000.0};
        }
    }
    return {of_device.status, false, (steady_seconds() - start) * 1000.0};
}
