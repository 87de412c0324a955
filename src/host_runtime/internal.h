#pragma once
// Shared between the stand-in's own sources only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "cuda_runtime.h"
#include "stand_in_config.h"

namespace host_runtime {

int device_count();
int current_device();
// cudaSuccess when the calling thread's current device exists.
cudaError_t current_device_status();
// A __constant__ symbol written on a device: `instance` gives the calling thread's copy,
// `device_copy` is the device's own (its stream worker's).
struct DeviceSymbol {
    void* (*instance)();
    size_t size;
    const void* device_copy;
};
std::vector<DeviceSymbol> symbols_written_on(int device);

// The report of a malformed setting; no message when it is well-formed.
struct SettingError {
    const char* variable = nullptr;
    std::string value;
    std::string message;
};
// True when the setting is well-formed; else says "VARIABLE: message" on standard error, once
// for each malformed value the variable takes.
bool accepted(const SettingError& error);

enum class Fault { none, fail, hang, corrupt, miss };
struct FaultEntry {
    Fault kind;
    int device;
    long count;
};

// The configuration as the device calls use it, worked out when it is read or set (config.cpp).
struct Settings {
    HostConfig given;
    int devices = 1;
    SettingError devices_error;
    // Threads per kernel call that launches offer (see host_lanes_offered): the widest vector
    // the CPU runs, or the narrower one DREVIK_HOST_SIMD names.
    unsigned lane_width = 1;
    SettingError simd_error;
    std::vector<FaultEntry> faults;
    SettingError fault_error;
    double timer_scale = 1.0;
    SettingError timer_scale_error;
};
std::shared_ptr<const Settings> settings();

// `text` in double quotes, escaped and cut, so that a value can neither flood the console nor
// start a line of its own.
std::string quoted(const std::string& text);

// Counts one search launch on `device` and returns what must happen to it: none, fail or hang.
Fault next_search_launch_fault(int device);
// True when the next search launch on `device` is to report no find (a miss fault).
bool next_search_launch_misses(int device);
// Counts one find read back from `device`; true when its nonce is to be corrupted.
bool corrupt_next_find(int device);

// Guards every stream and event (streams.cpp, events.cpp).
extern Mutex streams_mutex;
// Queues work that is not a launch (a copy, an event record) on `device`'s default stream;
// `timing_record` marks the record of a timing event.
void enqueue_work(int device, std::function<void()> run, bool timing_record = false) EXCLUDES(streams_mutex);
// Queues a launch on `device`'s stream. `timed` launches (right after a timing event was
// recorded) and single-thread launches are not search launches and take no fault.
void enqueue_launch(int device, bool search_launch, std::function<void()> run);
// Queues work that is not a launch on `stream` (null: the calling thread's current device's
// default stream); refused with the device's sticky error.
cudaError_t enqueue_on_stream(cudaStream_t stream, std::function<void()> run) EXCLUDES(streams_mutex);
// True when the last thing queued on `device` was the record of a timing event.
bool follows_timing_record(int device);
// Appends a launch that starts to run to the trace file DREVIK_HOST_TRACE names (trace.cpp).
void trace_launch(int device, uint64_t threads);
// Blocks until everything queued on `device` has run (for ever after a hang); returns the
// device's sticky error.
cudaError_t drain(int device) EXCLUDES(streams_mutex);
// The device's sticky error.
cudaError_t device_error(int device) REQUIRES(streams_mutex);
// Waits until some stream has run a task.
void wait_for_stream_change() REQUIRES(streams_mutex);
// A copy's arguments checked: cudaSuccess when device memory on either side lies inside live
// allocations.
cudaError_t copy_status(void* destination, const void* source, size_t count, cudaMemcpyKind kind);
// Copies as a copy engine does: a 32-bit word at a time where both sides and the count allow, a
// byte at a time elsewhere, each access a relaxed atomic one, so that a copy may land while a
// kernel reads the same words (a flag it polls), and each word is seen whole.
void copy_memory(void* destination, const void* source, size_t count);

}  // namespace host_runtime
