#include "stats.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/json_text.h"
#include "common/mutex.h"
#include "common/run_reporting.h"
#include "log.h"

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

std::vector<GpuRate> gpu_rates(std::vector<GpuSlot>& gpus, const Nvml& nvml) {
    std::vector<GpuRate> rates;
    rates.reserve(gpus.size());
    for (GpuSlot& slot : gpus) {
        GpuRate rate{slot.device, slot.info.name, 0.0, nvml.read(slot.info.pci_bus_id), 0, DeviceState::idle};
        if (slot.engine) {
            rate.mhs = slot.engine->hashrate();
            rate.hw_errors = slot.engine->hardware_errors();
            rate.state = slot.engine->state();
        }
        rates.push_back(rate);
    }
    return rates;
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
    double total = 0.0;
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
        total += rate.mhs;
    }
    return {
        {"client_id", settings.client_id},
        {"hostname", settings.client_id},
        {"hashrate_mhs", std::round(total * 100.0) / 100.0},
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
    MinerState& state = env.state;
    const MinerSettings& settings = env.settings;
    HeartbeatCounts counts;
    counts.uptime_seconds = static_cast<int32_t>(steady_seconds() - state.start_time);
    const std::vector<GpuRate> rates = gpu_rates(state.gpus, state.nvml);
    counts.found = state.jobs_found.load();
    counts.shares = state.shares_sent.load();
    counts.jobs_received = state.jobs_received.load();
    const std::string text = heartbeat_text(settings, rates, counts);
    env.publisher.publish(kHeartbeatSubjectPrefix + settings.client_id, text);
    store_stats_file(file_log, settings.stats_file, text);
}

void print_report(MinerState& state) {
    const double hours = (steady_seconds() - state.start_time) / 3600.0;
    log_line("INFO", "--------------------------------------------");
    log_line("INFO", "STATS (uptime %.1fh)", hours);
    double total = 0.0;
    for (const GpuRate& rate : gpu_rates(state.gpus, state.nvml)) {
        log_line("INFO", "%s", gpu_row(rate).c_str());
        total += rate.mhs;
    }
    log_line("INFO", "  Total: %.1f MH/s", total);
    const int32_t received = state.jobs_received.load();
    const int32_t found = state.jobs_found.load();
    const int32_t cancelled = state.jobs_cancelled.load();
    const int32_t skipped = state.jobs_skipped.load();
    const int32_t shares = state.shares_sent.load();
    log_line("INFO", "  Jobs: recv=%d found=%d cancel=%d skip=%d shares=%d", received, found, cancelled, skipped,
             shares);
    if (hours > 0) {
        log_line("INFO", "  Rate: %.1f jobs/h | %.2f found/h | %.1f shares/h", received / hours, found / hours,
                 shares / hours);
    }
    const long long divisor = static_cast<long long>(state.share_divisor.load());
    if (divisor > 0) {
        log_line("INFO", "  Share divisor: %lld (%s)", divisor, "dynamic");
    } else {
        log_line("INFO", "  Share divisor: %lld (%s)", static_cast<long long>(kDefaultShareDivisor), "default");
    }
    const bool connected = state.bus.is_connected();
    const std::string server = state.bus.current_server_copy();
    log_line("INFO", "  NATS: %s (%s)", connected ? "connected" : "disconnected", server.c_str());
    log_line("INFO", "--------------------------------------------");
}

namespace {

void log_noise_held_back(MinerNoise& noise) {
    for (LogBudget* budget : {&noise.hardware_errors, &noise.job_errors, &noise.stale_jobs}) log_held_back(*budget);
}

// One tick's sleep; false when shutdown was requested meanwhile.
bool sleep_one_tick(MinerState& state) EXCLUDES(state.tick_mutex) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    MutexLock lock(state.tick_mutex);
    while (state.running.load() && state.tick_wake.wait_until(state.tick_mutex, deadline)) {
    }
    return state.running.load();
}

}  // namespace

void stats_loop(const MinerEnv& env) {
    StatsTicks ticks;
    StatsFileLog file_log;
    while (env.state.running.load()) {
        if (!sleep_one_tick(env.state)) return;
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
