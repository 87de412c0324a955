#pragma once

#include "bus/nats_client.h"
#include "common/thread_annotations.h"
#include "mining/miner_state.h"

inline constexpr int64_t kMinShareDivisor = 256;
inline constexpr int64_t kMaxShareDivisor = 131072;

// Cancel: stops the search of the job most recently taken when the message names it.
void handle_cancel_message(MinerState& state, const NatsMsg& message) EXCLUDES(state.job_mutex);
// Config: sets the share divisor used for jobs received from now on.
void handle_config_message(MinerState& state, const NatsMsg& message);
