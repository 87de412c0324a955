#pragma once
// What the local status API serves: one snapshot of the miner, as JSON (/status) and in the
// Prometheus text exposition format (/metrics). A new figure goes into StatusSnapshot, is
// filled by take_status, and is written by both renderers.

#include <cstdint>
#include <string>
#include <vector>

#include "miner_state.h"
#include "settings.h"
#include "stats.h"

struct StatusSnapshot {
    std::vector<GpuRate> gpus;  // with each device's state and hardware errors
    HeartbeatCounts counts;     // uptime, found, shares, jobs received: as in the heartbeat
    int32_t jobs_cancelled = 0;
    int32_t jobs_skipped = 0;
    int64_t height = 0;         // of the job taken last; 0 before the first
    int64_t share_divisor = 0;  // the divisor in force
    bool connected = false;
    std::string server;              // host:port of the connected server; empty when disconnected
    size_t outbox_size = 0;          // shares and blocks kept until the server confirms them
    uint64_t outbox_dropped = 0;     // that fell out of the full outbox
    uint64_t refused_oversized = 0;  // publishes above the server's max_payload
    uint64_t console_dropped = 0;    // console lines dropped while standard error was blocked
};

StatusSnapshot take_status(MinerState& state);

// The heartbeat's object with, per GPU, "hashrate_mhs", and at the top level the further
// counters, the height, the share divisor, the bus connection, its outbox and the console.
std::string status_json(const MinerSettings& settings, const StatusSnapshot& status);

std::string status_metrics(const MinerSettings& settings, const StatusSnapshot& status);
