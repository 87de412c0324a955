#include "gpu_miner/tuning.h"

#include <algorithm>

#include "common/console.h"
#include "kernels/launch_shape.h"

namespace {

constexpr int32_t kWarmUpLoops = 1024;
constexpr int64_t kMinLoops = 512;
constexpr int64_t kMaxLoops = 524288;
// Tuned loops are whole multiples of this.
constexpr int64_t kLoopsStep = 256;
constexpr int kMaxCorrections = 5;

int32_t grid_search(int32_t device, int32_t sm_count, int32_t blocks_per_sm, const LaunchTimer& time_launch) {
    const int32_t candidates[] = {blocks_per_sm, blocks_per_sm + 1, blocks_per_sm + 2, std::max(blocks_per_sm - 1, 1)};
    int32_t best_grid = blocks_per_sm * sm_count;
    double best_rate = 0.0;
    for (const int32_t blocks : candidates) {
        const int32_t grid = blocks * sm_count;
        if (grid < sm_count || grid > 16 * sm_count) continue;
        const double ms = std::max(time_launch(grid, kUntunedLoops), 1.0);
        const double rate = static_cast<double>(int64_t{grid} * kThreadsPerBlock * kUntunedLoops) / ms / 1000.0;
        console_print("[GPU %d]   grid test: blks/SM=%d grid=%d -> %.1fms (%.1f MH/s)\n", device, blocks, grid, ms,
                      rate);
        if (rate > best_rate) best_grid = grid;
        best_rate = std::max(best_rate, rate);
    }
    return best_grid;
}

// The proportional correction toward the target, kept inside [kMinLoops, kMaxLoops] and
// rounded up to a whole multiple of kLoopsStep.
int32_t corrected_loops(int32_t loops, double kernel_ms) {
    int64_t next = static_cast<int64_t>(static_cast<double>(loops) * kTargetKernelMs / kernel_ms);
    next = std::clamp(next, kMinLoops, kMaxLoops);
    return static_cast<int32_t>((next + kLoopsStep - 1) / kLoopsStep * kLoopsStep);
}

}  // namespace

TunedGeometry tune_launch_geometry(int32_t device, int32_t sm_count, int32_t blocks_per_sm,
                                   const LaunchTimer& time_launch) {
    time_launch(blocks_per_sm * sm_count, kWarmUpLoops);

    const int32_t grid = grid_search(device, sm_count, blocks_per_sm, time_launch);
    double ms = time_launch(grid, kUntunedLoops);
    console_print("[GPU %d]   best grid=%d, tuning loops...\n", device, grid);

    int32_t loops = kUntunedLoops;
    for (int corrections = 0;;) {
        ms = std::max(ms, 1.0);
        const int32_t next = corrected_loops(loops, ms);
        if (next == loops) break;
        ms = time_launch(grid, next);
        ++corrections;
        console_print("[GPU %d]   tune #%d: loops=%d -> %.1fms\n", device, corrections, next, ms);
        loops = next;
        if ((ms >= 50.0 && ms <= 200.0) || corrections == kMaxCorrections) break;
    }

    const int64_t hashes = int64_t{grid} * loops * kThreadsPerBlock;
    console_print("[GPU %d] Tuned: grid=%d loops=%d kernel=%.1fms hashes/launch=%lld est=%.1f MH/s\n", device, grid,
                  loops, ms, static_cast<long long>(hashes), static_cast<double>(hashes) / ms / 1000.0);
    return {grid, loops, ms};
}
