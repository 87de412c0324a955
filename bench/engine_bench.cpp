// The device's search throughput through the real search path (GpuMiner::search, one tuned
// launch per iteration) beside OpenSSL's SHA-256 compression rate on one core of the same
// machine, and their ratio per core.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gpu_miner/gpu_miner.h"

namespace {

double cores() { return std::max(1u, std::thread::hardware_concurrency()); }

GpuMiner& engine() {
    static const std::unique_ptr<GpuMiner> miner = [] {
        auto m = std::make_unique<GpuMiner>();
        const auto start = std::chrono::steady_clock::now();
        m->init(0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "start-up of device 0 (set-up and tuning): %.2f s\n", took.count());
        return m;
    }();
    return *miner;
}

// Every launch meets the all-ones share target; the first share stops the search, so each
// search is one window set-up and one launch.
void stop_on_share(const std::string&, int64_t, int32_t, void* context) {
    static_cast<std::atomic<bool>*>(context)->store(true);
}

void BM_DeviceSearch(benchmark::State& state) {
    GpuMiner& miner = engine();
    const GpuInfo info = miner.describe();
    MiningJob job;
    job.height = 1;
    job.previous_blockhash = std::string(78, '0');
    job.difficulty = INT64_MAX;
    job.share_difficulty = 1;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        SearchOutcome outcome;
        miner.search(job, stop, outcome, stop_on_share, &stop);
    }
    const double hashes = static_cast<double>(state.iterations()) * static_cast<double>(info.hashes_per_launch);
    state.counters["MH/s"] = benchmark::Counter(hashes / 1e6, benchmark::Counter::kIsRate);
    state.counters["per_core"] = benchmark::Counter(hashes / 1e6 / cores(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DeviceSearch)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// One long buffer through EVP, counted in 64-byte compressions (millions per second).
void BM_OpenSslSha256(benchmark::State& state) {
    const std::vector<unsigned char> buffer(1 << 20, 0x5a);
    unsigned char digest[32];
    for (auto _ : state) {
        EVP_Digest(buffer.data(), buffer.size(), digest, nullptr, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    const double blocks = static_cast<double>(state.iterations()) * (buffer.size() / 64);
    state.counters["per_core"] = benchmark::Counter(blocks / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OpenSslSha256)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// Keeps each benchmark's per-core rate for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto counter = run.counters.find("per_core");
            if (counter != run.counters.end()) per_core[run.run_name.function_name] = counter->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> per_core;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto search = reporter.per_core.find("BM_DeviceSearch");
    const auto openssl = reporter.per_core.find("BM_OpenSslSha256");
    if (search != reporter.per_core.end() && openssl != reporter.per_core.end()) {
        std::printf("per core: device search %.2f MH/s, OpenSSL SHA-256 %.2f M compressions/s, ratio %.3f\n",
                    search->second, openssl->second, search->second / openssl->second);
    }
    benchmark::Shutdown();
    return 0;
}
