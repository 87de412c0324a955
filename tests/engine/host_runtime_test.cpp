// The CPU stand-in for the CUDA runtime: launch shape, lane groups, per-device constants, the
// error codes the engine's reports rely on, asynchronous launches and injected faults.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host_devices.h"
#include "support/console_capture.h"

namespace {

__constant__ int test_symbol[4];

__global__ void record_threads(int* visits) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    visits[block * (blockDim.x * blockDim.y * blockDim.z) + thread] += 1;
}

// Takes up to `take` of the threads a call is offered, as a kernel running vector lanes does,
// and counts offers that reach past the CPU's width or the end of the block row.
__global__ void record_lane_groups(int* visits, unsigned take, int* bad_offers) {
    if (host_lanes_offered > host_lane_width || threadIdx.x + host_lanes_offered > blockDim.x) {
        __atomic_fetch_add(bad_offers, 1, __ATOMIC_RELAXED);
    }
    const unsigned taken = std::min(take, host_lanes_offered);
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    for (unsigned lane = 0; lane < taken; ++lane) {
        const unsigned thread = threadIdx.x + lane + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
        visits[block * (blockDim.x * blockDim.y * blockDim.z) + thread] += 1;
    }
    host_lanes_taken = taken;
}

// Each call waits until calls have run on two CPU threads, or the deadline has passed.
std::mutex cpu_threads_mutex;
std::set<std::thread::id> cpu_threads;
std::chrono::steady_clock::time_point meeting_deadline;
__global__ void meet_a_second_cpu_thread() {
    const auto deadline = meeting_deadline;
    {
        std::lock_guard<std::mutex> lock(cpu_threads_mutex);
        cpu_threads.insert(std::this_thread::get_id());
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(cpu_threads_mutex);
            if (cpu_threads.size() >= 2 || std::chrono::steady_clock::now() > deadline) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

__global__ void copy_symbol(int* out) {
    for (int i = 0; i < 4; ++i) out[i] = test_symbol[i];
}

TEST(HostRuntime, LaunchRunsEveryThreadOfTheGridOnce) {
    const dim3 grid(3, 2, 2);
    const dim3 block(4, 2, 1);
    const size_t threads = size_t{3} * 2 * 2 * 4 * 2;
    int* visits = nullptr;
    ASSERT_EQ(cudaMalloc(&visits, threads * sizeof(int)), cudaSuccess);
    void* args[] = {&visits};
    ASSERT_EQ(cudaLaunchKernel(record_threads, grid, block, args, 0, nullptr), cudaSuccess);
    std::vector<int> host(threads);
    ASSERT_EQ(cudaMemcpy(host.data(), visits, threads * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, std::vector<int>(threads, 1));
    EXPECT_EQ(cudaFree(visits), cudaSuccess);
}

// Block rows of 20 threads are offered in groups of at most the vector width, inside the row;
// whatever a call takes, every thread runs once, at every width.
TEST(HostRuntime, LaneGroupsRunEveryThreadOnceAtEveryWidth) {
    const dim3 grid(3, 1, 2);
    const dim3 block(20, 2, 1);
    const size_t threads = size_t{3} * 2 * 20 * 2;
    int* visits = nullptr;
    int* bad_offers = nullptr;
    ASSERT_EQ(cudaMalloc(&visits, threads * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&bad_offers, sizeof(int)), cudaSuccess);
    for (const char* simd : {"scalar", "sse2", "avx2", "avx512", ""}) {
        HostSimd width(simd);
        for (unsigned take : {1u, 3u, 16u}) {
            SCOPED_TRACE(std::string(simd) + ", taking " + std::to_string(take));
            const std::vector<int> zeros(threads, 0);
            ASSERT_EQ(cudaMemcpy(visits, zeros.data(), threads * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
            ASSERT_EQ(cudaMemcpy(bad_offers, zeros.data(), sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
            void* args[] = {&visits, &take, &bad_offers};
            ASSERT_EQ(cudaLaunchKernel(record_lane_groups, grid, block, args, 0, nullptr), cudaSuccess);
            std::vector<int> host(threads);
            ASSERT_EQ(cudaMemcpy(host.data(), visits, threads * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
            EXPECT_EQ(host, std::vector<int>(threads, 1));
            int bad = -1;
            ASSERT_EQ(cudaMemcpy(&bad, bad_offers, sizeof bad, cudaMemcpyDeviceToHost), cudaSuccess);
            EXPECT_EQ(bad, 0);
        }
    }
    EXPECT_EQ(cudaFree(visits), cudaSuccess);
    EXPECT_EQ(cudaFree(bad_offers), cudaSuccess);
}

// The threads of one block are spread over the CPU's cores, so a grid smaller than the core
// count leaves none idle.
TEST(HostRuntime, OneBlockRunsOnSeveralCpuThreads) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one CPU thread";
    HostSimd width("scalar");
    meeting_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    ASSERT_EQ(cudaLaunchKernel(meet_a_second_cpu_thread, dim3(1), dim3(64), nullptr, 0, nullptr), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    std::lock_guard<std::mutex> lock(cpu_threads_mutex);
    EXPECT_GE(cpu_threads.size(), 2u);
}

TEST(HostRuntime, EachDeviceSeesItsOwnConstants) {
    HostDevices devices("2");
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 4 * sizeof(int)), cudaSuccess);
    for (int device : {0, 1}) {
        ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
        const int values[4] = {device, device + 10, device + 20, device + 30};
        ASSERT_EQ(cudaMemcpyToSymbol(test_symbol, values, sizeof values), cudaSuccess);
    }
    const int tail = 99;
    ASSERT_EQ(cudaMemcpyToSymbol(test_symbol, &tail, sizeof tail, 3 * sizeof(int)), cudaSuccess);  // device 1
    for (int device : {0, 1}) {
        ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
        void* args[] = {&out};
        ASSERT_EQ(cudaLaunchKernel(copy_symbol, dim3(1), dim3(1), args, 0, nullptr), cudaSuccess);
        std::vector<int> host(4);
        ASSERT_EQ(cudaMemcpy(host.data(), out, 4 * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(host, (device == 0 ? std::vector<int>{0, 10, 20, 30} : std::vector<int>{1, 11, 21, 99}));
    }
    cudaFree(out);
    cudaSetDevice(0);
}

TEST(HostRuntime, MisuseReturnsTheRuntimeErrorCodes) {
    int* buffer = nullptr;
    ASSERT_EQ(cudaMalloc(&buffer, 8), cudaSuccess);
    int host[4] = {};
    int* args_target = buffer;
    void* args[] = {&args_target};
    cudaEvent_t unrecorded = nullptr;
    ASSERT_EQ(cudaEventCreate(&unrecorded), cudaSuccess);
    float ms = 0;
    char bus_id[16] = {};

    struct Case {
        const char* call;
        cudaError_t status;
        cudaError_t expected;
    };
    const Case cases[] = {
        {"set device 1 of 1", cudaSetDevice(1), cudaErrorInvalidDevice},
        {"set device -1", cudaSetDevice(-1), cudaErrorInvalidDevice},
        {"properties into null", cudaGetDeviceProperties(nullptr, 0), cudaErrorInvalidValue},
        {"bus id of device 1 of 1", cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, 1), cudaErrorInvalidDevice},
        {"bus id into no room", cudaDeviceGetPCIBusId(bus_id, 0, 0), cudaErrorInvalidValue},
        {"copy past the allocation", cudaMemcpy(buffer, host, 12, cudaMemcpyHostToDevice), cudaErrorInvalidValue},
        {"copy from host memory as device", cudaMemcpy(host, host + 2, 4, cudaMemcpyDeviceToHost),
         cudaErrorInvalidValue},
        {"copy direction", cudaMemcpy(buffer, host, 4, static_cast<cudaMemcpyKind>(9)),
         cudaErrorInvalidMemcpyDirection},
        {"free of host memory", cudaFree(host), cudaErrorInvalidValue},
        {"symbol overrun", cudaMemcpyToSymbol(test_symbol, host, sizeof host, 4), cudaErrorInvalidValue},
        {"block of 2048 threads", cudaLaunchKernel(copy_symbol, dim3(1), dim3(2048), args, 0, nullptr),
         cudaErrorInvalidConfiguration},
        {"empty grid", cudaLaunchKernel(copy_symbol, dim3(0), dim3(1), args, 0, nullptr),
         cudaErrorInvalidConfiguration},
        {"elapsed time of unrecorded events", cudaEventElapsedTime(&ms, unrecorded, unrecorded),
         cudaErrorInvalidResourceHandle},
    };
    for (const Case& c : cases) EXPECT_EQ(c.status, c.expected) << c.call;
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    cudaEventDestroy(unrecorded);
    cudaFree(buffer);
}

TEST(HostRuntime, DeviceCountComesFromTheEnvironment) {
    struct Case {
        const char* value;
        int count;
        cudaError_t status;
    };
    const Case cases[] = {
        {"3", 3, cudaSuccess}, {"0", 0, cudaErrorNoDevice}, {"64", 64, cudaSuccess}, {"", 1, cudaSuccess}};
    for (const Case& c : cases) {
        HostDevices devices(c.value);
        int count = -1;
        EXPECT_EQ(cudaGetDeviceCount(&count), c.status) << c.value;
        EXPECT_EQ(count, c.count) << c.value;
    }
    {
        // Each device has the machine's memory.
        HostDevices three("3");
        cudaDeviceProp properties{};
        ASSERT_EQ(cudaGetDeviceProperties(&properties, 2), cudaSuccess);
        EXPECT_GT(properties.totalGlobalMem, size_t{0});
    }
    HostDevices none("0");
    EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
    char bus_id[16] = {};
    EXPECT_EQ(cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, 0), cudaErrorNoDevice);
    int* buffer = nullptr;
    EXPECT_EQ(cudaMalloc(&buffer, 4), cudaErrorNoDevice);
}

// The settings come from the environment once, each from its own variable: what a variable
// says later changes nothing until the configuration is read again.
TEST(HostRuntime, TakesItsSettingsFromTheEnvironmentOnce) {
    const host_runtime::HostConfig in_force = host_runtime::host_config();
    const struct {
        const char* variable;
        std::string host_runtime::HostConfig::*setting;
        const char* value;
    } variables[] = {
        {"DREVIK_HOST_DEVICES", &host_runtime::HostConfig::devices, "3"},
        {"DREVIK_HOST_FAULT", &host_runtime::HostConfig::fault, "miss:2:9"},
        {"DREVIK_HOST_SIMD", &host_runtime::HostConfig::simd, "scalar"},
        {"DREVIK_HOST_TRACE", &host_runtime::HostConfig::trace, "/nonexistent/trace"},
        {"DREVIK_HOST_TIMER_SCALE", &host_runtime::HostConfig::timer_scale, "0.5"},
    };
    // NOLINTBEGIN(concurrency-mt-unsafe): set between device calls, never during one
    for (const auto& v : variables) setenv(v.variable, v.value, 1);
    const host_runtime::HostConfig read = host_runtime::host_config_from_environment();
    for (const auto& v : variables) EXPECT_EQ(read.*v.setting, v.value) << v.variable;
    host_runtime::set_host_config(read);
    setenv("DREVIK_HOST_DEVICES", "5", 1);
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 3);
    for (const auto& v : variables) unsetenv(v.variable);
    // NOLINTEND(concurrency-mt-unsafe)
    host_runtime::set_host_config(in_force);
}

}  // namespace

namespace {

std::atomic<bool> gate_open{false};

__global__ void wait_for_gate(int* out) {
    while (!gate_open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    *out = 7;
}

// One thread writes: the stand-in runs the blocks on threads of their own.
__global__ void write_seven(int* out) {
    if (blockIdx.x == 0 && threadIdx.x == 0) *out = 7;
}

TEST(HostRuntime, LaunchReturnsAtOnceAndLaterCallsWaitForIt) {
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, sizeof(int)), cudaSuccess);
    cudaEvent_t done = nullptr;
    ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventDisableTiming), cudaSuccess);
    gate_open = false;
    void* args[] = {&out};
    // Were the launch synchronous, it would never return: the gate opens below.
    ASSERT_EQ(cudaLaunchKernel(wait_for_gate, dim3(1), dim3(1), args, 0, nullptr), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, nullptr), cudaSuccess);
    EXPECT_EQ(cudaEventQuery(done), cudaErrorNotReady);
    gate_open = true;
    int host = 0;
    ASSERT_EQ(cudaMemcpy(&host, out, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 7);  // the copy waited for the kernel
    EXPECT_EQ(cudaEventQuery(done), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    float ms = 0;
    EXPECT_EQ(cudaEventElapsedTime(&ms, done, done), cudaErrorInvalidResourceHandle);  // not a timing event
    cudaEventDestroy(done);
    cudaFree(out);
}

TEST(HostRuntime, EachDeviceHasItsOwnPciBusId) {
    HostDevices devices("3");
    char id[16];
    std::vector<std::string> ids;
    for (int device = 0; device < 3; ++device) {
        ASSERT_EQ(cudaDeviceGetPCIBusId(id, sizeof id, device), cudaSuccess);
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"0000:01:00.0", "0000:02:00.0", "0000:03:00.0"}));
    EXPECT_EQ(cudaDeviceGetPCIBusId(id, sizeof id, 3), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaDeviceGetPCIBusId(id, 4, 0), cudaErrorInvalidValue);
}

TEST(HostRuntime, MalformedFaultPlanLeavesNoDevice) {
    HostDevices devices("2");
    const char* const malformed[] = {"fail",      "fail:1",   "fail:1:0",  "fail:64:1",     "burn:0:1",
                                     "fail:0:1,", "fail:x:1", "hang:0:-1", "corrupt:0:1:2", " fail:0:1"};
    for (const char* plan : malformed) {
        HostFaults faults(plan);
        capture_console();
        int count = -1;
        EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice) << plan;
        EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice) << plan;
        const std::string output = captured_console();
        EXPECT_EQ(output.rfind("DREVIK_HOST_FAULT: malformed entry \"", 0), 0u) << plan << ": " << output;
        EXPECT_EQ(output.find('\n'), output.size() - 1) << "reported once: " << output;
    }
    HostFaults valid("fail:0:1,hang:63:2,corrupt:5:999999999");
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
}

// Any malformed setting leaves no device, so that start-up fails instead of running on what the
// operator did not ask for. The value is shown escaped and cut: it can neither flood the console
// nor forge a line of its own.
TEST(HostRuntime, MalformedSettingsLeaveNoDeviceAndAreShownEscaped) {
    const std::string devices = "DREVIK_HOST_DEVICES: malformed value ";
    const std::string simd = "DREVIK_HOST_SIMD: unknown value ";
    const std::string simd_expected = " (expected avx512, avx2, sse2 or scalar)\n";
    const struct {
        std::string host_runtime::HostConfig::*setting;
        std::string value;
        std::string report;
    } cases[] = {
        {&host_runtime::HostConfig::devices, "-1", devices + "\"-1\" (expected 0 to 64)\n"},
        {&host_runtime::HostConfig::devices, "65", devices + "\"65\" (expected 0 to 64)\n"},
        {&host_runtime::HostConfig::devices, "abc", devices + "\"abc\" (expected 0 to 64)\n"},
        {&host_runtime::HostConfig::devices, "2x", devices + "\"2x\" (expected 0 to 64)\n"},
        {&host_runtime::HostConfig::devices, " 2", devices + "\" 2\" (expected 0 to 64)\n"},
        {&host_runtime::HostConfig::simd, "avx9", simd + "\"avx9\"" + simd_expected},
        {&host_runtime::HostConfig::simd, "sse2\n[x][ERROR] forged",
         simd + "\"sse2\\n[x][ERROR] forged\"" + simd_expected},
        {&host_runtime::HostConfig::simd, std::string(100000, 'w'),
         simd + "\"" + std::string(64, 'w') + "...\"" + simd_expected},
        {&host_runtime::HostConfig::fault, "fail:0:1,hang\t1\x7f",
         "DREVIK_HOST_FAULT: malformed entry \"hang\\t1\\x7f\" (expected KIND:DEVICE:N, KIND fail, hang, corrupt or "
         "miss, "
         "DEVICE 0 to 63, N from 1)\n"},
    };
    for (const auto& c : cases) {
        HostSetting setting(c.setting, c.value);
        capture_console();
        int count = -1;
        EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice) << c.value;
        EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice) << c.value;
        EXPECT_EQ(captured_console(), c.report) << "reported once";
    }
}

// Device 6 fails its 2nd search launch, device 7 hangs its 1st; timed and single-thread
// launches are not counted, and the 1st 64-bit read from device 5 comes back altered.
TEST(HostRuntime, FaultsHitTheNamedDeviceAndLaunch) {
    HostDevices devices("8");
    HostFaults faults("fail:6:2,hang:7:1,corrupt:5:1");
    int* out = nullptr;
    void* args[] = {&out};
    cudaEvent_t done = nullptr;

    ASSERT_EQ(cudaSetDevice(6), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&out, sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventDisableTiming), cudaSuccess);
    cudaEvent_t start = nullptr;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, nullptr), cudaSuccess);
    ASSERT_EQ(cudaLaunchKernel(write_seven, dim3(2), dim3(4), args, 0, nullptr), cudaSuccess);  // timed
    ASSERT_EQ(cudaLaunchKernel(write_seven, dim3(1), dim3(1), args, 0, nullptr), cudaSuccess);  // one thread
    ASSERT_EQ(cudaLaunchKernel(write_seven, dim3(2), dim3(4), args, 0, nullptr), cudaSuccess);  // search 1
    ASSERT_EQ(cudaEventRecord(done, nullptr), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    EXPECT_EQ(cudaLaunchKernel(write_seven, dim3(2), dim3(4), args, 0, nullptr), cudaSuccess);  // search 2
    ASSERT_EQ(cudaEventRecord(done, nullptr), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(done), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaEventQuery(done), cudaErrorLaunchFailure);
    int host = 0;
    EXPECT_EQ(cudaMemcpy(&host, out, sizeof host, cudaMemcpyDeviceToHost), cudaErrorLaunchFailure);  // sticky
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
    EXPECT_EQ(cudaFree(out), cudaSuccess);  // a faulted device still gives its memory back
    cudaEventDestroy(start);
    cudaEventDestroy(done);

    ASSERT_EQ(cudaSetDevice(7), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventDisableTiming), cudaSuccess);
    ASSERT_EQ(cudaLaunchKernel(write_seven, dim3(2), dim3(4), args, 0, nullptr), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, nullptr), cudaSuccess);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(cudaEventQuery(done), cudaErrorNotReady);
    }
    cudaEventDestroy(done);

    ASSERT_EQ(cudaSetDevice(5), cudaSuccess);
    uint64_t* value = nullptr;
    ASSERT_EQ(cudaMalloc(&value, sizeof(uint64_t)), cudaSuccess);
    const uint64_t written = 0x1234;
    ASSERT_EQ(cudaMemcpy(value, &written, sizeof written, cudaMemcpyHostToDevice), cudaSuccess);
    uint64_t read[2] = {};
    ASSERT_EQ(cudaMemcpy(&read[0], value, sizeof written, cudaMemcpyDeviceToHost), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(&read[1], value, sizeof written, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_NE(read[0], written);
    EXPECT_EQ(read[1], written);
    cudaFree(value);
    cudaSetDevice(0);
}

// Kernel code compiled for the host can throw, which device code cannot.
__global__ void throw_from_kernel() { throw std::runtime_error("thrown by the kernel"); }

// A launch that throws ends like a kernel fault, on its own device only: the error is sticky
// and reported once, and the stream's worker thread (and the process) lives on.
TEST(HostRuntime, LaunchThatThrowsFaultsItsDeviceOnly) {
    HostDevices devices("8");
    ASSERT_EQ(cudaSetDevice(4), cudaSuccess);
    capture_console();
    ASSERT_EQ(cudaLaunchKernel(throw_from_kernel, dim3(1), dim3(1), nullptr, 0, nullptr), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    cudaEvent_t done = nullptr;
    ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventDisableTiming), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, nullptr), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(done), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);  // sticky
    cudaEventDestroy(done);
    EXPECT_EQ(captured_console(), "host device 4: launch failed: thrown by the kernel\n");

    ASSERT_EQ(cudaSetDevice(3), cudaSuccess);
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, sizeof(int)), cudaSuccess);
    void* args[] = {&out};
    ASSERT_EQ(cudaLaunchKernel(write_seven, dim3(1), dim3(1), args, 0, nullptr), cudaSuccess);
    int host = 0;
    EXPECT_EQ(cudaMemcpy(&host, out, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 7);
    EXPECT_EQ(cudaFree(out), cudaSuccess);
    cudaSetDevice(0);
}

}  // namespace
