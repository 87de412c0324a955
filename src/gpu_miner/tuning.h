#pragma once
// Auto-tuning of the launch geometry toward 100 ms search launches.

#include <cstdint>
#include <functional>

// Milliseconds that one kernel_mine_precomp launch of `grid` blocks and `loops` iterations takes.
using LaunchTimer = std::function<double(int32_t grid, int32_t loops)>;

struct TunedGeometry {
    int32_t grid;
    int32_t loops;
    double kernel_ms;
};

inline constexpr double kTargetKernelMs = 100.0;
// Loops per launch before tuning: the grid tests run with them and the loop tuning starts there.
inline constexpr int32_t kUntunedLoops = 16384;

// Everything after the tuning banner: the warm-up launch, the grid tests around the
// occupancy, the best-grid measurement and up to five loop corrections, with their lines.
TunedGeometry tune_launch_geometry(int32_t device, int32_t sm_count, int32_t blocks_per_sm,
                                   const LaunchTimer& time_launch);
