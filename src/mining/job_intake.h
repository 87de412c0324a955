#pragma once
// The jobs the pool sends, parsed and handed to the dispatch loop under the duplicate, stale and
// newest-job rules.

#include <cstddef>
#include <cstdint>

#include "bus/nats_client.h"
#include "common/mining_job.h"
#include "common/thread_annotations.h"
#include "mining/miner_state.h"

// A height lower than the best one counts as stale only within this distance. A job far below
// means the chain was reset or the best height came from a bogus job; taking it, instead of
// skipping every later job until restart, lets mining go on.
inline constexpr int64_t kStaleWindow = 1000;

// Parser error texts quote the offending input; the console gets this much of them.
inline constexpr size_t kMaxErrorTextBytes = 300;

// Applies the duplicate, stale and newest-job rules and queues an accepted job.
void accept_job(MinerState& state, MiningJob job) EXCLUDES(state.job_mutex);

void handle_job_message(MinerState& state, const NatsMsg& message) EXCLUDES(state.job_mutex);
