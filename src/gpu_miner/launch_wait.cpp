#include "gpu_miner/launch_wait.h"

#include <chrono>
#include <thread>

#include "common/steady_clock.h"

namespace {

// Short enough to leave the device idle for at most 0.2% of a 100 ms launch, long enough
// that polling costs a few percent of a core at most.
constexpr auto kPollInterval = std::chrono::microseconds(200);

}  // namespace

LaunchWait wait_for_event(cudaEvent_t event, double expected_ms, double deadline_seconds) {
    const double start = steady_seconds();
    if (expected_ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(expected_ms * 0.8));
    for (;;) {
        const cudaError_t status = cudaEventQuery(event);
        const double elapsed = steady_seconds() - start;
        if (status == cudaSuccess) return {cudaSuccess, false, elapsed * 1000.0};
        if (status != cudaErrorNotReady) return {status, false, elapsed * 1000.0};
        if (elapsed > deadline_seconds) return {cudaSuccess, true, elapsed * 1000.0};
        std::this_thread::sleep_for(kPollInterval);
    }
}
