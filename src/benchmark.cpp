#include "benchmark.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "miner.h"
#include "miner_state.h"
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

void log_rates(const char* title, double elapsed) {
    log_line("INFO", "%s (%.0fs)", title, elapsed);
    double total = 0.0;
    for (const GpuRate& rate : gpu_rates(g_state.gpus, g_state.nvml)) {
        log_line("INFO", "  GPU %d: %s | %.1f MH/s", rate.device, rate.name.c_str(), rate.mhs);
        total += rate.mhs;
    }
    log_line("INFO", "  Total: %.1f MH/s", total);
}

// Sleeps until `until` (steady seconds) or shutdown; false on shutdown.
bool sleep_until(double until) {
    std::unique_lock<std::mutex> lock(g_state.tick_mutex);
    const auto left = std::chrono::duration<double>(std::max(0.0, until - steady_seconds()));
    return !g_state.tick_wake.wait_for(lock, left, [] { return !g_state.running.load(); });
}

}  // namespace

int run_benchmark(int32_t seconds) {
    const MiningJob job = benchmark_job();
    const int slots = static_cast<int>(g_state.gpus.size());
    log_line("INFO", "Benchmark: %d GPU(s) for %ds, no pool; rates over the last 30s", slots, seconds);
    const double start = steady_seconds();
    const double end = start + seconds;
    g_state.stop.store(false);
    std::vector<GpuResult> results(static_cast<size_t>(slots));
    std::vector<std::thread> workers;
    for (int i = 0; i < slots; ++i) {
        workers.emplace_back(gpu_worker, i, std::cref(job), std::ref(g_state.stop), std::ref(results[i]));
    }
    for (double next = start + kBenchmarkReportSeconds; next < end; next += kBenchmarkReportSeconds) {
        if (!sleep_until(next)) break;
        log_rates("Benchmark", steady_seconds() - start);
    }
    if (g_state.running.load()) sleep_until(end);
    // Read while the workers still search, so that the rate window ends in searching time.
    log_rates("Benchmark result", steady_seconds() - start);
    g_state.stop.store(true);
    for (std::thread& worker : workers) worker.join();
    return 0;
}
