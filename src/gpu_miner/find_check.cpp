#include "gpu_miner/find_check.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace {

bool is_nonce_text(const std::string& nonce) {
    return nonce.size() == 16 && std::all_of(nonce.begin(), nonce.end(),
                                             [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The digest as a 256-bit big-endian number against the target, word 0 first.
bool meets_target(const uint8_t digest[32], const Target& target) {
    for (size_t i = 0; i < target.size(); ++i) {
        const uint32_t word = uint32_t{digest[4 * i]} << 24 | uint32_t{digest[4 * i + 1]} << 16 |
                              uint32_t{digest[4 * i + 2]} << 8 | uint32_t{digest[4 * i + 3]};
        if (word != target[i]) return word < target[i];
    }
    return true;
}

}  // namespace

FindCheck check_find(const std::string& prefix, const std::string& nonce, const uint8_t device_digest[32],
                     const Target& target) {
    if (!is_nonce_text(nonce)) return FindCheck::bad_nonce_text;
    const std::string preimage = prefix + nonce;
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(preimage.data(), preimage.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32 ||
        std::memcmp(digest, device_digest, 32) != 0) {
        return FindCheck::digest_mismatch;
    }
    return meets_target(digest, target) ? FindCheck::valid : FindCheck::above_target;
}

const char* find_check_text(FindCheck check) {
    switch (check) {
        case FindCheck::valid:
            return "valid";
        case FindCheck::bad_nonce_text:
            return "nonce is not 16 hex digits";
        case FindCheck::digest_mismatch:
            return "SHA-256 of the pre-image differs from the device's digest";
        case FindCheck::above_target:
            return "hash above the target";
    }
    return "unknown";
}
