#include "monitor/status_report.h"

#include <cmath>
#include <cstdio>

#include "common/json_text.h"
#include "monitor/stats.h"

namespace {

double two_decimals(double value) { return std::round(value * 100.0) / 100.0; }

// A label value with backslash, double quote and line feed escaped.
std::string label_value(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string number(int64_t value) { return std::to_string(value); }

class MetricsText {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name, const std::string& labels, const std::string& value) {
        text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string gpu_label(const GpuRate& gpu) { return "gpu=\"" + std::to_string(gpu.device) + "\""; }

}  // namespace

std::string status_json(const MinerSettings& settings, const MinerSnapshot& status) {
    nlohmann::json json = heartbeat_json(settings, status.gpus, status.counts);
    for (size_t i = 0; i < status.gpus.size(); ++i) {
        json["gpus"][i]["hashrate_mhs"] = two_decimals(status.gpus[i].mhs);
    }
    json["jobs_cancelled"] = status.jobs_cancelled;
    json["jobs_skipped"] = status.jobs_skipped;
    json["height"] = status.height;
    json["share_divisor"] = status.share_divisor;
    json["connected"] = status.connected;
    json["server"] = status.connected ? status.server : std::string();
    json["outbox_size"] = status.outbox_size;
    json["outbox_dropped"] = status.outbox_dropped;
    json["refused_oversized"] = status.refused_oversized;
    json["console_dropped"] = status.console_dropped;
    return compact_json(json);
}

std::string status_metrics(const MinerSettings& settings, const MinerSnapshot& status) {
    MetricsText m;
    m.family("drevik_miner_info", "gauge", "Client id of this miner; the value is always 1.");
    m.sample("drevik_miner_info", "client_id=\"" + label_value(settings.client_id) + "\"", "1");
    m.family("drevik_uptime_seconds", "gauge", "Seconds since the miner started.");
    m.sample("drevik_uptime_seconds", "", number(int64_t{status.counts.uptime_seconds}));

    m.family("drevik_gpu_info", "gauge", "Name of each selected GPU; the value is always 1.");
    for (const GpuRate& gpu : status.gpus) {
        m.sample("drevik_gpu_info", gpu_label(gpu) + ",name=\"" + label_value(gpu.name) + "\"", "1");
    }
    m.family("drevik_gpu_state", "gauge", "1 for the state each GPU is in, 0 for the others.");
    for (const GpuRate& gpu : status.gpus) {
        for (const DeviceState state : kDeviceStates) {
            m.sample("drevik_gpu_state", gpu_label(gpu) + ",state=\"" + device_state_name(state) + "\"",
                     gpu.state == state ? "1" : "0");
        }
    }
    const struct {
        const char* name;
        const char* type;
        const char* help;
        std::string (*value)(const GpuRate&);
    } per_gpu[] = {
        {"drevik_hashrate_hashes_per_second", "gauge", "Hash rate of each GPU over the last 30 seconds.",
         [](const GpuRate& gpu) { return number(gpu.mhs * 1e6); }},
        {"drevik_gpu_hardware_errors_total", "counter", "Finds of each GPU that failed the host re-check.",
         [](const GpuRate& gpu) { return number(int64_t{gpu.hw_errors}); }},
        {"drevik_gpu_temperature_celsius", "gauge", "Temperature of each GPU; 0 without telemetry.",
         [](const GpuRate& gpu) { return number(int64_t{gpu.telemetry.temp_c}); }},
        {"drevik_gpu_power_watts", "gauge", "Power draw of each GPU; 0 without telemetry.",
         [](const GpuRate& gpu) { return number(int64_t{gpu.telemetry.power_w}); }},
    };
    for (const auto& figure : per_gpu) {
        m.family(figure.name, figure.type, figure.help);
        for (const GpuRate& gpu : status.gpus) m.sample(figure.name, gpu_label(gpu), figure.value(gpu));
    }

    const struct {
        const char* name;
        const char* help;
        int64_t value;
    } counters[] = {
        {"drevik_jobs_received_total", "Jobs received from the pool.", status.counts.jobs_received},
        {"drevik_jobs_skipped_total", "Jobs skipped as duplicates or stale.", status.jobs_skipped},
        {"drevik_jobs_cancelled_total", "Jobs cancelled by the pool.", status.jobs_cancelled},
        {"drevik_blocks_found_total", "Blocks found and published.", status.counts.found},
        {"drevik_shares_sent_total", "Shares published.", status.counts.shares},
        {"drevik_bus_outbox_dropped_total", "Shares and blocks that fell out of the full outbox.",
         static_cast<int64_t>(status.outbox_dropped)},
        {"drevik_bus_refused_oversized_total", "Publishes refused as larger than the server's max_payload.",
         static_cast<int64_t>(status.refused_oversized)},
        {"drevik_console_dropped_lines_total", "Console lines dropped while standard error was blocked.",
         static_cast<int64_t>(status.console_dropped)},
    };
    for (const auto& counter : counters) {
        m.family(counter.name, "counter", counter.help);
        m.sample(counter.name, "", number(counter.value));
    }

    m.family("drevik_job_height", "gauge", "Height of the job taken last; 0 before the first.");
    m.sample("drevik_job_height", "", number(status.height));
    m.family("drevik_share_divisor", "gauge", "Share divisor in force.");
    m.sample("drevik_share_divisor", "", number(status.share_divisor));
    m.family("drevik_bus_connected", "gauge", "1 while connected to a NATS server.");
    m.sample("drevik_bus_connected", "", status.connected ? "1" : "0");
    m.family("drevik_bus_outbox_messages", "gauge", "Shares and blocks kept until the server confirms them.");
    m.sample("drevik_bus_outbox_messages", "", number(static_cast<int64_t>(status.outbox_size)));
    return m.take();
}
