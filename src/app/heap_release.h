#pragma once
// Large jobs and the heap. A job with many receipts is made of many small blocks (the JSON
// nodes of its message, its receipt strings, the receipt hashes of its pre-image); freed, they
// stay in the allocator's arenas, and the process would keep its peak size for good. After one,
// the free pages go back to the system.

#include <cstddef>

#include "common/mining_job.h"

// What a job holds in small blocks, roughly: its receipts.
size_t receipt_bytes(const MiningJob& job);

// Gives the heap's free pages back when `bytes` (of a message or job just freed) were many.
void release_heap_after(size_t bytes);
