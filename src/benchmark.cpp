#include "benchmark.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "common/run_reporting.h"
#include "dispatch.h"
#include "stats.h"

MiningJob benchmark_job() {
    MiningJob job;
    job.height = 1;
    job.previous_blockhash = std::string(78, '0');
    job.difficulty = 0;
    job.share_difficulty = 0;
    return job;
}

namespace {

void log_rates(MinerState& state, const char* title, double elapsed) {
    log_line("INFO", "%s (%.0fs)", title, elapsed);
    double total = 0.0;
    for (const GpuRate& rate : gpu_rates(state.gpus, state.nvml)) {
        log_line("INFO", "  GPU %d: %s | %.1f MH/s", rate.device, rate.name.c_str(), rate.mhs);
        total += rate.mhs;
    }
    log_line("INFO", "  Total: %.1f MH/s", total);
}

// Sleeps until `until` (steady seconds) or shutdown; false on shutdown.
bool sleep_until(MinerState& state, double until) EXCLUDES(state.tick_mutex) {
    const auto left = std::chrono::duration<double>(std::max(0.0, until - steady_seconds()));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(left);
    MutexLock lock(state.tick_mutex);
    while (state.running.load() && state.tick_wake.wait_until(state.tick_mutex, deadline)) {
    }
    return state.running.load();
}

}  // namespace

int run_benchmark(const MinerEnv& env, int32_t seconds) {
    MinerState& state = env.state;
    const MiningJob job = benchmark_job();
    const int slots = static_cast<int>(state.gpus.size());
    log_line("INFO", "Benchmark: %d GPU(s) for %ds, no pool; rates over the last 30s", slots, seconds);
    const double start = steady_seconds();
    const double end = start + seconds;
    state.stop.clear();
    std::vector<GpuResult> results(static_cast<size_t>(slots));
    std::vector<std::thread> workers;
    workers.reserve(results.size());
    // Whatever fails here (a worker that cannot be started, a report), the workers already
    // running are stopped and joined below: the failure is logged and the exit status is 1.
    const bool completed = run_reporting(
        [&] {
            for (int i = 0; i < slots; ++i) {
                workers.emplace_back(gpu_worker, std::cref(env), i, std::cref(job), std::ref(state.stop),
                                     std::ref(results[static_cast<size_t>(i)]));
            }
            for (double next = start + kBenchmarkReportSeconds; next < end; next += kBenchmarkReportSeconds) {
                if (!sleep_until(state, next)) break;
                log_rates(state, "Benchmark", steady_seconds() - start);
            }
            if (state.running.load()) sleep_until(state, end);
            // Read while the workers still search, so that the rate window ends in searching time.
            log_rates(state, "Benchmark result", steady_seconds() - start);
        },
        [](const char* what) { log_line("ERROR", "Benchmark failed: %s", what); });
    state.stop.set();
    for (std::thread& worker : workers) worker.join();
    return completed ? 0 : 1;
}
