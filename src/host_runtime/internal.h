#pragma once
// Shared between the stand-in's own sources only.

#include <functional>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "cuda_runtime.h"

namespace host_runtime {

int device_count();
int current_device();
// cudaSuccess when the calling thread's current device exists.
cudaError_t current_device_status();
// One launch at a time over all devices: they share the CPU and the constant variables.
extern Mutex launch_mutex;

// Puts the symbol contents written to `device` in place before one of its launches. The
// caller holds the launch lock, so devices never see each other's constants.
void install_symbol_images(int device) REQUIRES(launch_mutex);

// Threads per kernel call that launches offer (see host_lanes_offered): the widest vector the
// CPU runs, or the narrower one DREVIK_HOST_SIMD names.
unsigned lane_width();

enum class Fault { none, fail, hang, corrupt, miss };
// False when DREVIK_HOST_FAULT is malformed (reported once on standard error).
bool fault_plan_is_valid();
// Counts one search launch on `device` and returns what must happen to it: none, fail or hang.
Fault next_search_launch_fault(int device);
// True when the next search launch on `device` is to report no find (a miss fault).
bool next_search_launch_misses(int device);
// Counts one find read back from `device`; true when its nonce is to be corrupted.
bool corrupt_next_find(int device);

// Queues a launch on `device`'s stream. `timed` launches (right after a timing event was
// recorded) and single-thread launches are not search launches and take no fault.
void enqueue_launch(int device, bool search_launch, std::function<void()> run);
// True when the last thing queued on `device` was the record of a timing event.
bool follows_timing_record(int device);
// Blocks until everything queued on `device` has run (for ever after a hang); returns the
// device's sticky error.
cudaError_t drain(int device);

}  // namespace host_runtime
