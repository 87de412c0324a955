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

// True when the prefix has the one length the kernels hash correctly; otherwise prints
// "[GPU d] ERROR: ..." to standard error (tail_len for a wrong tail, prefix_len for a
// 14-byte tail at the wrong total length).
bool prefix_is_searchable(int device, size_t prefix_length);
