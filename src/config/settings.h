#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus/nats_outbox.h"

// What the process does: mine (the default), or one operator command that ends by itself.
enum class RunMode { mine, version, list_devices, benchmark, self_test };

inline constexpr const char* kDefaultStatsFile = "/tmp/drevik-miner-stats.json";
inline constexpr const char* kDefaultApiBind = "127.0.0.1";
inline constexpr int32_t kDefaultBenchmarkSeconds = 30;
// Each GPU is self-tested at start-up and again this often while mining: the test costs a few
// milliseconds of GPU time, and a device that goes bad mines for nothing until it runs.
inline constexpr double kDefaultSelfTestHours = 1.0;
inline constexpr double kMaxSelfTestHours = 8760.0;  // a year

// Process-wide settings: filled from the command line before any thread starts, read-only after.
struct MinerSettings {
    std::string client_id;
    std::vector<std::string> servers;
    std::vector<int32_t> gpu_ids;
    bool gpus_given = false;
    std::string wallet;
    int32_t stats_interval = 60;
    // TLS for the bus: a CA file instead of the system trust store, a client certificate.
    std::string tls_ca;
    std::string tls_cert;
    std::string tls_key;
    std::string stats_file = kDefaultStatsFile;
    int32_t api_port = 0;  // 0: no status API
    std::string api_bind = kDefaultApiBind;
    ResultsAck results_ack = ResultsAck::automatic;
    std::string journal;  // empty: results are kept in memory only
    RunMode mode = RunMode::mine;
    int32_t benchmark_seconds = kDefaultBenchmarkSeconds;
    double self_test_hours = kDefaultSelfTestHours;  // 0: at start-up only
};

extern MinerSettings g_settings;

inline constexpr const char* kDefaultServerUrl = "nats://127.0.0.1:4222";
// Read instead of --nats when set, so that a secret in a URL need not be on the command line,
// where every local user can read it.
inline constexpr const char* kServerUrlVariable = "DREVIK_NATS_URL";

MinerSettings default_settings();

// Fills `settings` from argv. On --help or a bad argument it prints to standard error and
// returns false: the process then exits with status 1.
bool parse_command_line(int argc, const char* const* argv, MinerSettings& settings);

// Replaces an auto-detected (not given) GPU list with the usable devices. Returns false,
// after printing the error, when auto-detection finds none.
bool resolve_gpu_list(MinerSettings& settings);

std::vector<std::string> split_comma_list(const std::string& text);
