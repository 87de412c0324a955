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
    set_window(window, sha256_chaining_value(prefix), reinterpret_cast<const uint8_t*>(prefix.data()) + kMidstateBytes);
    for (const ConstantImage& image : {window, tuning_image()}) {
        EXPECT_EQ(image[constant_word::one], 1u);
        EXPECT_EQ(image[constant_word::shift_3], 1u << 29);   // high word of x * 2^29: x >> 3
        EXPECT_EQ(image[constant_word::shift_10], 1u << 22);  // high word of x * 2^22: x >> 10
    }
}

// The compression that the midstate kernel and the host's precomputation share, block after
// block from the initial value, against OpenSSL's chaining value.
TEST(Sha256Compression, EqualsOpenSslChainingValue) {
    std::mt19937_64 random(3);
    const std::string data = random_prefix(random) + random_prefix(random);
    uint32_t state[8];
    sha256::set_initial_state(state);
    for (size_t blocks = 1; blocks <= 4; ++blocks) {
        sha256::compress(state, reinterpret_cast<const uint8_t*>(data.data()) + (blocks - 1) * sha256::kBlockBytes);
        const auto expected = sha256_chaining_value(data.substr(0, blocks * sha256::kBlockBytes));
        EXPECT_TRUE(std::equal(std::begin(state), std::end(state), expected.begin())) << blocks << " blocks";
    }
}

}  // namespace
