#pragma once

#include <cstdint>
#include <string>

#include "mining_job.h"
#include "settings.h"

inline constexpr const char* kShareSubject = "drevik.mining.share";
inline constexpr const char* kResultSubject = "drevik.mining.result";

std::string share_message(const MiningJob& job, const std::string& nonce, int64_t timestamp,
                          const MinerSettings& settings);
// `found` is the job with the winning timestamp, nonce and block hash filled in.
std::string result_message(const MiningJob& found, const MinerSettings& settings);

// The search's find callback; `context` points to the MiningJob being searched.
void publish_share(const std::string& nonce, int64_t timestamp, int32_t device, void* context);
void publish_block(const MiningJob& job, const std::string& nonce, const std::string& block_hash,
                   int64_t timestamp);
