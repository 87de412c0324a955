// The self-test's known answers against OpenSSL, and the faults it names. Its runs on a
// device are in gpu_miner_test.cpp.

#include "gpu_miner/self_test.h"

#include <gtest/gtest.h>

#include "gpu_miner/constant_block.h"
#include "sha256_reference.h"

namespace {

// Each launch's known nonce has the smallest digest of its range, and the range has the shape
// the self-test needs: precomp within one 2^40 block, fallback across 2^40 with the known nonce
// beyond it, and the known nonce after a low-byte wrap in its thread's walk.
TEST(SelfTestVector, KnownNoncesHaveTheSmallestDigestsOfTheirRanges) {
    const std::string prefix = kSelfTestPrefix;
    ASSERT_EQ(prefix.size(), kPrefixLength);
    for (const SelfTestLaunch& launch : kSelfTestLaunches) {
        SCOPED_TRACE(nonce_text(launch.start));
        // The prefix's whole blocks are hashed once.
        SHA256_CTX after_prefix;
        SHA256_Init(&after_prefix);
        SHA256_Update(&after_prefix, prefix.data(), kMidstateBytes);
        const std::string tail = prefix.substr(kMidstateBytes);
        uint64_t best = launch.start;
        Digest best_digest = sha256_digest(prefix + nonce_text(best));
        for (uint64_t nonce = launch.start + 1; nonce != launch.start + kSelfTestNonces; ++nonce) {
            const std::string rest = tail + nonce_text(nonce);
            SHA256_CTX context = after_prefix;
            SHA256_Update(&context, rest.data(), rest.size());
            Digest digest;
            SHA256_Final(digest.data(), &context);
            if (digest < best_digest) {
                best = nonce;
                best_digest = digest;
            }
        }
        EXPECT_EQ(nonce_text(best), nonce_text(launch.nonce));
        EXPECT_EQ(hex_encode(best_digest.data(), best_digest.size()), launch.digest);

        EXPECT_EQ(launch_uses_precomp(launch.start, kSelfTestNonces), launch.precomp);
        if (!launch.precomp) {
            EXPECT_NE(launch.nonce >> 40, launch.start >> 40);
        }
        const uint64_t first_of_thread = launch.start + (launch.nonce - launch.start) / kSelfTestLoops * kSelfTestLoops;
        EXPECT_NE(first_of_thread >> 8, launch.nonce >> 8);
    }
}

TEST(SelfTestFault, NamesWhatTheLaunchGotWrong) {
    const SelfTestLaunch& precomp_block = kSelfTestLaunches[0];
    const SelfTestLaunch& fallback_share = kSelfTestLaunches[3];
    ASSERT_TRUE(precomp_block.precomp && !precomp_block.share);
    ASSERT_TRUE(!fallback_share.precomp && fallback_share.share);
    const auto known = [](const SelfTestLaunch& launch) {
        FindReport report{true, launch.nonce, {}};
        for (size_t i = 0; i < report.digest.size(); ++i) {
            report.digest[i] = static_cast<uint8_t>(std::stoi(std::string(launch.digest + 2 * i, 2), nullptr, 16));
        }
        return report;
    };
    FindReport other_nonce = known(precomp_block);
    other_nonce.nonce ^= 1;
    FindReport wrong_digest = known(precomp_block);
    wrong_digest.digest[7] ^= 0x10;
    const FindReport spurious{true, 1, {}};
    struct Case {
        const SelfTestLaunch& launch;
        FindReport expected;
        FindReport other;
        const char* fault;
    };
    const Case cases[] = {
        {precomp_block, known(precomp_block), {}, ""},
        {fallback_share, known(fallback_share), {}, ""},
        {precomp_block, {}, {}, "precomp kernel missed block nonce 3a7fc2e19b18f877"},
        {fallback_share, {}, {}, "fallback kernel missed share nonce b7e4aa0000007d58"},
        {precomp_block, other_nonce, {}, "precomp kernel reported block nonce 3a7fc2e19b18f876, not 3a7fc2e19b18f877"},
        {precomp_block,
         wrong_digest,
         {},
         "precomp kernel reported a wrong digest for block nonce 3a7fc2e19b18f877: 0000350a0b9283b3..."},
        {precomp_block, known(precomp_block), spurious,
         "precomp kernel reported share nonce 0000000000000001, expected no share"},
        {fallback_share, known(fallback_share), spurious,
         "fallback kernel reported block nonce 0000000000000001, expected no block"},
        // The known find is what matters most: its miss is named before anything else.
        {precomp_block, {}, spurious, "precomp kernel missed block nonce 3a7fc2e19b18f877"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(self_test_fault(c.launch, c.expected, c.other), c.fault);
    }
}

}  // namespace
