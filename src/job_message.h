#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "bus/nats_client.h"
#include "common/thread_annotations.h"
#include "miner_state.h"
#include "common/mining_job.h"

// Answered by the pool with the job being mined now, exactly as on "drevik.mining.job".
inline constexpr const char* kCurrentJobSubject = "drevik.mining.job.current";

// A height lower than the best one counts as stale only within this distance. A job far below
// means the chain was reset or the best height came from a bogus job; taking it, instead of
// skipping every later job until restart, lets mining go on.
inline constexpr int64_t kStaleWindow = 1000;

// Parser error texts quote the offending input; the console gets this much of them.
inline constexpr size_t kMaxErrorTextBytes = 300;

// Integer member of a JSON object, read tolerantly: a number (floats truncated), or a string
// read as decimal with leading blanks, sign and trailing characters allowed. Anything else,
// and values outside the signed 64-bit range, read as 0.
int64_t read_int_field(const nlohmann::json& value, const char* key);

// Share difficulty under `share_divisor` (0 selects the default divisor); at least 1.
int64_t share_difficulty_for(int64_t difficulty, int64_t share_divisor);

// Parses a job message; throws the JSON library's exceptions on malformed input.
MiningJob parse_job_message(const std::string& payload, int64_t share_divisor);

// Applies the duplicate, stale and newest-job rules and queues an accepted job.
void accept_job(MinerState& state, MiningJob job) EXCLUDES(state.job_mutex);

void handle_job_message(MinerState& state, const NatsMsg& message) EXCLUDES(state.job_mutex);
void on_job_message(const NatsMsg& message);
