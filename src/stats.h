#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "miner_env.h"
#include "miner_state.h"
#include "settings.h"
#include "stats_file.h"

inline constexpr const char* kHeartbeatSubjectPrefix = "drevik.monitor.heartbeat.";
inline constexpr int kHeartbeatTicks = 10;

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

std::vector<GpuRate> gpu_rates(std::vector<GpuSlot>& gpus, const Nvml& nvml);
// The console row of one slot.
std::string gpu_row(const GpuRate& rate);
// The heartbeat object, which the status API extends, and its wire text.
nlohmann::json heartbeat_json(const MinerSettings& settings, const std::vector<GpuRate>& rates,
                              const HeartbeatCounts& counts);
std::string heartbeat_text(const MinerSettings& settings, const std::vector<GpuRate>& rates,
                           const HeartbeatCounts& counts);
// Publishes the heartbeat and writes its text to the statistics file.
void send_heartbeat(const MinerEnv& env, StatsFileLog& file_log);
void print_report(MinerState& state);

// The statistics thread: a tick a second until shutdown, the heartbeat and the report when due.
// A tick that throws is logged and the next one goes on.
void stats_loop(const MinerEnv& env);
