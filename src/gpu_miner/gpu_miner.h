#pragma once
// The engine of one CUDA device: set-up and tuning, the per-job search, the hash rate.

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "common/mutex.h"
#include "common/stop_flag.h"
#include "common/thread_annotations.h"
#include "gpu_miner/constant_block.h"
#include "gpu_miner/hash_rate.h"
#include "gpu_miner/self_test.h"
#include "gpu_miner/tuning.h"
#include "common/mining_job.h"

struct CUstream_st;  // the runtime's stream type

// An initialised engine's launch geometry, for the start-up log and the statistics.
struct GpuInfo {
    int32_t device = 0;
    std::string name;
    int32_t sm_count = 0;
    int32_t grid = 0;
    int32_t threads_per_block = 0;
    int32_t loops = 0;
    int64_t hashes_per_launch = 0;
    std::string pci_bus_id;  // empty when the runtime could not tell
};

// idle between jobs, mining during a search, failed once taken out of service for good.
enum class DeviceState { idle, mining, failed };
inline constexpr DeviceState kDeviceStates[] = {DeviceState::idle, DeviceState::mining, DeviceState::failed};
const char* device_state_name(DeviceState state);

// Receives the engine's health lines (a hardware error, a device taken out of service) with
// their log level.
using HealthLog = void (*)(const char* level, const std::string& message);

struct SearchOutcome {
    bool found = false;
    std::string nonce;  // 16 hex digits
    std::string hash;   // 78-character block hash text
    int64_t timestamp = 0;
    int32_t gpu = 0;
};

struct GpuResult {
    bool found = false;
    SearchOutcome outcome;
};

// Called on the searching thread for every reported find (a share, or the block itself).
using FindCallback = void (*)(const std::string& nonce, int64_t timestamp, int32_t device, void* context);

class GpuMiner {
public:
    GpuMiner() = default;
    // Tuning takes its kernel times from `timer` instead of timing launches (for tests).
    explicit GpuMiner(LaunchTimer timer);
    ~GpuMiner();
    GpuMiner(const GpuMiner&) = delete;
    GpuMiner& operator=(const GpuMiner&) = delete;

    // Selects the device, allocates the result buffers and tunes the launch geometry,
    // printing its lines. Throws std::runtime_error (after the "CUDA error" line) when the
    // device cannot be selected, queried, given its buffers or run a tuning launch. Returns
    // false, before the next tuning launch, once `interrupted` is set.
    bool init(int32_t device, const StopFlag* interrupted = nullptr) EXCLUDES(rate_lock);
    // init without the tuning: enough for the self-test.
    void set_up(int32_t device) EXCLUDES(rate_lock);
    // The known-answer self-test (self_test.cpp). A device that fails it is taken out of
    // service with one ERROR line; one that passes logs an INFO line.
    SelfTestResult self_test();
    // The search runs the self-test again at the start of a window once this many seconds
    // have passed since the last one; 0 (the default): never.
    void set_self_test_interval(double seconds) { self_test_interval = seconds; }
    GpuInfo describe() const;
    // Searches the job until a block is found (true, outcome filled), the stop flag is set,
    // or the search cannot go on (false). Setting the flag also ends the launch running then,
    // at its threads' next poll; a find in that launch is still taken. Only finds that the host
    // has verified go to `callback`, shares and the block alike. A launch that fails or misses
    // its deadline takes the device out of service: this and every later search return false
    // at once.
    bool search(const MiningJob& job, StopFlag& stop, SearchOutcome& outcome, FindCallback callback, void* context);
    DeviceState state() const { return device_state.load(); }
    // Finds that did not verify on the host.
    int32_t hardware_errors() const { return hw_errors.load(); }
    void set_health_log(HealthLog log) { health_log = log; }
    void record_launch(uint64_t hashes) EXCLUDES(rate_lock);
    // MH/s over the last 30 seconds.
    double hashrate() EXCLUDES(rate_lock);
    // Every hash counted since set-up: what each launch hashed, an aborted one included.
    uint64_t hashes_counted() EXCLUDES(rate_lock);
    // Frees the device buffers and forgets the hash-rate window; the destructor calls it.
    void release() EXCLUDES(rate_lock);

private:
    double time_launch(int32_t grid, int32_t loops);
    void tune();
    // The runtime's error text when the launch was refused, else null.
    const char* launch_search_kernel(bool precomp, uint64_t start_nonce, int32_t grid, int32_t loops);
    bool search_windows(const MiningJob& job, const StopFlag& stop, SearchOutcome& outcome, FindCallback callback,
                        void* context);
    bool compute_midstate(const std::string& prefix, Sha256State& midstate);
    bool launched(const char* launch_error);
    void abort_launch();
    bool clear_stop_word();
    // Whether the host's abort ended the latest launch; a stop word that cannot be read: no.
    bool launch_aborted();
    uint64_t hashed_in_launch(uint64_t hashes_per_launch);
    // What can go wrong, each kind printed in its own form by report(), once, where it is met.
    // The caller then gives up the step (a false return); set-up, which cannot go on, throws
    // instead, for init's caller to log.
    enum class Fault {
        runtime_call,      // "CUDA error src/gpu_miner:LINE: text"
        unsearchable_job,  // "[GPU n] ERROR: reason": the job is not searched, the device stays
        hardware_error,    // a find the host refutes: counted, WARN through the health log
        out_of_service,    // the device fails for good: ERROR through the health log
    };
    void report(Fault fault, const std::string& detail);
    // `status` is the runtime's cudaError_t (runtime_call.h's macros pass it with the line).
    bool call_succeeded(int status, int line);
    void set_up_call(int status, int line);
    // A flag that cannot be read counts as clear.
    bool flag_is_set(const int* flag);
    // The self-test's launches: empty when every one reported exactly its known find.
    // `aborted`: the search's stop ended a launch, which then says nothing of the device.
    std::string self_test_launches(bool& aborted);
    std::string self_test_launch(const SelfTestLaunch& launch, ConstantImage& image, bool& aborted);
    bool self_test_due() const;
    void report_health(const char* level, const std::string& message);
    bool upload_launch_inputs(const ConstantImage& image, bool check_share);
    bool verified_find(const char* kind, const uint64_t* nonce_buffer, const uint8_t* hash_buffer,
                       const std::string& prefix, const Target& target, std::string& nonce, uint8_t digest[32]);

    LaunchTimer launch_timer;
    const StopFlag* interrupt_flag = nullptr;
    HealthLog health_log = nullptr;
    std::atomic<DeviceState> device_state{DeviceState::idle};
    std::atomic<int32_t> hw_errors{0};
    double kernel_ms = kTargetKernelMs;  // the tuned launch time
    double last_launch_ms = 0.0;         // the latest launch, as its wait saw it
    double full_launch_ms = 0.0;         // the latest search launch that ran to its end
    double self_test_interval = 0.0;
    double last_self_test = 0.0;  // steady seconds at the end of the latest self-test
    // Why the device was taken out of service; written and read on the thread driving it.
    std::string out_of_service_reason;
    char pci_bus_id[32] = {};
    int32_t device = 0;
    int32_t sm_count = 0;
    int32_t grid = 0;
    int32_t blocks_per_sm = 0;
    int32_t loops = kUntunedLoops;
    char name[256] = {};
    int* found_flag = nullptr;
    uint64_t* found_nonce = nullptr;
    uint8_t* found_hash = nullptr;
    int* share_flag = nullptr;
    uint64_t* share_nonce = nullptr;
    uint8_t* share_hash = nullptr;
    // The launch's stop word, written only through control_stream, a non-blocking stream of
    // its own: an abort lands while the launch runs, and after the clearing queued before it.
    int* stop_flag = nullptr;
    CUstream_st* control_stream = nullptr;
    uint8_t* midstate_input = nullptr;
    uint32_t* midstate_output = nullptr;
    // The statistics thread reads the rate while the searching thread adds to it.
    Mutex rate_lock;
    std::deque<RateSample> rate_window GUARDED_BY(rate_lock);
    uint64_t total_hashes GUARDED_BY(rate_lock) = 0;
};
