#include "gpu_miner/constant_block.h"

#include <algorithm>
#include <iterator>

namespace {

using sha256::small_sigma0;
using sha256::small_sigma1;

// σ1 of the final block's bit length, the constant part of W17.
constexpr uint32_t kSigma1OfLength = small_sigma1(kPreimageBits);

uint32_t digit_code(uint64_t nonce, int digit) {
    const uint32_t value = static_cast<uint32_t>(nonce >> (60 - 4 * digit)) & 15;
    return value < 10 ? '0' + value : 'a' + (value - 10);
}

void store_state(ConstantImage& image, int at, const uint32_t (&state)[8]) {
    std::copy(std::begin(state), std::end(state), image.begin() + at);
}

// The working variables a..h after rounds 0..N-1 of the final block (message words w), from
// the midstate already in the image.
template <size_t N>
void store_state_after(ConstantImage& image, int at, const uint32_t (&w)[N]) {
    uint32_t s[8];
    std::copy_n(image.begin() + constant_word::midstate, 8, s);
    sha256::rounds<N>(s, w);
    for (int k = 0; k < 8; ++k) image[at + k] = sha256::var<N>(s, k);
}

// The words the kernels compute with on the GPU: additions as multiply-adds by 1, shifts as
// multiply-highs by 2^29 and 2^22.
void store_multipliers(ConstantImage& image) {
    image[constant_word::one] = 1;
    image[constant_word::shift_3] = uint32_t{1} << 29;
    image[constant_word::shift_10] = uint32_t{1} << 22;
}

}  // namespace

void set_targets(ConstantImage& image, const Target& block, const Target& share) {
    std::copy(block.begin(), block.end(), image.begin() + constant_word::block_target);
    std::copy(share.begin(), share.end(), image.begin() + constant_word::share_target);
}

void set_window(ConstantImage& image, const Sha256State& midstate, const uint8_t* tail) {
    const uint32_t w[3] = {sha256::big_endian_word(tail), sha256::big_endian_word(tail + 4),
                           sha256::big_endian_word(tail + 8)};
    std::copy(midstate.begin(), midstate.end(), image.begin() + constant_word::midstate);
    image[constant_word::w0] = w[0];
    image[constant_word::w1] = w[1];
    image[constant_word::w2] = w[2];
    image[constant_word::w3_base] = (uint32_t{tail[12]} << 24) | (uint32_t{tail[13]} << 16);
    store_state_after(image, constant_word::state_after_3, w);
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
    store_state_after(image, constant_word::state_after_5, w);
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
    store_state(image, constant_word::midstate, sha256::kInitialState);
    store_state(image, constant_word::state_after_3, sha256::kInitialState);
    store_state(image, constant_word::state_after_5, sha256::kInitialState);
    store_multipliers(image);
    return image;
}
