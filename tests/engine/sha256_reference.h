#pragma once
// OpenSSL as the independent reference for everything the kernels compute.

#define OPENSSL_SUPPRESS_DEPRECATED  // SHA256_CTX exposes the chaining value after whole blocks
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "gpu_miner/preimage.h"

using Digest = std::array<uint8_t, 32>;

inline Digest sha256_digest(const std::string& bytes) {
    Digest digest{};
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    return digest;
}

// The chaining value after the whole 64-byte blocks among `bytes`.
inline std::array<uint32_t, 8> sha256_chaining_value(const std::string& bytes) {
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, bytes.data(), bytes.size() / 64 * 64);
    std::array<uint32_t, 8> state{};
    for (int k = 0; k < 8; ++k) state[k] = context.h[k];
    return state;
}

// The digest as a 256-bit number: eight big-endian words, word 0 most significant.
inline Target digest_words(const Digest& digest) {
    Target words{};
    for (size_t k = 0; k < 8; ++k) {
        words[k] = (uint32_t{digest[4 * k]} << 24) | (uint32_t{digest[4 * k + 1]} << 16) |
                   (uint32_t{digest[4 * k + 2]} << 8) | digest[4 * k + 3];
    }
    return words;
}

// A pre-image prefix of the real shape: 78 characters of block hash text, 64 of header hash.
inline std::string random_prefix(std::mt19937_64& random) {
    static const char digits[] = "0123456789abcdef";
    std::string prefix(kPrefixLength, '0');
    for (char& c : prefix) c = digits[random() % 16];
    return prefix;
}
