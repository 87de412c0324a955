#pragma once
// The messages a find sends the pool: shares and block results.

#include <cstdint>
#include <string>

#include "bus/nats_outbox.h"
#include "common/mining_job.h"
#include "config/settings.h"

std::string share_message(const MiningJob& job, const std::string& nonce, int64_t timestamp,
                          const MinerSettings& settings);
// `found` is the job with the winning timestamp, nonce and block hash filled in.
std::string result_message(const MiningJob& found, const MinerSettings& settings);

// The id a stream stores a result under once: a find is one kind, height and nonce.
std::string result_msg_id(KeptKind kind, int64_t height, const std::string& nonce);
