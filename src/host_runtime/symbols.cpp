#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "internal.h"

namespace {

// A __constant__ symbol is one host variable, yet every device has its own copy. Each
// device's writes are kept here and put into the variable before that device's launches.
struct SymbolImages {
    std::vector<uint8_t> initial;  // the variable's content before any device wrote to it
    std::map<int, std::vector<uint8_t>> by_device;
};

Mutex symbols_mutex;
std::map<void*, SymbolImages> symbols GUARDED_BY(symbols_mutex);

}  // namespace

namespace host_runtime {

cudaError_t copy_to_symbol(void* symbol, size_t symbol_size, const void* source, size_t count, size_t offset,
                           cudaMemcpyKind kind) {
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (offset > symbol_size || count > symbol_size - offset || (source == nullptr && count > 0)) {
        return cudaErrorInvalidValue;
    }
    cudaError_t status = current_device_status();
    if (status != cudaSuccess) return status;
    // Like any copy on the default stream, it waits for the work queued before it.
    status = drain(current_device());
    if (status != cudaSuccess) return status;
    MutexLock lock(symbols_mutex);
    SymbolImages& images = symbols[symbol];
    if (images.initial.empty()) {
        const uint8_t* bytes = static_cast<const uint8_t*>(symbol);
        images.initial.assign(bytes, bytes + symbol_size);
    }
    auto [image, inserted] = images.by_device.try_emplace(current_device(), images.initial);
    if (count > 0) std::memcpy(image->second.data() + offset, source, count);
    return cudaSuccess;
}

void install_symbol_images(int device) REQUIRES(launch_mutex) {
    MutexLock lock(symbols_mutex);
    for (auto& [symbol, images] : symbols) {
        const auto own = images.by_device.find(device);
        const std::vector<uint8_t>& image = own != images.by_device.end() ? own->second : images.initial;
        std::memcpy(symbol, image.data(), image.size());
    }
}

}  // namespace host_runtime
