#pragma once
// One snapshot of the miner, taken in one place, that every report renders: the heartbeat, the
// statistics file, the console report, the status API (/status, /metrics) and the benchmark's
// lines. A new figure goes in here, is filled by take_snapshot, and is written by the
// renderers that show it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu_miner/gpu_miner.h"
#include "mining/miner_state.h"
#include "telemetry/nvml_telemetry.h"

// One slot as the statistics show it.
struct GpuRate {
    int32_t device = 0;
    std::string name;
    double mhs = 0.0;
    GpuTelemetry telemetry;
    int32_t hw_errors = 0;
    DeviceState state = DeviceState::idle;
};

struct HeartbeatCounts {
    int32_t uptime_seconds = 0;
    int32_t found = 0;
    int32_t shares = 0;
    int32_t jobs_received = 0;
};

struct MinerSnapshot {
    double uptime = 0.0;        // seconds since start, unrounded: the report's rates use it
    std::vector<GpuRate> gpus;  // with each device's state and hardware errors
    HeartbeatCounts counts;     // uptime, found, shares, jobs received: as in the heartbeat
    int32_t jobs_cancelled = 0;
    int32_t jobs_skipped = 0;
    int64_t height = 0;                  // of the job taken last; 0 before the first
    int64_t share_divisor = 0;           // the divisor in force
    bool share_divisor_dynamic = false;  // set by the pool, not the default
    bool connected = false;
    std::string server;              // host:port of the server connected or being connected to, else empty
    size_t outbox_size = 0;          // shares and blocks kept until the server confirms them
    uint64_t outbox_dropped = 0;     // that fell out of the full outbox
    uint64_t refused_oversized = 0;  // publishes above the server's max_payload
    uint64_t console_dropped = 0;    // console lines dropped while standard error was blocked
};

MinerSnapshot take_snapshot(MinerState& state);

std::vector<GpuRate> gpu_rates(std::vector<GpuSlot>& gpus, const Nvml& nvml);
// The sum of the slots' rates, in slot order.
double total_mhs(const std::vector<GpuRate>& gpus);
