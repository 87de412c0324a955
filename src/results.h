#pragma once

#include <cstdint>
#include <string>

#include "miner_env.h"
#include "common/mining_job.h"
#include "settings.h"

inline constexpr const char* kShareSubject = "drevik.mining.share";
inline constexpr const char* kResultSubject = "drevik.mining.result";

std::string share_message(const MiningJob& job, const std::string& nonce, int64_t timestamp,
                          const MinerSettings& settings);
// `found` is the job with the winning timestamp, nonce and block hash filled in.
std::string result_message(const MiningJob& found, const MinerSettings& settings);

// The id a stream stores a result under once: a find is one kind, height and nonce.
std::string result_msg_id(KeptKind kind, int64_t height, const std::string& nonce);

// Sends a share of `job` (kept across a reconnect) and counts it.
void publish_share(const MinerEnv& env, const MiningJob& job, const std::string& nonce, int64_t timestamp);
void publish_block(const MinerEnv& env, const MiningJob& job, const std::string& nonce, const std::string& block_hash,
                   int64_t timestamp);
