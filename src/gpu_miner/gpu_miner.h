#pragma once
// The engine of one CUDA device: set-up and tuning, the per-job search, the hash rate.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "gpu_miner/constant_block.h"
#include "gpu_miner/hash_rate.h"
#include "gpu_miner/tuning.h"
#include "mining_job.h"

// An initialised engine's launch geometry, for the start-up log and the statistics.
struct GpuInfo {
    int32_t device = 0;
    std::string name;
    int32_t sm_count = 0;
    int32_t grid = 0;
    int32_t threads_per_block = 0;
    int32_t loops = 0;
    int64_t hashes_per_launch = 0;
};

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
    // device cannot be selected, queried or given its buffers.
    void init(int32_t device);
    GpuInfo describe() const;
    // Searches the job until a block is found (true, outcome filled), the stop flag is set,
    // or the search cannot go on (false). Shares, and the block, go to `callback`.
    bool search(const MiningJob& job, const std::atomic<bool>& stop, SearchOutcome& outcome, FindCallback callback,
                void* context);
    void record_launch(uint64_t hashes);
    // MH/s over the last 30 seconds.
    double hashrate();
    // Frees the device buffers and forgets the hash-rate window; the destructor calls it.
    void release();

private:
    double time_launch(int32_t grid, int32_t loops);
    void tune();
    void launch_search_kernel(bool precomp, uint64_t start_nonce, int32_t grid, int32_t loops);
    bool upload_launch_inputs(const ConstantImage& image, bool check_share);
    bool take_block(int64_t timestamp, uint64_t hashes_per_launch, SearchOutcome& outcome, FindCallback callback,
                    void* context);

    LaunchTimer launch_timer;
    int32_t device = 0;
    int32_t sm_count = 0;
    int32_t grid = 0;
    int32_t blocks_per_sm = 0;
    int32_t loops = 16384;
    char name[256] = {};
    int* found_flag = nullptr;
    uint64_t* found_nonce = nullptr;
    uint8_t* found_hash = nullptr;
    int* share_flag = nullptr;
    uint64_t* share_nonce = nullptr;
    uint8_t* share_hash = nullptr;
    std::mutex rate_lock;
    std::deque<RateSample> rate_window;
};
