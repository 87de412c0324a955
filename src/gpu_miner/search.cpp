#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "gpu_miner/constant_block.h"
#include "gpu_miner/runtime_call.h"
#include "gpu_miner/find_check.h"
#include "gpu_miner/gpu_miner.h"
#include "gpu_miner/launch_wait.h"
#include "gpu_miner/preimage.h"
#include "kernels/kernels.h"

namespace {

constexpr double kWindowSeconds = 5.0;
// The watchdog's deadline for one launch: this many tuned launch times, and at least this long.
constexpr double kWatchdogLaunchTimes = 10.0;
constexpr double kWatchdogMinSeconds = 5.0;

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

const char* launch_error(cudaError_t status) { return status == cudaSuccess ? nullptr : cudaGetErrorString(status); }

}  // namespace

bool GpuMiner::search(const MiningJob& job, StopFlag& stop, SearchOutcome& outcome, FindCallback callback,
                      void* context) {
    outcome.found = false;
    outcome.gpu = device;
    if (state() == DeviceState::failed) return false;
    // Without its own device the search would drive another device's buffers.
    if (!CUDA_OK(cudaSetDevice(device))) return false;
    // Taken before the flag is first read: from here on, setting it also aborts the launch.
    const StopFlag::Watch watch(stop, [this] { abort_launch(); });
    // Also when the search throws (a digest that cannot be made): the device is idle again,
    // unless taken out of service meanwhile.
    struct EndSearch {
        GpuMiner& miner;
        ~EndSearch() {
            DeviceState mining = DeviceState::mining;
            miner.device_state.compare_exchange_strong(mining, DeviceState::idle);
        }
    } end_search{*this};
    device_state = DeviceState::mining;
    return search_windows(job, stop, outcome, callback, context);
}

bool GpuMiner::search_windows(const MiningJob& job, const StopFlag& stop, SearchOutcome& outcome, FindCallback callback,
                              void* context) {
    ConstantImage image{};
    const Target block_target = difficulty_to_target(job.difficulty);
    const bool share_mode = job.share_difficulty > 0 && job.share_difficulty < job.difficulty;
    const Target share_target = share_mode ? difficulty_to_target(job.share_difficulty) : block_target;
    set_targets(image, block_target, share_target);
    uint64_t nonce = random_start_nonce(device);
    const uint64_t hashes_per_launch = uint64_t(grid) * uint64_t(loops) * kThreadsPerBlock;

    while (!stop.is_set()) {
        if (self_test_due() && !self_test().passed) return false;
        const int64_t timestamp = window_timestamp();
        MiningJob window_job = job;
        window_job.timestamp = timestamp;
        const std::string prefix = mining_prefix(window_job);
        const std::string unsearchable = prefix_fault(prefix.size());
        if (!unsearchable.empty()) {
            report(Fault::unsearchable_job, unsearchable);
            return false;
        }
        Sha256State midstate;
        // A midstate that did not come back would make every candidate of the window wrong.
        if (!compute_midstate(prefix, midstate)) return false;
        set_window(image, midstate, reinterpret_cast<const uint8_t*>(prefix.data()) + kMidstateBytes);

        const double window_start = steady_seconds();
        bool share_reported = false;
        while (steady_seconds() - window_start < kWindowSeconds) {
            const bool precomp = launch_uses_precomp(nonce, hashes_per_launch);
            if (precomp) set_launch_digits(image, nonce);
            const bool check_share = share_mode && !share_reported;
            if (!upload_launch_inputs(image, check_share)) return false;
            // Read after the stop word was cleared: a stop set later lands after the clearing
            // and ends the launch.
            if (stop.is_set()) return false;
            if (!launched(launch_search_kernel(precomp, nonce, grid, loops))) return false;
            // A find in an aborted launch is taken as in any other.
            const uint64_t hashed = hashed_in_launch(hashes_per_launch);
            std::string found_nonce_text;
            uint8_t digest[32];
            if (flag_is_set(found_flag)) {
                if (verified_find("block", found_nonce, found_hash, prefix, block_target, found_nonce_text, digest)) {
                    outcome.nonce = found_nonce_text;
                    outcome.hash = block_hash_text(timestamp, digest);
                    outcome.found = true;
                    outcome.timestamp = timestamp;
                    if (callback != nullptr) callback(outcome.nonce, timestamp, device, context);
                    record_launch(hashed);
                    return true;
                }
            } else if (check_share && flag_is_set(share_flag) &&
                       verified_find("share", share_nonce, share_hash, prefix, share_target, found_nonce_text,
                                     digest)) {
                if (callback != nullptr) callback(found_nonce_text, timestamp, device, context);
                share_reported = true;
            }
            record_launch(hashed);
            nonce += hashes_per_launch;
        }
    }
    return false;
}

// The chaining value after the prefix's two full blocks, hashed on the device.
bool GpuMiner::compute_midstate(const std::string& prefix, Sha256State& midstate) {
    int blocks = static_cast<int>(kMidstateBytes / sha256::kBlockBytes);
    void* args[] = {&midstate_input, &blocks, &midstate_output};
    return CUDA_OK(cudaMemcpy(midstate_input, prefix.data(), kMidstateBytes, cudaMemcpyHostToDevice)) &&
           launched(launch_error(cudaLaunchKernel(kernel_midstate, dim3(1), dim3(1), args, 0, nullptr))) &&
           CUDA_OK(cudaMemcpy(midstate.data(), midstate_output, sizeof midstate, cudaMemcpyDeviceToHost));
}

// Waits for the launch under the watchdog: the deadline is ten tuned launch times and never
// under five seconds.
bool GpuMiner::launched(const char* error) {
    if (error != nullptr) {
        report(Fault::out_of_service, std::string("launch failed: ") + error);
        return false;
    }
    const double deadline = std::max(kWatchdogMinSeconds, kWatchdogLaunchTimes * kernel_ms / 1000.0);
    const LaunchWait wait = wait_for_queued_work(deadline);
    if (wait.timed_out) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "launch did not complete within %.1fs", deadline);
        report(Fault::out_of_service, reason);
        return false;
    }
    if (wait.status != cudaSuccess) {
        report(Fault::out_of_service, std::string("launch failed: ") + cudaGetErrorString(wait.status));
        return false;
    }
    last_launch_ms = wait.elapsed_ms;
    return true;
}

// Ends the running launch at its threads' next poll, from any thread (the stop flag's watch).
// The copy goes on the control stream, which no launch holds up. A copy refused by a device
// that has just failed is not reported: the launch's wait reports the failure.
void GpuMiner::abort_launch() {
    static const int aborted = kStopAborted;
    if (state() == DeviceState::failed) return;
    (void)cudaMemcpyAsync(stop_flag, &aborted, sizeof aborted, cudaMemcpyHostToDevice, control_stream);
}

// Through the control stream, after any abort queued there before, and landed when it returns.
bool GpuMiner::clear_stop_word() {
    static const int running = 0;
    return CUDA_OK(cudaMemcpyAsync(stop_flag, &running, sizeof running, cudaMemcpyHostToDevice, control_stream)) &&
           CUDA_OK(cudaStreamSynchronize(control_stream));
}

// What the latest search launch hashed: all of it, unless an abort ended it; then the share of
// the device's latest full launch that its time makes, at most all (the threads do not count
// their progress: on the way out that would cost the candidate loop). A stop word that cannot
// be read counts as no abort.
bool GpuMiner::launch_aborted() {
    int stop_word = 0;
    return CUDA_OK(cudaMemcpy(&stop_word, stop_flag, sizeof stop_word, cudaMemcpyDeviceToHost)) &&
           stop_word == kStopAborted;
}

uint64_t GpuMiner::hashed_in_launch(uint64_t hashes_per_launch) {
    int stop_word = 0;
    if (!CUDA_OK(cudaMemcpy(&stop_word, stop_flag, sizeof stop_word, cudaMemcpyDeviceToHost))) return hashes_per_launch;
    if (stop_word == 0) full_launch_ms = last_launch_ms;
    if (stop_word != kStopAborted) return hashes_per_launch;
    const double share = full_launch_ms > 0.0 ? std::min(1.0, last_launch_ms / full_launch_ms) : 1.0;
    return static_cast<uint64_t>(static_cast<double>(hashes_per_launch) * share);
}

bool GpuMiner::flag_is_set(const int* flag) {
    int value = 0;
    CUDA_OK(cudaMemcpy(&value, flag, sizeof value, cudaMemcpyDeviceToHost));
    return value != 0;
}

// A launch must not run on stale constants or a flag left set by an earlier find (that would
// report the earlier nonce again), nor start stopped by an earlier launch's find or abort.
bool GpuMiner::upload_launch_inputs(const ConstantImage& image, bool check_share) {
    const int zero = 0;
    return CUDA_OK(copy_to_constant_block(image.data())) &&
           CUDA_OK(cudaMemcpy(found_flag, &zero, sizeof zero, cudaMemcpyHostToDevice)) &&
           (!check_share || CUDA_OK(cudaMemcpy(share_flag, &zero, sizeof zero, cudaMemcpyHostToDevice))) &&
           clear_stop_word();
}

// Reads a find back and hashes it again on the host. A find that cannot be read is dropped; one
// that does not verify is a hardware error: counted, logged, never reported.
bool GpuMiner::verified_find(const char* kind, const uint64_t* nonce_buffer, const uint8_t* hash_buffer,
                             const std::string& prefix, const Target& target, std::string& nonce, uint8_t digest[32]) {
    uint64_t value = 0;
    if (!CUDA_OK(cudaMemcpy(&value, nonce_buffer, sizeof value, cudaMemcpyDeviceToHost)) ||
        !CUDA_OK(cudaMemcpy(digest, hash_buffer, 32, cudaMemcpyDeviceToHost))) {
        return false;
    }
    nonce = nonce_text(value);
    const FindCheck check = check_find(prefix, nonce, digest, target);
    if (check == FindCheck::valid) return true;
    report(Fault::hardware_error, std::string(kind) + " nonce=" + nonce + " rejected (" + find_check_text(check) + ")");
    return false;
}
