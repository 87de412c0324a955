#include "app/heap_release.h"

#include <malloc.h>

#include <string>

namespace {

// Below this a job leaves little behind, and trimming, which walks every arena, is not worth it.
constexpr size_t kLargeJobBytes = size_t{1} << 20;

}  // namespace

size_t receipt_bytes(const MiningJob& job) {
    size_t bytes = 0;
    for (const std::string& receipt : job.receipts) bytes += sizeof(std::string) + receipt.capacity();
    return bytes;
}

void release_heap_after(size_t bytes) {
    if (bytes >= kLargeJobBytes) malloc_trim(0);
}
