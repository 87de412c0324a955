#pragma once
// The host's own check of a find reported by a device, before anything is published.

#include <cstdint>
#include <string>

#include "gpu_miner/preimage.h"

enum class FindCheck { valid, bad_nonce_text, digest_mismatch, above_target };

// Hashes `prefix` + `nonce` with OpenSSL and checks the result against the digest the device
// reported and against `target`.
FindCheck check_find(const std::string& prefix, const std::string& nonce, const uint8_t device_digest[32],
                     const Target& target);
const char* find_check_text(FindCheck check);
