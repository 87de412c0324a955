#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "internal.h"

namespace {

bool valid_shape(dim3 grid, dim3 block) {
    const uint64_t threads = uint64_t{block.x} * block.y * block.z;
    return grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 0x7fffffffu && grid.y <= 65535 && grid.z <= 65535 &&
           threads >= 1 && threads <= 1024 && block.z <= 64;
}

}  // namespace

namespace host_runtime {

namespace {

// Runs on `device`'s stream worker, which holds the device's copies of the constant symbols.
void run_grid(int device, dim3 grid, dim3 block, bool finds_lost, void (*thread_body)(const void* call),
              const void* call) {
    trace_launch(device, uint64_t{grid.x} * grid.y * grid.z * block.x * block.y * block.z);
    const std::vector<DeviceSymbol> symbols = symbols_written_on(device);

    // The work is handed out in lane groups, up to `width` consecutive threads of a block row,
    // so that every core stays busy to the end of the launch whatever the grid: a core that
    // finishes takes the next group, of any block.
    const unsigned width = settings()->lane_width;
    const uint64_t groups_per_row = (block.x + width - 1) / width;
    const uint64_t rows_per_block = uint64_t{block.y} * block.z;
    const uint64_t group_count = uint64_t{grid.x} * grid.y * grid.z * rows_per_block * groups_per_row;
    std::atomic<uint64_t> next_group{0};
    auto run_groups = [&] {
        host_finds_lost = finds_lost;
        gridDim = grid;
        blockDim = block;
        host_lane_width = width;
        for (uint64_t g = next_group++; g < group_count; g = next_group++) {
            const uint64_t row = g / groups_per_row;
            const uint64_t b = row / rows_per_block;
            blockIdx = {static_cast<unsigned>(b % grid.x), static_cast<unsigned>(b / grid.x % grid.y),
                        static_cast<unsigned>(b / grid.x / grid.y)};
            const unsigned y = static_cast<unsigned>(row % rows_per_block % block.y);
            const unsigned z = static_cast<unsigned>(row % rows_per_block / block.y);
            const unsigned first = static_cast<unsigned>(g % groups_per_row) * width;
            const unsigned end = std::min(first + width, block.x);
            for (unsigned x = first; x < end; x += std::clamp(host_lanes_taken, 1u, end - x)) {
                threadIdx = {x, y, z};
                host_lanes_offered = end - x;
                host_lanes_taken = 1;
                thread_body(call);
            }
        }
    };
    const uint64_t helpers = std::min<uint64_t>(std::max(1u, std::thread::hardware_concurrency()), group_count) - 1;
    // Kernel code throws nothing (device code has no exceptions), so a helper needs no catch;
    // what can throw here does so before any helper has started (the stream's worker catches).
    std::vector<std::thread> pool;
    pool.reserve(helpers);
    for (uint64_t i = 0; i < helpers; ++i) {
        try {
            pool.emplace_back([&] {
                for (const DeviceSymbol& symbol : symbols)
                    std::memcpy(symbol.instance(), symbol.device_copy, symbol.size);
                run_groups();
            });
        } catch (const std::system_error&) {
            break;  // fewer CPU threads only make the launch slower
        }
    }
    run_groups();
    for (std::thread& t : pool) t.join();
}

}  // namespace

cudaError_t enqueue_grid(dim3 grid, dim3 block, size_t dynamic_shared_bytes, void (*thread_body)(const void* call),
                         std::shared_ptr<const void> call) {
    if (!valid_shape(grid, block) || dynamic_shared_bytes != 0) return cudaErrorInvalidConfiguration;
    const cudaError_t status = current_device_status();
    if (status != cudaSuccess) return status;
    const int device = current_device();
    const bool many_threads = uint64_t{grid.x} * grid.y * grid.z * block.x * block.y * block.z > 1;
    const bool search_launch = many_threads && !follows_timing_record(device);
    const bool finds_lost = search_launch && next_search_launch_misses(device);
    enqueue_launch(device, search_launch, [device, grid, block, finds_lost, thread_body, call = std::move(call)] {
        run_grid(device, grid, block, finds_lost, thread_body, call.get());
    });
    return cudaSuccess;
}

}  // namespace host_runtime
