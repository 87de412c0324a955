#include "gpu_miner/gpu_miner.h"

#include <cstring>
#include <utility>

#include "gpu_miner/constant_block.h"
#include "gpu_miner/cuda_check.h"
#include "console.h"
#include "kernels/kernels.h"

namespace {

constexpr int kDefaultBlocksPerSm = 5;

}  // namespace

GpuMiner::GpuMiner(LaunchTimer timer) : launch_timer(std::move(timer)) {}

GpuMiner::~GpuMiner() { release(); }

void GpuMiner::init(int32_t ordinal) {
    device = ordinal;
    {
        std::lock_guard<std::mutex> lock(rate_lock);
        rate_window.clear();
    }
    CUDA_REQUIRE(cudaSetDevice(device));
    cudaDeviceProp properties{};
    CUDA_REQUIRE(cudaGetDeviceProperties(&properties, device));
    sm_count = properties.multiProcessorCount;
    const size_t name_length = strnlen(properties.name, sizeof name - 1);
    std::memcpy(name, properties.name, name_length);
    name[name_length] = '\0';

    int occupancy = 0;
    cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&occupancy, kernel_mine_precomp, kThreadsPerBlock, 0,
                                                           cudaOccupancyDefault);
    blocks_per_sm = occupancy > 0 ? occupancy : kDefaultBlocksPerSm;
    loops = 16384;
    grid = blocks_per_sm * sm_count;
    console_print("[GPU %d] %s: %d SMs, %d blks/SM (occupancy), grid=%d\n", device, name, sm_count,
                 blocks_per_sm, grid);

    CUDA_REQUIRE(cudaMalloc(&found_flag, sizeof(int)));
    CUDA_REQUIRE(cudaMalloc(&found_nonce, sizeof(uint64_t)));
    CUDA_REQUIRE(cudaMalloc(&found_hash, 32));
    CUDA_REQUIRE(cudaMalloc(&share_flag, sizeof(int)));
    CUDA_REQUIRE(cudaMalloc(&share_nonce, sizeof(uint64_t)));
    CUDA_REQUIRE(cudaMalloc(&share_hash, 32));
    tune();
}

void GpuMiner::tune() {
    console_print("[GPU %d] Auto-tuning v3.2.1 (target=%.0fms)...\n", device, kTargetKernelMs);
    const ConstantImage image = tuning_image();
    CUDA_OK(cudaMemcpyToSymbol(C, image.data(), sizeof image, 0, cudaMemcpyHostToDevice));
    const LaunchTimer timer =
        launch_timer ? launch_timer : [this](int32_t g, int32_t l) { return time_launch(g, l); };
    const TunedGeometry tuned = tune_launch_geometry(device, sm_count, blocks_per_sm, timer);
    grid = tuned.grid;
    loops = tuned.loops;
}

void GpuMiner::launch_search_kernel(bool precomp, uint64_t start_nonce, int32_t launch_grid, int32_t launch_loops) {
    void* args[] = {&start_nonce, &found_nonce, &found_hash, &found_flag,
                    &share_nonce, &share_hash,  &share_flag, &launch_loops};
    // The launch status is not checked: a failed launch shows in the next synchronisation.
    cudaLaunchKernel(precomp ? kernel_mine_precomp : kernel_mine_fallback, dim3(launch_grid),
                     dim3(kThreadsPerBlock), args, 0, nullptr);
}

double GpuMiner::time_launch(int32_t launch_grid, int32_t launch_loops) {
    const int zero = 0;
    CUDA_OK(cudaMemcpy(found_flag, &zero, sizeof zero, cudaMemcpyHostToDevice));
    CUDA_OK(cudaMemcpy(share_flag, &zero, sizeof zero, cudaMemcpyHostToDevice));
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    CUDA_OK(cudaEventCreate(&start));
    CUDA_OK(cudaEventCreate(&stop));
    CUDA_OK(cudaEventRecord(start, nullptr));
    launch_search_kernel(true, 0, launch_grid, launch_loops);
    CUDA_OK(cudaEventRecord(stop, nullptr));
    CUDA_OK(cudaEventSynchronize(stop));
    float elapsed_ms = 0.0f;
    CUDA_OK(cudaEventElapsedTime(&elapsed_ms, start, stop));
    CUDA_OK(cudaEventDestroy(start));
    CUDA_OK(cudaEventDestroy(stop));
    return elapsed_ms;
}

GpuInfo GpuMiner::describe() const {
    return {device, name, sm_count, grid, kThreadsPerBlock, loops, int64_t{grid} * loops * kThreadsPerBlock};
}

void GpuMiner::release() {
    cudaSetDevice(device);
    for (void* buffer : {static_cast<void*>(found_flag), static_cast<void*>(found_nonce),
                         static_cast<void*>(found_hash), static_cast<void*>(share_flag),
                         static_cast<void*>(share_nonce), static_cast<void*>(share_hash)}) {
        cudaFree(buffer);
    }
    found_flag = share_flag = nullptr;
    found_nonce = share_nonce = nullptr;
    found_hash = share_hash = nullptr;
    std::lock_guard<std::mutex> lock(rate_lock);
    rate_window.clear();
}

void GpuMiner::record_launch(uint64_t hashes) {
    const double now = steady_seconds();
    std::lock_guard<std::mutex> lock(rate_lock);
    add_rate_sample(rate_window, now, hashes);
}

double GpuMiner::hashrate() {
    std::lock_guard<std::mutex> lock(rate_lock);
    return window_hashrate(rate_window, steady_seconds());
}
