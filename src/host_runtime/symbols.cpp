// A __constant__ symbol is a thread-local (device_language.h): each device's copy is the one
// its default stream's worker thread holds. A write is queued on that stream like any copy on
// it, so it lands in the worker's copy after the work queued before it; the other threads of a
// launch take the worker's copies of the symbols written on its device before they run any of
// it. A symbol never written on a device reads its initial value there, as on a GPU.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace {

Mutex symbols_mutex;
std::map<int, std::vector<host_runtime::DeviceSymbol>> written GUARDED_BY(symbols_mutex);

// Runs on `device`'s worker thread.
void note_written(int device, void* (*instance)(), size_t size) EXCLUDES(symbols_mutex) {
    const void* copy = instance();
    MutexLock lock(symbols_mutex);
    std::vector<host_runtime::DeviceSymbol>& symbols = written[device];
    for (const host_runtime::DeviceSymbol& symbol : symbols) {
        if (symbol.device_copy == copy) return;
    }
    symbols.push_back({instance, size, copy});
}

}  // namespace

namespace host_runtime {

cudaError_t copy_to_symbol(void* (*instance)(), size_t symbol_size, const void* source, size_t count, size_t offset,
                           cudaMemcpyKind kind) {
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (offset > symbol_size || count > symbol_size - offset || (source == nullptr && count > 0)) {
        return cudaErrorInvalidValue;
    }
    cudaError_t status = current_device_status();
    if (status != cudaSuccess) return status;
    const int device = current_device();
    // Like any copy on the default stream, it waits for the work queued before it.
    status = drain(device);
    if (status != cudaSuccess) return status;
    auto bytes = std::make_shared<const std::vector<uint8_t>>(static_cast<const uint8_t*>(source),
                                                              static_cast<const uint8_t*>(source) + count);
    enqueue_work(device, [device, instance, symbol_size, offset, bytes] {
        if (!bytes->empty()) std::memcpy(static_cast<uint8_t*>(instance()) + offset, bytes->data(), bytes->size());
        note_written(device, instance, symbol_size);
    });
    return drain(device);
}

std::vector<DeviceSymbol> symbols_written_on(int device) {
    MutexLock lock(symbols_mutex);
    const auto found = written.find(device);
    return found == written.end() ? std::vector<DeviceSymbol>{} : found->second;
}

}  // namespace host_runtime
