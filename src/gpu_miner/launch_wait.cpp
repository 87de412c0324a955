#include "gpu_miner/launch_wait.h"

#include <chrono>
#include <memory>
#include <vector>

#include "common/mutex.h"
#include "common/steady_clock.h"
#include "common/thread_annotations.h"

namespace {

Mutex completions_mutex;
CondVar completions_changed;

// One wait's end, as the stream's callback tells it.
struct Completion {
    bool done GUARDED_BY(completions_mutex) = false;
    cudaError_t status GUARDED_BY(completions_mutex) = cudaSuccess;
};

// The completions of waits that gave up: their callbacks may still come, or never (after a
// hang), so they are kept, reachable, for the process's life. A wait gives up only when its
// device leaves service, so there is at most one per device.
std::vector<std::unique_ptr<Completion>>* const abandoned PT_GUARDED_BY(completions_mutex) =
    new std::vector<std::unique_ptr<Completion>>;

// Runs on the runtime's callback thread. It touches the completion only under the lock, so
// that the waiter may free it as soon as it sees it done.
void on_completed(cudaStream_t /*stream*/, cudaError_t status, void* completion) {
    {
        MutexLock lock(completions_mutex);
        auto& told = *static_cast<Completion*>(completion);
        told.done = true;
        told.status = status;
    }
    completions_changed.notify_all();
}

}  // namespace

LaunchWait wait_for_queued_work(double deadline_seconds) {
    const double start = steady_seconds();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(deadline_seconds));
    auto completion = std::make_unique<Completion>();
    // Queued without the lock: a runtime call must not wait on a lock its callback thread needs.
    const cudaError_t added = cudaStreamAddCallback(nullptr, on_completed, completion.get(), 0);
    if (added != cudaSuccess) return {added, false, 0.0};
    MutexLock lock(completions_mutex);
    while (!completion->done) {
        if (!completions_changed.wait_until(completions_mutex, deadline) && !completion->done) {
            abandoned->push_back(std::move(completion));
            return {cudaSuccess, true, (steady_seconds() - start) * 1000.0};
        }
    }
    return {completion->status, false, (steady_seconds() - start) * 1000.0};
}
