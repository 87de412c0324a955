// Auto-tuning driven by scripted kernel times: the launches it asks for and every line it prints.

#include "gpu_miner/tuning.h"
#include "support/console_capture.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace {

using Launch = std::pair<int32_t, int32_t>;  // grid, loops

struct TuningRun {
    TunedGeometry tuned;
    std::vector<Launch> launches;
    std::string output;
};

TuningRun run_tuning(int32_t device, int32_t sm_count, int32_t blocks_per_sm, std::deque<double> times) {
    TuningRun run;
    capture_console();
    run.tuned = tune_launch_geometry(device, sm_count, blocks_per_sm, [&](int32_t grid, int32_t loops) {
        run.launches.emplace_back(grid, loops);
        EXPECT_FALSE(times.empty()) << "more launches than scripted";
        if (times.empty()) return 100.0;
        const double ms = times.front();
        times.pop_front();
        return ms;
    });
    run.output = captured_console();
    EXPECT_TRUE(times.empty()) << "fewer launches than scripted";
    return run;
}

TEST(Tuning, OccupancyOneTriesOneTwoThreeAndOneAgain) {
    // 419.4 MH/s at 4 blocks, the same at 8 (a tie keeps 4), slower at 12, and the repeated
    // single block per SM wins only by being strictly faster.
    const TuningRun run = run_tuning(1, 4, 1, {7.0, 40.0, 80.0, 130.0, 30.0, 100.0});
    EXPECT_EQ(run.launches,
              (std::vector<Launch>{{4, 1024}, {4, 16384}, {8, 16384}, {12, 16384}, {4, 16384}, {4, 16384}}));
    EXPECT_EQ(run.output,
              "[GPU 1]   grid test: blks/SM=1 grid=4 -> 40.0ms (419.4 MH/s)\n"
              "[GPU 1]   grid test: blks/SM=2 grid=8 -> 80.0ms (419.4 MH/s)\n"
              "[GPU 1]   grid test: blks/SM=3 grid=12 -> 130.0ms (387.2 MH/s)\n"
              "[GPU 1]   grid test: blks/SM=1 grid=4 -> 30.0ms (559.2 MH/s)\n"
              "[GPU 1]   best grid=4, tuning loops...\n"
              "[GPU 1] Tuned: grid=4 loops=16384 kernel=100.0ms hashes/launch=16777216 est=167.8 MH/s\n");
    EXPECT_EQ(run.tuned.grid, 4);
    EXPECT_EQ(run.tuned.loops, 16384);
}

TEST(Tuning, OccupancySixteenSkipsGridsAboveSixteenPerSmSilently) {
    const TuningRun run = run_tuning(0, 2, 16, {1.0, 90.0, 80.0, 100.0});
    EXPECT_EQ(run.launches, (std::vector<Launch>{{32, 1024}, {32, 16384}, {30, 16384}, {30, 16384}}));
    EXPECT_EQ(run.output,
              "[GPU 0]   grid test: blks/SM=16 grid=32 -> 90.0ms (1491.3 MH/s)\n"
              "[GPU 0]   grid test: blks/SM=15 grid=30 -> 80.0ms (1572.9 MH/s)\n"
              "[GPU 0]   best grid=30, tuning loops...\n"
              "[GPU 0] Tuned: grid=30 loops=16384 kernel=100.0ms hashes/launch=125829120 est=1258.3 MH/s\n");
}

TEST(Tuning, EveryCandidateSkippedKeepsTheOccupancyGrid) {
    const TuningRun run = run_tuning(0, 1, 20, {1.0, 100.0});
    EXPECT_EQ(run.launches, (std::vector<Launch>{{20, 1024}, {20, 16384}}));
    EXPECT_EQ(run.output,
              "[GPU 0]   best grid=20, tuning loops...\n"
              "[GPU 0] Tuned: grid=20 loops=16384 kernel=100.0ms hashes/launch=83886080 est=838.9 MH/s\n");
}

TEST(Tuning, LoopCorrectionsTowardOneHundredMilliseconds) {
    struct Case {
        const char* name;
        std::deque<double> loop_times;  // best-grid measurement, then each correction
        std::vector<int32_t> corrected_loops;
        std::string lines;
    };
    const Case cases[] = {
        {"400 ms gives 4096 loops",
         {400.0, 100.0},
         {4096},
         "[GPU 0]   tune #1: loops=4096 -> 100.0ms\n"
         "[GPU 0] Tuned: grid=1 loops=4096 kernel=100.0ms hashes/launch=1048576 est=10.5 MH/s\n"},
        {"0.2 ms counts as 1 ms and gives the 524288 ceiling",
         {0.2, 30.0},
         {524288},
         "[GPU 0]   tune #1: loops=524288 -> 30.0ms\n"
         "[GPU 0] Tuned: grid=1 loops=524288 kernel=30.0ms hashes/launch=134217728 est=4473.9 MH/s\n"},
        {"50 ms is inside the band",
         {400.0, 50.0},
         {4096},
         "[GPU 0]   tune #1: loops=4096 -> 50.0ms\n"
         "[GPU 0] Tuned: grid=1 loops=4096 kernel=50.0ms hashes/launch=1048576 est=21.0 MH/s\n"},
        {"200 ms is inside the band",
         {400.0, 200.0},
         {4096},
         "[GPU 0]   tune #1: loops=4096 -> 200.0ms\n"
         "[GPU 0] Tuned: grid=1 loops=4096 kernel=200.0ms hashes/launch=1048576 est=5.2 MH/s\n"},
        {"a very slow launch is floored at 512 loops; 49.9 ms is outside the band",
         {40000.0, 49.9, 100.0},
         {512, 1280},
         "[GPU 0]   tune #1: loops=512 -> 49.9ms\n"
         "[GPU 0]   tune #2: loops=1280 -> 100.0ms\n"
         "[GPU 0] Tuned: grid=1 loops=1280 kernel=100.0ms hashes/launch=327680 est=3.3 MH/s\n"},
        {"the fifth correction stands whatever its time",
         {1000.0, 10.0, 1000.0, 10.0, 1000.0, 10.0},
         {1792, 17920, 1792, 17920, 1792},
         "[GPU 0]   tune #1: loops=1792 -> 10.0ms\n"
         "[GPU 0]   tune #2: loops=17920 -> 1000.0ms\n"
         "[GPU 0]   tune #3: loops=1792 -> 10.0ms\n"
         "[GPU 0]   tune #4: loops=17920 -> 1000.0ms\n"
         "[GPU 0]   tune #5: loops=1792 -> 10.0ms\n"
         "[GPU 0] Tuned: grid=1 loops=1792 kernel=10.0ms hashes/launch=458752 est=45.9 MH/s\n"},
        {"a correction that changes nothing ends tuning",
         {100.2, 20.0},
         {},
         "[GPU 0] Tuned: grid=1 loops=16384 kernel=100.2ms hashes/launch=4194304 est=41.9 MH/s\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // One SM, occupancy 1: grid tests at 1, 2, 3 and 1 block, the first the fastest.
        std::deque<double> times = {1.0, 10.0, 30.0, 40.0, 20.0};
        times.insert(times.end(), c.loop_times.begin(), c.loop_times.end());
        if (c.corrected_loops.empty()) times.pop_back();
        const TuningRun run = run_tuning(0, 1, 1, times);
        std::vector<Launch> expected_launches = {{1, 1024}, {1, 16384}, {2, 16384}, {3, 16384}, {1, 16384}, {1, 16384}};
        for (const int32_t loops : c.corrected_loops) expected_launches.emplace_back(1, loops);
        EXPECT_EQ(run.launches, expected_launches);
        const std::string grid_lines =
            "[GPU 0]   grid test: blks/SM=1 grid=1 -> 10.0ms (419.4 MH/s)\n"
            "[GPU 0]   grid test: blks/SM=2 grid=2 -> 30.0ms (279.6 MH/s)\n"
            "[GPU 0]   grid test: blks/SM=3 grid=3 -> 40.0ms (314.6 MH/s)\n"
            "[GPU 0]   grid test: blks/SM=1 grid=1 -> 20.0ms (209.7 MH/s)\n"
            "[GPU 0]   best grid=1, tuning loops...\n";
        EXPECT_EQ(run.output, grid_lines + c.lines);
        EXPECT_EQ(run.tuned.loops, c.corrected_loops.empty() ? 16384 : c.corrected_loops.back());
    }
}

}  // namespace
