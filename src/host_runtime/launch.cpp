#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "internal.h"

namespace {

// One launch at a time over all devices: they share the CPU and the constant variables.
std::mutex launch_mutex;

bool valid_shape(dim3 grid, dim3 block) {
    const uint64_t threads = uint64_t{block.x} * block.y * block.z;
    return grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 0x7fffffffu && grid.y <= 65535 &&
           grid.z <= 65535 && threads >= 1 && threads <= 1024 && block.z <= 64;
}

}  // namespace

namespace host_runtime {

namespace {

void run_grid(int device, dim3 grid, dim3 block, void (*thread_body)(const void* call), const void* call) {
    std::lock_guard<std::mutex> lock(launch_mutex);
    install_symbol_images(device);

    const uint64_t block_count = uint64_t{grid.x} * grid.y * grid.z;
    std::atomic<uint64_t> next_block{0};
    // Each CPU thread takes whole blocks and runs their threads one after another.
    auto run_blocks = [&] {
        gridDim = grid;
        blockDim = block;
        for (uint64_t b = next_block++; b < block_count; b = next_block++) {
            blockIdx = {static_cast<unsigned>(b % grid.x), static_cast<unsigned>(b / grid.x % grid.y),
                        static_cast<unsigned>(b / grid.x / grid.y)};
            for (unsigned z = 0; z < block.z; ++z) {
                for (unsigned y = 0; y < block.y; ++y) {
                    for (unsigned x = 0; x < block.x; ++x) {
                        threadIdx = {x, y, z};
                        thread_body(call);
                    }
                }
            }
        }
    };
    const uint64_t helpers = std::min<uint64_t>(std::max(1u, std::thread::hardware_concurrency()), block_count) - 1;
    std::vector<std::thread> pool;
    for (uint64_t i = 0; i < helpers; ++i) {
        try {
            pool.emplace_back(run_blocks);
        } catch (const std::system_error&) {
            break;  // fewer CPU threads only make the launch slower
        }
    }
    run_blocks();
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
    enqueue_launch(device, search_launch, [device, grid, block, thread_body, call = std::move(call)] {
        run_grid(device, grid, block, thread_body, call.get());
    });
    return cudaSuccess;
}

}  // namespace host_runtime
