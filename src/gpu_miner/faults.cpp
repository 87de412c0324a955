// GpuMiner's faults: every one the engine meets is printed here, once, in the form of its kind.

#include <cuda_runtime.h>

#include <stdexcept>

#include "common/console.h"
#include "gpu_miner/gpu_miner.h"

void GpuMiner::report(Fault fault, const std::string& detail) {
    const std::string gpu = std::to_string(device);
    switch (fault) {
        case Fault::runtime_call:
            console_print("CUDA error src/gpu_miner:%s\n", detail.c_str());
            return;
        case Fault::unsearchable_job:
            console_print("[GPU %s] ERROR: %s\n", gpu.c_str(), detail.c_str());
            return;
        case Fault::hardware_error:
            hw_errors.fetch_add(1);
            report_health("WARN", "GPU " + gpu + " hardware error: " + detail);
            return;
        case Fault::out_of_service:
            device_state = DeviceState::failed;
            out_of_service_reason = detail;
            report_health("ERROR", "GPU " + gpu + " out of service: " + detail);
            return;
    }
}

bool GpuMiner::call_succeeded(int status, int line) {
    if (status == cudaSuccess) return true;
    report(Fault::runtime_call, std::to_string(line) + ": " + cudaGetErrorString(static_cast<cudaError_t>(status)));
    return false;
}

void GpuMiner::set_up_call(int status, int line) {
    if (!call_succeeded(status, line)) throw std::runtime_error(cudaGetErrorString(static_cast<cudaError_t>(status)));
}

void GpuMiner::report_health(const char* level, const std::string& message) {
    if (health_log != nullptr) {
        health_log(level, message);
    } else {
        console_print("%s\n", message.c_str());
    }
}
