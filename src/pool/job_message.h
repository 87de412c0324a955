#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "common/mining_job.h"

inline constexpr int64_t kDefaultShareDivisor = 4096;

// Integer member of a JSON object, read tolerantly: a number (floats truncated), or a string
// read as decimal with leading blanks, sign and trailing characters allowed. Anything else,
// and values outside the signed 64-bit range, read as 0.
int64_t read_int_field(const nlohmann::json& value, const char* key);

// Share difficulty under `share_divisor` (0 selects the default divisor); at least 1.
int64_t share_difficulty_for(int64_t difficulty, int64_t share_divisor);

// Parses a job message; throws the JSON library's exceptions on malformed input.
MiningJob parse_job_message(const std::string& payload, int64_t share_divisor);
