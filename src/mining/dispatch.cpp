#include "mining/dispatch.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/run_reporting.h"
#include "pool/results.h"
#include "pool/subjects.h"
#include "common/steady_clock.h"

namespace {

// Sends a share of `job` (kept across a reconnect) and counts it.
void publish_share(const MinerEnv& env, const MiningJob& job, const std::string& nonce, int64_t timestamp) {
    env.publisher.publish_kept(kShareSubject, share_message(job, nonce, timestamp, env.settings), KeptKind::share,
                               result_msg_id(KeptKind::share, job.height, nonce));
    env.state.shares_sent.fetch_add(1);
}

void publish_block(const MinerEnv& env, const MiningJob& job, const std::string& nonce, const std::string& block_hash,
                   int64_t timestamp) {
    MiningJob found = job;
    found.timestamp = timestamp;
    found.nonce = nonce;
    found.blockhash = block_hash;
    env.publisher.publish_kept(kResultSubject, result_message(found, env.settings), KeptKind::block,
                               result_msg_id(KeptKind::block, job.height, nonce));
}

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

bool sleep_unless_shutdown(MinerState& state, double seconds) {
    const auto left = std::chrono::duration<double>(std::max(0.0, seconds));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(left);
    MutexLock lock(state.tick_mutex);
    while (state.running.load() && state.tick_wake.wait_until(state.tick_mutex, deadline)) {
    }
    return state.running.load();
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

void start_workers(const MinerEnv& env, const MiningJob& job, std::vector<GpuResult>& results,
                   std::vector<std::thread>& workers) {
    const size_t slots = env.state.gpus.size();
    results.assign(slots, GpuResult{});
    workers.reserve(slots);
    for (size_t i = 0; i < slots; ++i) {
        workers.emplace_back(gpu_worker, std::cref(env), static_cast<int>(i), std::cref(job), std::ref(env.state.stop),
                             std::ref(results[i]));
    }
}

bool mine(const MinerEnv& env, const MiningJob& job) {
    MinerState& state = env.state;
    const int slots = static_cast<int>(state.gpus.size());
    log_line("INFO", "[h=%lld] Mining on %d GPU(s)...", static_cast<long long>(job.height), gpus_in_service(state));
    const double t0 = steady_seconds();
    std::vector<GpuResult> results;
    std::vector<std::thread> workers;
    start_workers(env, job, results, workers);
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
