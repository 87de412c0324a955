#include "dispatch.h"

#include <functional>
#include <thread>
#include <vector>

#include "log.h"
#include "results.h"
#include "common/run_reporting.h"
#include "common/steady_clock.h"

namespace {

// What the search's find callback needs to publish a share.
struct FindContext {
    const MinerEnv& env;
    const MiningJob& job;
};

void report_find(const std::string& nonce, int64_t timestamp, int32_t /*device*/, void* context) {
    const FindContext& find = *static_cast<const FindContext*>(context);
    publish_share(find.env, find.job, nonce, timestamp);
}

}  // namespace

int gpus_in_service(const MinerState& state) {
    int count = 0;
    for (const GpuSlot& slot : state.gpus) {
        if (slot.engine && slot.engine->state() != DeviceState::failed) ++count;
    }
    return count;
}

void gpu_worker(const MinerEnv& env, int slot, const MiningJob& job, StopFlag& stop, GpuResult& result) {
    result.found = false;
    GpuSlot& gpu = env.state.gpus[static_cast<size_t>(slot)];
    if (gpu.engine == nullptr) return;
    FindContext find{env, job};
    SearchOutcome outcome;
    // The worker's thread ends here: nothing the search throws may end the process.
    run_reporting(
        [&] {
            if (env.search(gpu, job, stop, outcome, report_find, &find)) {
                result.found = true;
                result.outcome = outcome;
                stop.set();
            }
        },
        [&](const char* what) { log_line("ERROR", "GPU %d search failed: %s", gpu.device, what); });
}

void request_shutdown(MinerState& state) {
    state.running.store(false);
    {
        // Under the job lock: the main thread reads `running` and clears the stop flag under it
        // as it takes a job, and a stop set between the two would be lost. Taking it also orders
        // the flags before a waiter's next check, so no wake-up is lost.
        MutexLock lock(state.job_mutex);
        state.stop.set();
    }
    state.job_ready.notify_all();
    { MutexLock lock(state.tick_mutex); }
    state.tick_wake.notify_all();
}

std::optional<MiningJob> take_job(MinerState& state) {
    MutexLock lock(state.job_mutex);
    while (state.running.load() && !state.pending_job) state.job_ready.wait(state.job_mutex);
    if (!state.running.load()) return std::nullopt;
    std::optional<MiningJob> job = std::move(state.pending_job);
    state.pending_job.reset();
    state.mining_prev_hash = job->previous_blockhash;
    state.mining_height.store(job->height);
    // Cleared under the lock: a job accepted after the unlock sets it again and interrupts
    // the search about to start.
    state.stop.clear();
    return job;
}

bool mine(const MinerEnv& env, const MiningJob& job) {
    MinerState& state = env.state;
    const int slots = static_cast<int>(state.gpus.size());
    log_line("INFO", "[h=%lld] Mining on %d GPU(s)...", static_cast<long long>(job.height), gpus_in_service(state));
    const double t0 = steady_seconds();
    std::vector<GpuResult> results(static_cast<size_t>(slots));
    std::vector<std::thread> workers;
    workers.reserve(results.size());
    for (int i = 0; i < slots; ++i) {
        workers.emplace_back(gpu_worker, std::cref(env), i, std::cref(job), std::ref(state.stop),
                             std::ref(results[static_cast<size_t>(i)]));
    }
    for (std::thread& worker : workers) worker.join();
    const double elapsed = steady_seconds() - t0;
    for (const GpuResult& result : results) {
        if (!result.found) continue;
        state.jobs_found.fetch_add(1);
        log_line("INFO", "[h=%lld] FOUND by GPU %d! nonce=%.16s... hash=%.16s... (%.1fs)",
                 static_cast<long long>(job.height), result.outcome.gpu, result.outcome.nonce.c_str(),
                 result.outcome.hash.c_str(), elapsed);
        publish_block(env, job, result.outcome.nonce, result.outcome.hash, result.outcome.timestamp);
        break;  // at most one block per job: the first find in slot order
    }
    return slots == 0 || gpus_in_service(state) > 0;
}
