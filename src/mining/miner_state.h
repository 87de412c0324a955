#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/nats_client.h"
#include "common/mutex.h"
#include "common/stop_flag.h"
#include "common/thread_annotations.h"
#include "gpu_miner/gpu_miner.h"
#include "common/log.h"
#include "common/mining_job.h"
#include "telemetry/nvml_telemetry.h"
#include "common/steady_clock.h"

// One selected device: built at start-up, never changed.
struct GpuSlot {
    int32_t device = 0;
    std::unique_ptr<GpuMiner> engine;
    GpuInfo info;
};

// Lines a peer or a faulty device can make the miner repeat, each kind within a budget; the
// statistics thread reports what they hold back in quiet times.
struct MinerNoise {
    LogBudget hardware_errors{"WARN", "GPU hardware error"};
    LogBudget job_errors{"ERROR", "Job parse error"};
    LogBudget stale_jobs{"DEBUG", "Stale job"};
};

// Process-wide runtime state shared by the main loop, the bus reader, the GPU workers and the
// statistics thread.
struct MinerState {
    std::atomic<bool> running{true};
    StopFlag stop;

    Mutex job_mutex;
    CondVar job_ready;
    std::optional<MiningJob> pending_job GUARDED_BY(job_mutex);
    std::string mining_prev_hash GUARDED_BY(job_mutex);
    std::string last_prev_hash GUARDED_BY(job_mutex);
    std::atomic<int64_t> best_height{0};
    std::atomic<int64_t> share_divisor{0};  // 0: the default divisor is in force
    std::atomic<int64_t> mining_height{0};  // height of the job taken last; 0 before the first

    double start_time = 0.0;
    std::atomic<int32_t> jobs_received{0};
    std::atomic<int32_t> jobs_found{0};
    std::atomic<int32_t> jobs_cancelled{0};
    std::atomic<int32_t> jobs_skipped{0};
    std::atomic<int32_t> shares_sent{0};

    std::vector<GpuSlot> gpus;
    NatsClient bus{"drevik-miner"};
    Nvml nvml;  // opened at start-up; closed (all readings 0) without the driver's library
    MinerNoise noise;

    // Lets shutdown cut the statistics thread's one-second sleep short. It guards no field:
    // `running` is atomic, and taking the mutex after clearing it orders the store before a
    // sleeper's next check, so the wake-up cannot fall between check and wait.
    Mutex tick_mutex;
    CondVar tick_wake;
};
