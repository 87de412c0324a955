#pragma once
// --benchmark: a rig's hash rate without a pool.

#include <cstdint>

#include "mining/miner_env.h"
#include "common/mining_job.h"

inline constexpr int kBenchmarkReportSeconds = 5;

// A job whose block target is zero, which no digest meets, and with no share target: the
// search runs on until it is stopped and publishes nothing.
MiningJob benchmark_job();

// With the GPUs of `env`'s state set up and tuned, searches benchmark_job on all of them
// for `seconds` (or until a shutdown signal), logging each GPU's and the total hash rate every
// kBenchmarkReportSeconds and at the end. Returns the exit status.
int run_benchmark(const MinerEnv& env, int32_t seconds);
