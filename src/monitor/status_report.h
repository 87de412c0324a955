#pragma once
// What the local status API serves: the miner's snapshot as JSON (/status) and in the
// Prometheus text exposition format (/metrics).

#include <string>

#include "config/settings.h"
#include "monitor/snapshot.h"

// The heartbeat's object with, per GPU, "hashrate_mhs", and at the top level the further
// counters, the height, the share divisor, the bus connection, its outbox and the console.
std::string status_json(const MinerSettings& settings, const MinerSnapshot& status);

std::string status_metrics(const MinerSettings& settings, const MinerSnapshot& status);
