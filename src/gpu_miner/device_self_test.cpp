// GpuMiner's self-test: the known-answer launches (self_test.h) run on its device.

#include <cuda_runtime.h>

#include <cstdio>

#include "common/steady_clock.h"
#include "gpu_miner/constant_block.h"
#include "gpu_miner/gpu_miner.h"
#include "gpu_miner/self_test.h"

namespace {

std::string runtime_fault(cudaError_t status) { return std::string("runtime error: ") + cudaGetErrorString(status); }

// Reads one result slot; a flag of 0 leaves the nonce and digest unread.
cudaError_t read_slot(const int* flag, const uint64_t* nonce, const uint8_t* digest, FindReport& report) {
    int value = 0;
    cudaError_t status = cudaMemcpy(&value, flag, sizeof value, cudaMemcpyDeviceToHost);
    report.found = status == cudaSuccess && value != 0;
    if (!report.found) return status;
    status = cudaMemcpy(&report.nonce, nonce, sizeof report.nonce, cudaMemcpyDeviceToHost);
    if (status != cudaSuccess) return status;
    return cudaMemcpy(report.digest.data(), digest, report.digest.size(), cudaMemcpyDeviceToHost);
}

}  // namespace

SelfTestResult GpuMiner::self_test() {
    SelfTestResult result;
    const double started = steady_seconds();
    bool aborted = false;
    if (state() != DeviceState::failed) {
        const std::string fault = [this, &aborted] {
            const cudaError_t selected = cudaSetDevice(device);
            if (selected != cudaSuccess) return runtime_fault(selected);
            // Its own launches must not become the search's expectation of the next one.
            const double search_launch_ms = last_launch_ms;
            std::string launches_fault = self_test_launches(aborted);
            last_launch_ms = search_launch_ms;
            return launches_fault;
        }();
        // A launch that failed or missed its deadline has already taken the device out of service.
        if (!fault.empty() && state() != DeviceState::failed) report(Fault::out_of_service, "self-test: " + fault);
    }
    // A new job ended the test early: no verdict, and the next window tries again.
    if (aborted && state() != DeviceState::failed) return result;
    last_self_test = steady_seconds();
    result.milliseconds = (last_self_test - started) * 1000.0;
    if (state() == DeviceState::failed) {
        result.failure = out_of_service_reason;
        return result;
    }
    result.passed = true;
    char line[96];
    std::snprintf(line, sizeof line, "GPU %d self-test passed (%.1f ms)", device, result.milliseconds);
    report_health("INFO", line);
    return result;
}

std::string GpuMiner::self_test_launches(bool& aborted) {
    const std::string prefix(kSelfTestPrefix);
    Sha256State midstate;
    if (!compute_midstate(prefix, midstate)) {
        return state() == DeviceState::failed ? "" : "the midstate could not be computed";
    }
    ConstantImage image{};
    set_window(image, midstate, reinterpret_cast<const uint8_t*>(prefix.data()) + kMidstateBytes);
    for (const SelfTestLaunch& launch : kSelfTestLaunches) {
        std::string fault = self_test_launch(launch, image, aborted);
        if (!fault.empty() || aborted || state() == DeviceState::failed) return fault;
    }
    return "";
}

std::string GpuMiner::self_test_launch(const SelfTestLaunch& launch, ConstantImage& image, bool& aborted) {
    const Target known = target_at(launch.digest);
    set_targets(image, launch.share ? Target{} : known, launch.share ? known : Target{});
    if (launch.precomp) set_launch_digits(image, launch.start);
    if (!upload_launch_inputs(image, true)) return "the launch's inputs could not be uploaded";
    if (!launched(launch_search_kernel(launch.precomp, launch.start, kSelfTestGrid, kSelfTestLoops))) return "";
    aborted = launch_aborted();
    if (aborted) return "";
    FindReport block;
    FindReport share;
    cudaError_t status = read_slot(found_flag, found_nonce, found_hash, block);
    if (status == cudaSuccess) status = read_slot(share_flag, share_nonce, share_hash, share);
    if (status != cudaSuccess) return runtime_fault(status);
    return launch.share ? self_test_fault(launch, share, block) : self_test_fault(launch, block, share);
}

bool GpuMiner::self_test_due() const {
    return self_test_interval > 0.0 && steady_seconds() - last_self_test >= self_test_interval;
}
