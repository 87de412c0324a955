// The benchmark's threads: a worker whose search throws ends alone, logged, and the benchmark
// still reports every GPU and ends with status 0.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/benchmark.h"
#include "log_capture.h"

namespace {

TEST(Benchmark, ASearchThatThrowsEndsItsWorkerOnly) {
    MinerSettings settings;
    MinerState state;
    for (const int32_t device : {3, 1}) {
        GpuSlot slot;
        slot.device = device;
        slot.info.name = "Stand-in";
        slot.engine = std::make_unique<GpuMiner>();
        state.gpus.push_back(std::move(slot));
    }
    std::atomic<int> searches{0};
    const MinerEnv env{
        state,
        settings,
        {},
        [&](GpuSlot& slot, const MiningJob&, StopFlag& stop, SearchOutcome&, FindCallback, void*) -> bool {
            ++searches;
            if (slot.device == 3) throw std::runtime_error("device lost");
            while (!stop.is_set()) std::this_thread::yield();
            return false;
        }};
    // A shutdown already requested: the benchmark reports at once and stops its workers.
    state.running.store(false);
    LogCapture log;
    EXPECT_EQ(run_benchmark(env, 30), 0);
    EXPECT_EQ(searches.load(), 2);

    std::vector<std::string> lines = log.lines();
    const auto failed = std::find(lines.begin(), lines.end(), "ERROR GPU 3 search failed: device lost");
    ASSERT_NE(failed, lines.end());
    lines.erase(failed);
    EXPECT_EQ(lines, (std::vector<std::string>{"INFO Benchmark: 2 GPU(s) for 30s, no pool; rates over the last 30s",
                                               "INFO Benchmark result (0s)", "INFO   GPU 3: Stand-in | 0.0 MH/s",
                                               "INFO   GPU 1: Stand-in | 0.0 MH/s", "INFO   Total: 0.0 MH/s"}));
}

}  // namespace
