// The device's search throughput through the real search path (GpuMiner::search, about one
// tuned launch per iteration) beside OpenSSL's SHA-256 compression rate on one core of the
// same machine, and their ratio per core; and what one known-answer self-test costs. On the host device the search runs
// once at each vector width the CPU has (DREVIK_HOST_SIMD); per core is per CPU second of the process, so that other
// load on a shared machine does not count against it.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gpu_miner/gpu_miner.h"
#if defined(DREVIK_BENCH_VECTOR_WIDTHS)
#include "stand_in_config.h"
#endif

namespace {

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

GpuMiner& engine() {
    static const std::unique_ptr<GpuMiner> miner = [] {
        auto m = std::make_unique<GpuMiner>();
        m->set_health_log([](const char*, const std::string&) {});  // one self-test line per iteration
        const auto start = std::chrono::steady_clock::now();
        m->init(0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "start-up of device 0 (set-up and tuning): %.2f s\n", took.count());
        return m;
    }();
    return *miner;
}

// A share is expected eight times per launch, so almost every search is one window set-up
// and one launch, stopped by its first share (a launch runs to its end: about 1 in 3000 runs
// a second one, which the count leaves out), while a candidate passing the digest word-0 test
// stays as rare as in real mining.
void stop_on_share(const std::string&, int64_t, int32_t, void* context) { static_cast<StopFlag*>(context)->set(); }

// `simd` names the host device's vector width (empty: the device's own choice).
void BM_DeviceSearch(benchmark::State& state, [[maybe_unused]] const char* simd) {
    GpuMiner& miner = engine();  // tuned at the widest width
#if defined(DREVIK_BENCH_VECTOR_WIDTHS)
    const host_runtime::HostConfig chosen = host_runtime::host_config();
    host_runtime::HostConfig narrowed = chosen;
    narrowed.simd = simd;
    host_runtime::set_host_config(narrowed);  // no search runs while the width changes
#endif
    const GpuInfo info = miner.describe();
    MiningJob job;
    job.height = 1;
    job.previous_blockhash = std::string(78, '0');
    job.difficulty = INT64_MAX;
    job.share_difficulty = std::max<int64_t>(info.hashes_per_launch / 8, 1);
    const double cpu_start = cpu_seconds();
    for (auto _ : state) {
        StopFlag stop;
        SearchOutcome outcome;
        miner.search(job, stop, outcome, stop_on_share, &stop);
    }
    const double cpu = cpu_seconds() - cpu_start;
    const double hashes = static_cast<double>(state.iterations()) * static_cast<double>(info.hashes_per_launch);
    state.counters["MH/s"] = benchmark::Counter(hashes / 1e6, benchmark::Counter::kIsRate);
    state.counters["per_core"] = hashes / 1e6 / cpu;
#if defined(DREVIK_BENCH_VECTOR_WIDTHS)
    host_runtime::set_host_config(chosen);
#endif
}

// The self-test of a device, as before its first job and at each interval while mining: the
// midstate, four launches of kSelfTestNonces nonces and their read-backs, in real time.
void BM_SelfTest(benchmark::State& state) {
    GpuMiner& miner = engine();
    for (auto _ : state) {
        if (!miner.self_test().passed) {
            state.SkipWithError("device 0 failed its self-test");
            break;
        }
    }
    state.counters["nonces"] = static_cast<double>(kSelfTestLaunches.size() * kSelfTestNonces);
}
BENCHMARK(BM_SelfTest)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// One long buffer through EVP, counted in 64-byte compressions (millions per second).
void BM_OpenSslSha256(benchmark::State& state) {
    const std::vector<unsigned char> buffer(1 << 20, 0x5a);
    unsigned char digest[32];
    const double cpu_start = cpu_seconds();
    for (auto _ : state) {
        EVP_Digest(buffer.data(), buffer.size(), digest, nullptr, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    const double blocks = static_cast<double>(state.iterations()) * static_cast<double>(buffer.size()) / 64;
    state.counters["per_core"] = blocks / 1e6 / (cpu_seconds() - cpu_start);
}
BENCHMARK(BM_OpenSslSha256)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// Keeps each benchmark's per-core rate for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto counter = run.counters.find("per_core");
            if (counter != run.counters.end())
                per_core[run.run_name.function_name + run.run_name.args] = counter->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> per_core;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The widths the host device can run on this CPU; a GPU runs once.
    std::vector<const char*> widths = {""};
#if defined(DREVIK_BENCH_VECTOR_WIDTHS)
    widths = {"scalar"};
#if defined(__x86_64__)
    widths.push_back("sse2");
    if (__builtin_cpu_supports("avx2")) widths.push_back("avx2");
    if (__builtin_cpu_supports("avx512f")) widths.push_back("avx512");
#endif
#endif
    for (const char* simd : widths) {
        const std::string name = *simd == '\0' ? "BM_DeviceSearch" : std::string("BM_DeviceSearch/") + simd;
        benchmark::RegisterBenchmark(name.c_str(), BM_DeviceSearch, simd)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(3.0);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto openssl = reporter.per_core.find("BM_OpenSslSha256");
    for (const auto& [name, rate] : reporter.per_core) {
        if (name.rfind("BM_DeviceSearch", 0) != 0 || openssl == reporter.per_core.end()) continue;
        std::printf("per core: %s %.2f MH/s, OpenSSL SHA-256 %.2f M compressions/s, ratio %.3f\n", name.c_str(), rate,
                    openssl->second, rate / openssl->second);
    }
    benchmark::Shutdown();
    return 0;
}
