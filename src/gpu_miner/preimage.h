#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/mining_job.h"

// A 256-bit target as eight 32-bit words, word 0 most significant.
using Target = std::array<uint32_t, 8>;

// The search kernels hash exactly this shape: 78-char previous hash + 64-char header hash,
// then 16 nonce digits (158 bytes, 1264 bits).
inline constexpr size_t kPrefixLength = 142;
inline constexpr size_t kPreimageLength = 158;

std::string sha256_hex(std::string_view bytes);
std::string hex_encode(const uint8_t* bytes, size_t count);
std::string compute_receipt_root(const std::vector<std::string>& receipts);
std::string header_text(const MiningJob& job, const std::string& receipt_root);
// `job.timestamp` must already hold the window timestamp.
std::string compute_header_hash(const MiningJob& job);
std::string mining_prefix(const MiningJob& job);
Target difficulty_to_target(int64_t difficulty);
std::string nonce_text(uint64_t nonce);
std::string block_hash_text(int64_t window_timestamp, const uint8_t digest[32]);

// Empty when the prefix has the one length the kernels hash correctly; otherwise what is wrong:
// "tail_len=N" for a wrong tail, "prefix_len=N (expected 142)" for the right tail at another
// total length.
std::string prefix_fault(size_t prefix_length);
