// Costs of the device-health checks: the host's re-check of one find (OpenSSL SHA-256 of the
// pre-image and the target comparison), and the watchdog's wait for a launch, woken by a
// callback the stream runs, in CPU time per second of waiting and in latency added after the
// launch ends, beside a busy wait (what a blocking synchronisation with the default device
// flags amounts to).

#include <benchmark/benchmark.h>
#include <cuda_runtime.h>
#include <openssl/evp.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "gpu_miner/find_check.h"
#include "gpu_miner/launch_wait.h"
#include "gpu_miner/preimage.h"

namespace {

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void BM_CheckFind(benchmark::State& state) {
    const std::string prefix(kPrefixLength, 'a');
    const std::string nonce = "0123456789abcdef";
    uint8_t digest[32];
    EVP_Digest((prefix + nonce).data(), kPreimageLength, digest, nullptr, EVP_sha256(), nullptr);
    Target target;
    target.fill(0xffffffffu);
    for (auto _ : state) benchmark::DoNotOptimize(check_find(prefix, nonce, digest, target));
}
BENCHMARK(BM_CheckFind)->Unit(benchmark::kMicrosecond);

std::atomic<int64_t> launch_end_ns{0};

// A launch that occupies the device for `milliseconds` without using a CPU core.
__global__ void occupy(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    launch_end_ns = steady_ns();
}

enum class WaitKind { woken, spinning };

// Arg: 0 waits to be woken by the stream's callback (the engine's wait), 1 spins on the event.
void BM_LaunchWait(benchmark::State& state) {
    constexpr int kLaunchMs = 100;
    const auto kind = static_cast<WaitKind>(state.range(0));
    cudaEvent_t done = nullptr;
    cudaEventCreateWithFlags(&done, cudaEventDisableTiming);
    double cpu = 0.0;
    double waited = 0.0;
    double late_ms = 0.0;
    for (auto _ : state) {
        int ms = kLaunchMs;
        void* args[] = {&ms};
        const double wall_start = static_cast<double>(steady_ns()) / 1e9;
        const double cpu_start = thread_cpu_seconds();
        cudaLaunchKernel(occupy, dim3(1), dim3(1), args, 0, nullptr);
        cudaEventRecord(done, nullptr);
        if (kind == WaitKind::spinning) {
            while (cudaEventQuery(done) == cudaErrorNotReady) {
            }
        } else {
            wait_for_queued_work(10.0);
        }
        const int64_t now = steady_ns();
        cpu += thread_cpu_seconds() - cpu_start;
        waited += static_cast<double>(now) / 1e9 - wall_start;
        late_ms += static_cast<double>(now - launch_end_ns.load()) / 1e6;
    }
    cudaEventDestroy(done);
    state.counters["cpu_s_per_gpu_s"] = cpu / waited;
    state.counters["late_ms"] = late_ms / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LaunchWait)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
