#include "gpu_miner/constant_block.h"

#include <algorithm>

#include "kernels/sha256_constants.h"

const Sha256State kSha256InitialState = {SHA256_INITIAL_STATE};

namespace {

constexpr uint32_t kRoundConstants[64] = {SHA256_ROUND_CONSTANTS};

// σ1 of the final block's bit length, the constant part of W17.
constexpr uint32_t kSigma1OfLength = 0x02E60001u;

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

uint32_t big_endian_word(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

uint32_t digit_code(uint64_t nonce, int digit) {
    const uint32_t value = static_cast<uint32_t>(nonce >> (60 - 4 * digit)) & 15;
    return value < 10 ? '0' + value : 'a' + (value - 10);
}

void store_state(ConstantImage& image, int at, const Sha256State& state) {
    std::copy(state.begin(), state.end(), image.begin() + at);
}

// The words the kernels compute with on the GPU: additions as multiply-adds by 1, shifts as
// multiply-highs by 2^29 and 2^22.
void store_multipliers(ConstantImage& image) {
    image[constant_word::one] = 1;
    image[constant_word::shift_3] = uint32_t{1} << 29;
    image[constant_word::shift_10] = uint32_t{1} << 22;
}

Sha256State midstate_of(const ConstantImage& image) {
    Sha256State midstate;
    std::copy_n(image.begin() + constant_word::midstate, 8, midstate.begin());
    return midstate;
}

}  // namespace

Sha256State sha256_rounds(const Sha256State& state, const uint32_t* w, int n) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < n; ++i) {
        const uint32_t t1 =
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + kRoundConstants[i] + w[i];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    return {a, b, c, d, e, f, g, h};
}

void set_targets(ConstantImage& image, const Target& block, const Target& share) {
    std::copy(block.begin(), block.end(), image.begin() + constant_word::block_target);
    std::copy(share.begin(), share.end(), image.begin() + constant_word::share_target);
}

void set_window(ConstantImage& image, const Sha256State& midstate, const uint8_t* tail) {
    const uint32_t w[3] = {big_endian_word(tail), big_endian_word(tail + 4), big_endian_word(tail + 8)};
    store_state(image, constant_word::midstate, midstate);
    image[constant_word::w0] = w[0];
    image[constant_word::w1] = w[1];
    image[constant_word::w2] = w[2];
    image[constant_word::w3_base] = (uint32_t{tail[12]} << 24) | (uint32_t{tail[13]} << 16);
    store_state(image, constant_word::state_after_3, sha256_rounds(midstate, w, 3));
    image[constant_word::w16] = small_sigma0(w[1]) + w[0];
    image[constant_word::w17] = w[1] + small_sigma0(w[2]) + kSigma1OfLength;
    image[constant_word::w31_part] = small_sigma0(image[constant_word::w16]) + kPreimageBits;
    image[constant_word::w32_part] = small_sigma0(image[constant_word::w17]) + image[constant_word::w16];
    store_multipliers(image);
}

void set_launch_digits(ConstantImage& image, uint64_t start_nonce) {
    const uint32_t w3 = image[constant_word::w3_base] | (digit_code(start_nonce, 0) << 8) | digit_code(start_nonce, 1);
    const uint32_t w4 = (digit_code(start_nonce, 2) << 24) | (digit_code(start_nonce, 3) << 16) |
                        (digit_code(start_nonce, 4) << 8) | digit_code(start_nonce, 5);
    const uint32_t w[5] = {image[constant_word::w0], image[constant_word::w1], image[constant_word::w2], w3, w4};
    store_state(image, constant_word::state_after_5, sha256_rounds(midstate_of(image), w, 5));
    image[constant_word::w3] = w3;
    image[constant_word::w4] = w4;
    image[constant_word::w18] = small_sigma1(image[constant_word::w16]) + small_sigma0(w3) + w[2];
    image[constant_word::w19] = small_sigma1(image[constant_word::w17]) + small_sigma0(w4) + w3;
    image[constant_word::w33_part] = small_sigma0(image[constant_word::w18]) + image[constant_word::w17];
    image[constant_word::w34_part] = small_sigma0(image[constant_word::w19]) + image[constant_word::w18];
}

bool launch_uses_precomp(uint64_t start_nonce, uint64_t hashes_per_launch) {
    const uint64_t last_nonce = start_nonce + hashes_per_launch - 1;
    return start_nonce >> 40 == last_nonce >> 40;
}

ConstantImage tuning_image() {
    ConstantImage image{};
    store_state(image, constant_word::midstate, kSha256InitialState);
    store_state(image, constant_word::state_after_3, kSha256InitialState);
    store_state(image, constant_word::state_after_5, kSha256InitialState);
    store_multipliers(image);
    return image;
}
