#pragma once
// The host back-end's stand-in for the CUDA runtime: the subset of the runtime API the
// engine uses, implemented on CPU threads. As on a GPU, a launch returns at once and runs on
// its device's worker thread; event records, synchronisation and copies are ordered after it.
// Streams made with cudaStreamCreateWithFlags are non-blocking, each run by a worker of its
// own: a copy queued on one lands while the default stream's launch runs. Launches of
// different devices run at once. It presents one device, or DREVIK_HOST_DEVICES of them (0
// allowed), as a driver would, and injects the faults that DREVIK_HOST_FAULT names (see
// faults.cpp).

#include <cstddef>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "device_language.h"

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorLaunchFailure = 719,
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

#define cudaOccupancyDefault 0x00
#define cudaStreamNonBlocking 0x01
#define cudaEventDefault 0x00
#define cudaEventDisableTiming 0x02

struct CUstream_st;
using cudaStream_t = CUstream_st*;
struct CUevent_st;
using cudaEvent_t = CUevent_st*;
using cudaStreamCallback_t = void (*)(cudaStream_t stream, cudaError_t status, void* user_data);

struct cudaDeviceProp {
    char name[256];
    size_t totalGlobalMem;
    int multiProcessorCount;
    int major;
    int minor;
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaMalloc(void** pointer, size_t size);
cudaError_t cudaFree(void* pointer);
cudaError_t cudaMemcpy(void* destination, const void* source, size_t count, cudaMemcpyKind kind);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaDeviceGetPCIBusId(char* pci_bus_id, int length, int device);
// Only non-blocking streams (cudaStreamNonBlocking): the implicit synchronisation of a
// blocking stream with the default stream is not modelled.
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
// The source is read when the copy is queued, as the runtime stages pageable memory; a copy
// on a stream of its own may land on device memory while a kernel reads it.
cudaError_t cudaMemcpyAsync(void* destination, const void* source, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
// `callback` runs on the stream's worker once the work queued before it has completed, with
// the device's sticky error if any; never after a hang.
cudaError_t cudaStreamAddCallback(cudaStream_t stream, cudaStreamCallback_t callback, void* user_data,
                                  unsigned int flags);
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
cudaError_t cudaEventQuery(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* milliseconds, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);
const char* cudaGetErrorString(cudaError_t error);

namespace host_runtime {

// `instance` gives the calling thread's copy of the symbol (a thread-local, see
// device_language.h).
cudaError_t copy_to_symbol(void* (*instance)(), size_t symbol_size, const void* source, size_t count, size_t offset = 0,
                           cudaMemcpyKind kind = cudaMemcpyHostToDevice);
cudaError_t occupancy(int* blocks, int block_size, size_t dynamic_shared_bytes);
// Queues a launch on the current device: `thread_body(call)` runs once for every thread of
// the grid, with threadIdx, blockIdx, blockDim and gridDim set. Returns once it is queued.
cudaError_t enqueue_grid(dim3 grid, dim3 block, size_t dynamic_shared_bytes, void (*thread_body)(const void* call),
                         std::shared_ptr<const void> call);

template <typename... Params, size_t... I>
std::tuple<std::decay_t<Params>...> unpack_arguments(void** args, std::index_sequence<I...>) {
    return std::tuple<std::decay_t<Params>...>{*static_cast<std::decay_t<Params>*>(args[I])...};
}

}  // namespace host_runtime

template <typename T>
cudaError_t cudaMalloc(T** pointer, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(pointer), size);
}

// A macro, unlike the runtime's function: the symbol is named where it is written, so that the
// device's worker thread can reach its own copy of it.
#define cudaMemcpyToSymbol(symbol, ...) \
    host_runtime::copy_to_symbol([]() -> void* { return static_cast<void*>(&(symbol)); }, sizeof(symbol), __VA_ARGS__)

template <typename Kernel>
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* blocks, Kernel, int block_size,
                                                                   size_t dynamic_shared_bytes, unsigned int) {
    return host_runtime::occupancy(blocks, block_size, dynamic_shared_bytes);
}

// `args` points at one value per kernel parameter, of the parameter's type, as with the
// real runtime.
template <typename... Params>
cudaError_t cudaLaunchKernel(void (*kernel)(Params...), dim3 grid, dim3 block, void** args,
                             size_t dynamic_shared_bytes = 0, cudaStream_t = nullptr) {
    if (args == nullptr && sizeof...(Params) > 0) return cudaErrorInvalidValue;
    struct Call {
        void (*kernel)(Params...);
        std::tuple<std::decay_t<Params>...> arguments;
    };
    auto call = std::make_shared<const Call>(
        Call{kernel, host_runtime::unpack_arguments<Params...>(args, std::index_sequence_for<Params...>{})});
    return host_runtime::enqueue_grid(
        grid, block, dynamic_shared_bytes,
        [](const void* bound) {
            const Call& c = *static_cast<const Call*>(bound);
            std::apply(c.kernel, c.arguments);
        },
        std::move(call));
}
