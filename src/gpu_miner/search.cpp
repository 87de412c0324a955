#include <chrono>
#include <random>

#include "gpu_miner/constant_block.h"
#include "gpu_miner/cuda_check.h"
#include "gpu_miner/gpu_miner.h"
#include "gpu_miner/preimage.h"
#include "kernels/kernels.h"

namespace {

constexpr double kWindowSeconds = 5.0;
constexpr size_t kMidstateBytes = kPrefixLength / 64 * 64;

int64_t system_nanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint64_t random_start_nonce(int32_t device) {
    std::mt19937_64 generator(static_cast<uint64_t>(system_nanoseconds()) ^
                              static_cast<uint64_t>(static_cast<int64_t>(device)));
    return generator();
}

// Microseconds since the epoch, one second ahead of the clock.
int64_t window_timestamp() { return system_nanoseconds() / 1000 + 1000000; }

// The chaining value after the prefix's two full blocks, hashed on the device.
bool compute_midstate(const std::string& prefix, Sha256State& midstate) {
    uint8_t* data = nullptr;
    uint32_t* out = nullptr;
    bool ok = CUDA_OK(cudaMalloc(&data, kMidstateBytes)) && CUDA_OK(cudaMalloc(&out, sizeof midstate)) &&
              CUDA_OK(cudaMemcpy(data, prefix.data(), kMidstateBytes, cudaMemcpyHostToDevice));
    if (ok) {
        int blocks = static_cast<int>(kMidstateBytes / 64);
        void* args[] = {&data, &blocks, &out};
        cudaLaunchKernel(kernel_midstate, dim3(1), dim3(1), args, 0, nullptr);
        ok = CUDA_OK(cudaDeviceSynchronize()) &&
             CUDA_OK(cudaMemcpy(midstate.data(), out, sizeof midstate, cudaMemcpyDeviceToHost));
    }
    cudaFree(data);
    cudaFree(out);
    return ok;
}

// A flag that cannot be read counts as clear.
bool flag_is_set(const int* flag) {
    int value = 0;
    CUDA_OK(cudaMemcpy(&value, flag, sizeof value, cudaMemcpyDeviceToHost));
    return value != 0;
}

}  // namespace

bool GpuMiner::search(const MiningJob& job, const std::atomic<bool>& stop, SearchOutcome& outcome,
                      FindCallback callback, void* context) {
    outcome.found = false;
    outcome.gpu = device;
    // Without its own device the search would drive another device's buffers.
    if (!CUDA_OK(cudaSetDevice(device))) return false;

    ConstantImage image{};
    const Target block_target = difficulty_to_target(job.difficulty);
    const bool share_mode = job.share_difficulty > 0 && job.share_difficulty < job.difficulty;
    set_targets(image, block_target, share_mode ? difficulty_to_target(job.share_difficulty) : block_target);
    uint64_t nonce = random_start_nonce(device);
    const uint64_t hashes_per_launch = uint64_t(grid) * uint64_t(loops) * kThreadsPerBlock;

    while (!stop.load()) {
        const int64_t timestamp = window_timestamp();
        MiningJob window_job = job;
        window_job.timestamp = timestamp;
        const std::string prefix = mining_prefix(window_job);
        if (!prefix_is_searchable(device, prefix.size())) return false;
        Sha256State midstate;
        // A midstate that did not come back would make every candidate of the window wrong.
        if (!compute_midstate(prefix, midstate)) return false;
        set_window(image, midstate, reinterpret_cast<const uint8_t*>(prefix.data()) + kMidstateBytes);

        const double window_start = steady_seconds();
        bool share_reported = false;
        while (steady_seconds() - window_start < kWindowSeconds && !stop.load()) {
            const bool precomp = launch_uses_precomp(nonce, hashes_per_launch);
            if (precomp) set_launch_digits(image, nonce);
            const bool check_share = share_mode && !share_reported;
            if (!upload_launch_inputs(image, check_share)) return false;
            launch_search_kernel(precomp, nonce, grid, loops);
            CUDA_OK(cudaDeviceSynchronize());
            if (flag_is_set(found_flag)) return take_block(timestamp, hashes_per_launch, outcome, callback, context);
            if (check_share && flag_is_set(share_flag)) {
                uint64_t share = 0;
                if (CUDA_OK(cudaMemcpy(&share, share_nonce, sizeof share, cudaMemcpyDeviceToHost))) {
                    if (callback != nullptr) callback(nonce_text(share), timestamp, device, context);
                    share_reported = true;
                }
            }
            record_launch(hashes_per_launch);
            nonce += hashes_per_launch;
        }
    }
    return false;
}

// A launch must not run on stale constants or a flag left set by an earlier find: that
// would report the earlier nonce again.
bool GpuMiner::upload_launch_inputs(const ConstantImage& image, bool check_share) {
    const int zero = 0;
    return CUDA_OK(copy_to_constant_block(image.data())) &&
           CUDA_OK(cudaMemcpy(found_flag, &zero, sizeof zero, cudaMemcpyHostToDevice)) &&
           (!check_share || CUDA_OK(cudaMemcpy(share_flag, &zero, sizeof zero, cudaMemcpyHostToDevice)));
}

bool GpuMiner::take_block(int64_t timestamp, uint64_t hashes_per_launch, SearchOutcome& outcome,
                          FindCallback callback, void* context) {
    uint64_t nonce = 0;
    uint8_t digest[32];
    // A find whose nonce or digest cannot be read back cannot be reported truthfully.
    if (!CUDA_OK(cudaMemcpy(&nonce, found_nonce, sizeof nonce, cudaMemcpyDeviceToHost)) ||
        !CUDA_OK(cudaMemcpy(digest, found_hash, sizeof digest, cudaMemcpyDeviceToHost))) {
        return false;
    }
    outcome.nonce = nonce_text(nonce);
    outcome.hash = block_hash_text(timestamp, digest);
    outcome.found = true;
    outcome.timestamp = timestamp;
    if (callback != nullptr) callback(outcome.nonce, timestamp, device, context);
    record_launch(hashes_per_launch);
    return true;
}
