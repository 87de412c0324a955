#include "gpu_miner/preimage.h"

#include <openssl/evp.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>

std::string hex_encode(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    return text;
}

std::string sha256_hex(std::string_view bytes) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    uint8_t digest[32];
    unsigned int length = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != sizeof digest) {
        throw std::runtime_error("SHA-256 through OpenSSL EVP failed");
    }
    return hex_encode(digest, sizeof digest);
}

std::string compute_receipt_root(const std::vector<std::string>& receipts) {
    if (receipts.empty()) return sha256_hex("");
    std::vector<std::string> level;
    level.reserve(receipts.size());
    for (const std::string& receipt : receipts) level.push_back(sha256_hex(receipt));
    while (level.size() > 1) {
        std::vector<std::string> next;
        next.reserve((level.size() + 1) / 2);
        for (size_t i = 0; i < level.size(); i += 2) {
            // An odd last entry is carried up as it is, neither hashed nor duplicated.
            next.push_back(i + 1 < level.size() ? sha256_hex(level[i] + level[i + 1]) : level[i]);
        }
        level = std::move(next);
    }
    return level.front();
}

std::string header_text(const MiningJob& job, const std::string& receipt_root) {
    // Plain concatenation, no escaping: the pool reproduces these exact bytes.
    std::string text;
    text.reserve(320);
    text += "{\"height\":";
    text += std::to_string(job.height);
    text += ",\"timestamp\":";
    text += std::to_string(job.timestamp);
    text += ",\"receipt_root\":\"";
    text += receipt_root;
    text += "\",\"main_height\":";
    text += std::to_string(job.main_height);
    text += ",\"main_blockhash\":\"";
    text += job.main_blockhash;
    text += "\",\"validator\":\"";
    text += job.validator;
    text += "\",\"miner\":\"";
    text += job.miner;
    text += "\"}";
    return text;
}

std::string compute_header_hash(const MiningJob& job) {
    return sha256_hex(header_text(job, compute_receipt_root(job.receipts)));
}

std::string mining_prefix(const MiningJob& job) { return job.previous_blockhash + compute_header_hash(job); }

Target difficulty_to_target(int64_t difficulty) {
    Target target{};
    if (difficulty <= 0) return target;
    // (2^256 - 1) / difficulty as a long division over four all-ones 64-bit limbs.
    const unsigned __int128 divisor = static_cast<uint64_t>(difficulty);
    unsigned __int128 remainder = 0;
    for (size_t limb = 0; limb < 4; ++limb) {
        const unsigned __int128 dividend = (remainder << 64) | UINT64_MAX;
        const uint64_t quotient = static_cast<uint64_t>(dividend / divisor);
        remainder = dividend % divisor;
        target[2 * limb] = static_cast<uint32_t>(quotient >> 32);
        target[2 * limb + 1] = static_cast<uint32_t>(quotient);
    }
    return target;
}

std::string nonce_text(uint64_t nonce) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, nonce);
    return text;
}

std::string block_hash_text(int64_t window_timestamp, const uint8_t digest[32]) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%014llx", static_cast<unsigned long long>(window_timestamp));
    return stamp + sha256_hex(hex_encode(digest, 32));
}

std::string prefix_fault(size_t prefix_length) {
    const size_t tail = prefix_length % 64;
    if (tail != kPrefixLength % 64) return "tail_len=" + std::to_string(tail);
    if (prefix_length != kPrefixLength) {
        return "prefix_len=" + std::to_string(prefix_length) + " (expected " + std::to_string(kPrefixLength) + ")";
    }
    return "";
}
