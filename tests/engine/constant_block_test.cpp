#include "gpu_miner/constant_block.h"

#include <gtest/gtest.h>

#include "sha256_reference.h"

namespace {

constexpr uint64_t k2To40 = uint64_t{1} << 40;

TEST(LaunchKernelChoice, PrecompOnlyWhenTheTopTwentyFourBitsStayTheSame) {
    struct Case {
        uint64_t start;
        uint64_t hashes;
        bool precomp;
    };
    const Case cases[] = {
        {0, uint64_t{1} << 30, true},    {k2To40 - 256, 256, true},  // ends on 2^40 - 1
        {k2To40 - 255, 256, false},                                  // ends on 2^40
        {k2To40 - 100, 256, false},      {k2To40, 256, true},
        {~uint64_t{0} - 255, 256, true},  // ends on 2^64 - 1
        {~uint64_t{0} - 99, 256, false},  // wraps to 0
        {~uint64_t{0}, 1, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(launch_uses_precomp(c.start, c.hashes), c.precomp) << nonce_text(c.start) << " + " << c.hashes;
    }
}

// The kernels add and shift through multiplications by these words on the GPU only, so the
// host back-end's kernel tests cannot see them go missing.
TEST(ConstantImage, EveryUploadedImageHasTheMultipliers) {
    std::mt19937_64 random(5);
    const std::string prefix = random_prefix(random);
    ConstantImage window{};
    set_window(window, kSha256InitialState, reinterpret_cast<const uint8_t*>(prefix.data()) + 128);
    for (const ConstantImage& image : {window, tuning_image()}) {
        EXPECT_EQ(image[constant_word::one], 1u);
        EXPECT_EQ(image[constant_word::shift_3], 1u << 29);   // high word of x * 2^29: x >> 3
        EXPECT_EQ(image[constant_word::shift_10], 1u << 22);  // high word of x * 2^22: x >> 10
    }
}

// 64 rounds over the expanded schedule plus the input state is one compression; OpenSSL
// computes the same from its own code.
TEST(Sha256Rounds, SixtyFourRoundsAreOneCompression) {
    std::mt19937_64 random(3);
    const std::string block = random_prefix(random).substr(0, 64);
    uint32_t w[64];
    for (size_t i = 0; i < 16; ++i) {
        w[i] = (uint32_t(uint8_t(block[4 * i])) << 24) | (uint32_t(uint8_t(block[4 * i + 1])) << 16) |
               (uint32_t(uint8_t(block[4 * i + 2])) << 8) | uint32_t(uint8_t(block[4 * i + 3]));
    }
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    Sha256State state = sha256_rounds(kSha256InitialState, w, 64);
    for (int k = 0; k < 8; ++k) state[k] += kSha256InitialState[k];
    const auto expected = sha256_chaining_value(block);
    EXPECT_TRUE(std::equal(state.begin(), state.end(), expected.begin()));
}

}  // namespace
