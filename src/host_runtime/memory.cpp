#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace {

Mutex allocations_mutex;
// Start address -> size. Never destroyed: memory a failed device keeps stays known (and
// reachable for leak checkers) until the process has exited.
std::map<uintptr_t, size_t>* const allocations PT_GUARDED_BY(allocations_mutex) = new std::map<uintptr_t, size_t>;

// True when [pointer, pointer + count) lies inside one live allocation.
bool is_device_range(const void* pointer, size_t count) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(pointer);
    MutexLock lock(allocations_mutex);
    auto it = allocations->upper_bound(start);
    if (it == allocations->begin()) return false;
    --it;
    return start - it->first <= it->second && count <= it->second - (start - it->first);
}

}  // namespace

cudaError_t cudaMalloc(void** pointer, size_t size) {
    if (pointer == nullptr) return cudaErrorInvalidValue;
    const cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    if (size == 0) {
        *pointer = nullptr;
        return cudaSuccess;
    }
    void* memory = std::calloc(1, size);
    if (memory == nullptr) return cudaErrorMemoryAllocation;
    MutexLock lock(allocations_mutex);
    (*allocations)[reinterpret_cast<uintptr_t>(memory)] = size;
    *pointer = memory;
    return cudaSuccess;
}

// Waits for the device's queued work first, as the runtime does: a running kernel may still
// use the memory.
cudaError_t cudaFree(void* pointer) {
    if (pointer == nullptr) return cudaSuccess;
    if (host_runtime::current_device_status() == cudaSuccess) host_runtime::drain(host_runtime::current_device());
    {
        MutexLock lock(allocations_mutex);
        if (allocations->erase(reinterpret_cast<uintptr_t>(pointer)) == 0) return cudaErrorInvalidValue;
    }
    std::free(pointer);
    return cudaSuccess;
}

namespace host_runtime {

cudaError_t copy_status(void* destination, const void* source, size_t count, cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (count == 0) return cudaSuccess;
    if (destination == nullptr || source == nullptr) return cudaErrorInvalidValue;
    const bool to_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool from_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if ((to_device && !is_device_range(destination, count)) || (from_device && !is_device_range(source, count))) {
        return cudaErrorInvalidValue;
    }
    return cudaSuccess;
}

void copy_memory(void* destination, const void* source, size_t count) {
    constexpr size_t kWord = sizeof(uint32_t);
    if ((reinterpret_cast<uintptr_t>(destination) | reinterpret_cast<uintptr_t>(source) | count) % kWord == 0) {
        auto* to = static_cast<uint32_t*>(destination);
        const auto* from = static_cast<const uint32_t*>(source);
        for (size_t i = 0; i < count / kWord; ++i)
            __atomic_store_n(to + i, __atomic_load_n(from + i, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
        return;
    }
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    for (size_t i = 0; i < count; ++i)
        __atomic_store_n(to + i, __atomic_load_n(from + i, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
}

}  // namespace host_runtime

cudaError_t cudaMemcpy(void* destination, const void* source, size_t count, cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    cudaError_t status = host_runtime::current_device_status();
    if (status != cudaSuccess) return status;
    status = host_runtime::copy_status(destination, source, count, kind);
    if (status != cudaSuccess || count == 0) return status;
    const int device = host_runtime::current_device();
    status = host_runtime::drain(device);
    if (status != cudaSuccess) return status;
    host_runtime::copy_memory(destination, source, count);
    // The engine reads a find's 64-bit nonce back; a corrupt fault alters that value.
    if (kind == cudaMemcpyDeviceToHost && count == sizeof(uint64_t) && host_runtime::corrupt_next_find(device)) {
        *static_cast<uint8_t*>(destination) ^= 0x01;
    }
    return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* destination, const void* source, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
    if (stream == nullptr && host_runtime::current_device_status() != cudaSuccess) {
        return host_runtime::current_device_status();
    }
    const cudaError_t status = host_runtime::copy_status(destination, source, count, kind);
    if (status != cudaSuccess || count == 0) return status;
    std::function<void()> copy;
    if (kind == cudaMemcpyHostToDevice || kind == cudaMemcpyHostToHost) {
        auto staged = std::make_shared<const std::vector<uint8_t>>(static_cast<const uint8_t*>(source),
                                                                   static_cast<const uint8_t*>(source) + count);
        copy = [destination, staged] { host_runtime::copy_memory(destination, staged->data(), staged->size()); };
    } else {
        copy = [destination, source, count] { host_runtime::copy_memory(destination, source, count); };
    }
    return host_runtime::enqueue_on_stream(stream, std::move(copy));
}
