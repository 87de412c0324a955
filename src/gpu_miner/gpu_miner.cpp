#include "gpu_miner/gpu_miner.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "gpu_miner/constant_block.h"
#include "gpu_miner/runtime_call.h"
#include "gpu_miner/launch_wait.h"
#include "gpu_miner/preimage.h"
#include "common/console.h"
#include "kernels/kernels.h"

namespace {

constexpr int kDefaultBlocksPerSm = 5;
// Generous: a tuning launch on an unknown device may take seconds.
constexpr double kTuningDeadlineSeconds = 30.0;

// Thrown between tuning launches once start-up was interrupted; caught by init.
struct TuningInterrupted {};

}  // namespace

const char* device_state_name(DeviceState state) {
    switch (state) {
        case DeviceState::idle:
            return "idle";
        case DeviceState::mining:
            return "mining";
        case DeviceState::failed:
            return "failed";
    }
    return "unknown";
}

GpuMiner::GpuMiner(LaunchTimer timer) : launch_timer(std::move(timer)) {}

GpuMiner::~GpuMiner() { release(); }

bool GpuMiner::init(int32_t ordinal, const StopFlag* interrupted) {
    interrupt_flag = interrupted;
    set_up(ordinal);
    try {
        tune();
    } catch (const TuningInterrupted&) {
        return false;
    }
    return true;
}

void GpuMiner::set_up(int32_t ordinal) {
    device = ordinal;
    {
        MutexLock lock(rate_lock);
        rate_window.clear();
        total_hashes = 0;
    }
    CUDA_SET_UP(cudaSetDevice(device));
    cudaDeviceProp properties{};
    CUDA_SET_UP(cudaGetDeviceProperties(&properties, device));
    sm_count = properties.multiProcessorCount;
    const size_t name_length = strnlen(properties.name, sizeof name - 1);
    std::memcpy(name, properties.name, name_length);
    name[name_length] = '\0';
    // Telemetry finds the device by bus id; without one it simply has none.
    if (cudaDeviceGetPCIBusId(pci_bus_id, sizeof pci_bus_id, device) != cudaSuccess) pci_bus_id[0] = '\0';

    int occupancy = 0;
    cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&occupancy, kernel_mine_precomp, kThreadsPerBlock, 0,
                                                           cudaOccupancyDefault);
    blocks_per_sm = occupancy > 0 ? occupancy : kDefaultBlocksPerSm;
    loops = kUntunedLoops;
    grid = blocks_per_sm * sm_count;
    console_print("[GPU %d] %s: %d SMs, %d blks/SM (occupancy), grid=%d\n", device, name, sm_count, blocks_per_sm,
                  grid);

    CUDA_SET_UP(cudaMalloc(&found_flag, sizeof(int)));
    CUDA_SET_UP(cudaMalloc(&found_nonce, sizeof(uint64_t)));
    CUDA_SET_UP(cudaMalloc(&found_hash, 32));
    CUDA_SET_UP(cudaMalloc(&share_flag, sizeof(int)));
    CUDA_SET_UP(cudaMalloc(&share_nonce, sizeof(uint64_t)));
    CUDA_SET_UP(cudaMalloc(&share_hash, 32));
    CUDA_SET_UP(cudaMalloc(&stop_flag, sizeof(int)));
    CUDA_SET_UP(cudaMalloc(&midstate_input, kMidstateBytes));
    CUDA_SET_UP(cudaMalloc(&midstate_output, sizeof(Sha256State)));
    // Non-blocking: the launch's stream is busy, and an abort must not wait for it.
    CUDA_SET_UP(cudaStreamCreateWithFlags(&control_stream, cudaStreamNonBlocking));
}

void GpuMiner::tune() {
    console_print("[GPU %d] Auto-tuning v3.2.1 (target=%.0fms)...\n", device, kTargetKernelMs);
    const ConstantImage image = tuning_image();
    CUDA_OK(copy_to_constant_block(image.data()));
    // A shutdown request during start-up is seen before every tuning launch.
    const LaunchTimer timer = [this](int32_t g, int32_t l) {
        if (interrupt_flag != nullptr && interrupt_flag->is_set()) throw TuningInterrupted{};
        return launch_timer ? launch_timer(g, l) : time_launch(g, l);
    };
    const TunedGeometry tuned = tune_launch_geometry(device, sm_count, blocks_per_sm, timer);
    grid = tuned.grid;
    loops = tuned.loops;
    kernel_ms = tuned.kernel_ms;
    full_launch_ms = kernel_ms;
}

const char* GpuMiner::launch_search_kernel(bool precomp, uint64_t start_nonce, int32_t launch_grid,
                                           int32_t launch_loops) {
    void* args[] = {&start_nonce, &found_nonce, &found_hash, &found_flag,  &share_nonce,
                    &share_hash,  &share_flag,  &stop_flag,  &launch_loops};
    const cudaError_t status = cudaLaunchKernel(precomp ? kernel_mine_precomp : kernel_mine_fallback, dim3(launch_grid),
                                                dim3(kThreadsPerBlock), args, 0, nullptr);
    return status == cudaSuccess ? nullptr : cudaGetErrorString(status);
}

// A tuning launch that fails or never completes leaves nothing to tune: the device is refused.
double GpuMiner::time_launch(int32_t launch_grid, int32_t launch_loops) {
    const int zero = 0;
    CUDA_OK(cudaMemcpy(found_flag, &zero, sizeof zero, cudaMemcpyHostToDevice));
    CUDA_OK(cudaMemcpy(share_flag, &zero, sizeof zero, cudaMemcpyHostToDevice));
    clear_stop_word();
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    CUDA_OK(cudaEventCreate(&start));
    CUDA_OK(cudaEventCreate(&stop));
    CUDA_OK(cudaEventRecord(start, nullptr));
    const char* launch_error = launch_search_kernel(true, 0, launch_grid, launch_loops);
    CUDA_OK(cudaEventRecord(stop, nullptr));
    const LaunchWait wait = launch_error == nullptr ? wait_for_queued_work(kTuningDeadlineSeconds) : LaunchWait{};
    float elapsed_ms = 0.0f;
    const bool completed = launch_error == nullptr && !wait.timed_out && CUDA_OK(wait.status) &&
                           CUDA_OK(cudaEventElapsedTime(&elapsed_ms, start, stop));
    CUDA_OK(cudaEventDestroy(start));
    CUDA_OK(cudaEventDestroy(stop));
    if (completed) return elapsed_ms;
    device_state = DeviceState::failed;
    if (launch_error != nullptr) throw std::runtime_error(launch_error);
    if (wait.timed_out) throw std::runtime_error("tuning launch did not complete within 30.0s");
    throw std::runtime_error(cudaGetErrorString(wait.status));
}

GpuInfo GpuMiner::describe() const {
    return {device,    name, sm_count, grid, kThreadsPerBlock, loops, int64_t{grid} * loops * kThreadsPerBlock,
            pci_bus_id};
}

void GpuMiner::release() {
    cudaSetDevice(device);
    // Its copies never wait for a launch.
    if (control_stream != nullptr) cudaStreamDestroy(control_stream);
    control_stream = nullptr;
    // A failed device may still be running a launch that uses the buffers, and freeing them
    // would wait for it for ever: they are left to the process exit.
    if (state() == DeviceState::failed) return;
    for (void* buffer :
         {static_cast<void*>(found_flag), static_cast<void*>(found_nonce), static_cast<void*>(found_hash),
          static_cast<void*>(share_flag), static_cast<void*>(share_nonce), static_cast<void*>(share_hash),
          static_cast<void*>(stop_flag), static_cast<void*>(midstate_input), static_cast<void*>(midstate_output)}) {
        cudaFree(buffer);
    }
    found_flag = share_flag = stop_flag = nullptr;
    found_nonce = share_nonce = nullptr;
    found_hash = share_hash = midstate_input = nullptr;
    midstate_output = nullptr;
    MutexLock lock(rate_lock);
    rate_window.clear();
}

void GpuMiner::record_launch(uint64_t hashes) {
    const double now = steady_seconds();
    MutexLock lock(rate_lock);
    add_rate_sample(rate_window, now, hashes);
    total_hashes += hashes;
}

uint64_t GpuMiner::hashes_counted() {
    MutexLock lock(rate_lock);
    return total_hashes;
}

double GpuMiner::hashrate() {
    MutexLock lock(rate_lock);
    return window_hashrate(rate_window, steady_seconds());
}
