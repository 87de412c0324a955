#include "app/benchmark.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/run_reporting.h"
#include "mining/dispatch.h"
#include "monitor/snapshot.h"

MiningJob benchmark_job() {
    MiningJob job;
    job.height = 1;
    job.previous_blockhash = std::string(78, '0');
    job.difficulty = 0;
    job.share_difficulty = 0;
    return job;
}

namespace {

// The benchmark's lines: `title` with the seconds `elapsed`, each GPU's and the total hash rate.
void log_benchmark_rates(const char* title, double elapsed, const MinerSnapshot& snapshot) {
    log_line("INFO", "%s (%.0fs)", title, elapsed);
    for (const GpuRate& rate : snapshot.gpus) {
        log_line("INFO", "  GPU %d: %s | %.1f MH/s", rate.device, rate.name.c_str(), rate.mhs);
    }
    log_line("INFO", "  Total: %.1f MH/s", total_mhs(snapshot.gpus));
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
    std::vector<GpuResult> results;
    std::vector<std::thread> workers;
    // Whatever fails here (a worker that cannot be started, a report), the workers already
    // running are stopped and joined below: the failure is logged and the exit status is 1.
    const bool completed = run_reporting(
        [&] {
            start_workers(env, job, results, workers);
            for (double next = start + kBenchmarkReportSeconds; next < end; next += kBenchmarkReportSeconds) {
                if (!sleep_unless_shutdown(state, next - steady_seconds())) break;
                log_benchmark_rates("Benchmark", steady_seconds() - start, take_snapshot(state));
            }
            if (state.running.load()) sleep_unless_shutdown(state, end - steady_seconds());
            // Read while the workers still search, so that the rate window ends in searching time.
            log_benchmark_rates("Benchmark result", steady_seconds() - start, take_snapshot(state));
        },
        [](const char* what) { log_line("ERROR", "Benchmark failed: %s", what); });
    state.stop.set();
    for (std::thread& worker : workers) worker.join();
    return completed ? 0 : 1;
}
