#include "monitor/stats.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/json_text.h"
#include "common/log.h"
#include "common/mutex.h"
#include "common/run_reporting.h"
#include "mining/dispatch.h"
#include "pool/job_message.h"
#include "pool/subjects.h"

TickDue advance_tick(StatsTicks& ticks, int32_t stats_interval) {
    TickDue due;
    ++ticks.heartbeat;
    ++ticks.report;
    if (ticks.heartbeat >= kHeartbeatTicks) {
        due.heartbeat = true;
        ticks.heartbeat = 0;
    }
    if (ticks.report >= stats_interval) {
        due.report = true;
        ticks.report = 0;
    }
    return due;
}

std::string gpu_row(const GpuRate& rate) {
    char row[512];
    std::snprintf(row, sizeof row, "  GPU %d: %s | %.1f MH/s | %dC %dW | hw_errors=%d | %s", rate.device,
                  rate.name.c_str(), rate.mhs, rate.telemetry.temp_c, rate.telemetry.power_w, rate.hw_errors,
                  device_state_name(rate.state));
    return row;
}

nlohmann::json heartbeat_json(const MinerSettings& settings, const std::vector<GpuRate>& rates,
                              const HeartbeatCounts& counts) {
    nlohmann::json gpus = nlohmann::json::array();
    for (const GpuRate& rate : rates) {
        gpus.push_back({{"index", rate.device},
                        {"name", rate.name},
                        {"temp_c", rate.telemetry.temp_c},
                        {"power_w", rate.telemetry.power_w},
                        {"fan_pct", rate.telemetry.fan_pct},
                        {"util_pct", rate.telemetry.util_pct},
                        {"mem_used_mb", rate.telemetry.mem_used_mb},
                        {"mem_total_mb", rate.telemetry.mem_total_mb},
                        {"hw_errors", rate.hw_errors},
                        {"state", device_state_name(rate.state)}});
    }
    return {
        {"client_id", settings.client_id},
        {"hostname", settings.client_id},
        {"hashrate_mhs", std::round(total_mhs(rates) * 100.0) / 100.0},
        {"gpus", gpus},
        {"uptime_seconds", counts.uptime_seconds},
        {"found_session", counts.found},
        {"shares_session", counts.shares},
        {"jobs_received", counts.jobs_received},
        {"version", "3.0.0"},
        {"wallet", settings.wallet},
    };
}

std::string heartbeat_text(const MinerSettings& settings, const std::vector<GpuRate>& rates,
                           const HeartbeatCounts& counts) {
    return compact_json(heartbeat_json(settings, rates, counts));
}

void send_heartbeat(const MinerEnv& env, StatsFileLog& file_log) {
    const MinerSettings& settings = env.settings;
    const MinerSnapshot snapshot = take_snapshot(env.state);
    const std::string text = heartbeat_text(settings, snapshot.gpus, snapshot.counts);
    env.publisher.publish(kHeartbeatSubjectPrefix + settings.client_id, text);
    store_stats_file(file_log, settings.stats_file, text);
}

void log_report(const MinerSnapshot& snapshot) {
    const double hours = snapshot.uptime / 3600.0;
    log_line("INFO", "--------------------------------------------");
    log_line("INFO", "STATS (uptime %.1fh)", hours);
    for (const GpuRate& rate : snapshot.gpus) log_line("INFO", "%s", gpu_row(rate).c_str());
    log_line("INFO", "  Total: %.1f MH/s", total_mhs(snapshot.gpus));
    const int32_t received = snapshot.counts.jobs_received;
    const int32_t found = snapshot.counts.found;
    const int32_t shares = snapshot.counts.shares;
    log_line("INFO", "  Jobs: recv=%d found=%d cancel=%d skip=%d shares=%d", received, found, snapshot.jobs_cancelled,
             snapshot.jobs_skipped, shares);
    if (hours > 0) {
        log_line("INFO", "  Rate: %.1f jobs/h | %.2f found/h | %.1f shares/h", received / hours, found / hours,
                 shares / hours);
    }
    log_line("INFO", "  Share divisor: %lld (%s)", static_cast<long long>(snapshot.share_divisor),
             snapshot.share_divisor_dynamic ? "dynamic" : "default");
    log_line("INFO", "  NATS: %s (%s)", snapshot.connected ? "connected" : "disconnected", snapshot.server.c_str());
    log_line("INFO", "--------------------------------------------");
}

void print_report(MinerState& state) { log_report(take_snapshot(state)); }

namespace {

void log_noise_held_back(MinerNoise& noise) {
    for (LogBudget* budget : {&noise.hardware_errors, &noise.job_errors, &noise.stale_jobs}) log_held_back(*budget);
}

}  // namespace

void stats_loop(const MinerEnv& env) {
    StatsTicks ticks;
    StatsFileLog file_log;
    while (env.state.running.load()) {
        if (!sleep_unless_shutdown(env.state, 1.0)) return;
        const TickDue due = advance_tick(ticks, env.settings.stats_interval);
        // The thread's work ends here: a failed tick is logged, and the next tick goes on.
        run_reporting(
            [&] {
                if (due.heartbeat) send_heartbeat(env, file_log);
                if (due.report) print_report(env.state);
                log_noise_held_back(env.state.noise);
            },
            [](const char* what) { log_line("ERROR", "Statistics tick failed: %s", what); });
    }
}
