// The CPU stand-in for the CUDA runtime: launch shape, per-device constants and the error
// codes the engine's reports rely on.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_devices.h"

namespace {

__constant__ int test_symbol[4];

__global__ void record_threads(int* visits) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    visits[block * (blockDim.x * blockDim.y * blockDim.z) + thread] += 1;
}

__global__ void copy_symbol(int* out) {
    for (int i = 0; i < 4; ++i) out[i] = test_symbol[i];
}

TEST(HostRuntime, LaunchRunsEveryThreadOfTheGridOnce) {
    const dim3 grid(3, 2, 2);
    const dim3 block(4, 2, 1);
    const size_t threads = 3 * 2 * 2 * 4 * 2;
    int* visits = nullptr;
    ASSERT_EQ(cudaMalloc(&visits, threads * sizeof(int)), cudaSuccess);
    void* args[] = {&visits};
    ASSERT_EQ(cudaLaunchKernel(record_threads, grid, block, args, 0, nullptr), cudaSuccess);
    std::vector<int> host(threads);
    ASSERT_EQ(cudaMemcpy(host.data(), visits, threads * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, std::vector<int>(threads, 1));
    EXPECT_EQ(cudaFree(visits), cudaSuccess);
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
    const Case cases[] = {{"3", 3, cudaSuccess}, {"0", 0, cudaErrorNoDevice}, {"x", 1, cudaSuccess},
                          {"-2", 1, cudaSuccess}};
    for (const Case& c : cases) {
        HostDevices devices(c.value);
        int count = -1;
        EXPECT_EQ(cudaGetDeviceCount(&count), c.status) << c.value;
        EXPECT_EQ(count, c.count) << c.value;
    }
    {
        // Each device has a bus id of its own, in the runtime's domain:bus:device.function form,
        // cut to the caller's buffer; and the machine's memory.
        HostDevices three("3");
        char bus_id[16] = {};
        EXPECT_EQ(cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, 2), cudaSuccess);
        EXPECT_STREQ(bus_id, "0000:02:00.0");
        EXPECT_EQ(cudaDeviceGetPCIBusId(bus_id, 5, 1), cudaSuccess);
        EXPECT_STREQ(bus_id, "0000");
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

}  // namespace
