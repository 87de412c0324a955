#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/settings.h"
#include "mining/miner_env.h"
#include "mining/miner_state.h"
#include "monitor/snapshot.h"
#include "monitor/stats_file.h"

inline constexpr int kHeartbeatTicks = 10;

// The tick counters of the statistics thread and what one tick must do.
struct StatsTicks {
    int heartbeat = 0;
    int report = 0;
};
struct TickDue {
    bool heartbeat = false;
    bool report = false;
};
TickDue advance_tick(StatsTicks& ticks, int32_t stats_interval);

// The console row of one slot.
std::string gpu_row(const GpuRate& rate);
// The heartbeat object, which the status API extends, and its wire text.
nlohmann::json heartbeat_json(const MinerSettings& settings, const std::vector<GpuRate>& rates,
                              const HeartbeatCounts& counts);
std::string heartbeat_text(const MinerSettings& settings, const std::vector<GpuRate>& rates,
                           const HeartbeatCounts& counts);
// Publishes the heartbeat and writes its text to the statistics file.
void send_heartbeat(const MinerEnv& env, StatsFileLog& file_log);
// The console report: INFO lines.
void log_report(const MinerSnapshot& snapshot);
void print_report(MinerState& state);

// The statistics thread: a tick a second until shutdown, the heartbeat and the report when due.
// A tick that throws is logged and the next one goes on.
void stats_loop(const MinerEnv& env);
