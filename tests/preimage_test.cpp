#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "gpu_miner/preimage.h"

namespace {

std::string target_hex(const Target& t) {
    std::string text;
    char word[9];
    for (uint32_t w : t) {
        std::snprintf(word, sizeof word, "%08x", w);
        text += word;
    }
    return text;
}

const char* const kEmptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

MiningJob example_job() {
    MiningJob job;
    job.height = 5;
    job.timestamp = 1700000000000000;
    job.main_height = -1;
    job.main_blockhash = "mb";
    job.validator = "v";
    job.miner = "m";
    return job;
}

TEST(Preimage, Sha256HexMatchesKnownDigests) {
    EXPECT_EQ(sha256_hex(""), kEmptySha);
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(std::string("\0\xff", 2)), "06eb7d6a69ee19e5fbdf749018d3d2abfa04bcbd1365db312eb86dc7169389b8");
}

TEST(Preimage, ReceiptRootPairsLeavesAndCarriesOddOnesUp) {
    EXPECT_EQ(compute_receipt_root({}), kEmptySha);
    EXPECT_EQ(compute_receipt_root({"a"}), sha256_hex("a"));
    EXPECT_EQ(compute_receipt_root({"a", "b"}), "62af5c3cb8da3e4f25061e829ebeea5c7513c54949115b1acc225930a90154da");
    EXPECT_EQ(compute_receipt_root({"a", "b", "c"}),
              "d71dc32fa2cd95be60b32dbb3e63009fa8064407ee19f457c92a09a5ff841a8a");
    // Leaf 4 of five is carried up twice before it is paired.
    EXPECT_EQ(compute_receipt_root({"a", "b", "c", "d", "e"}),
              "dea979f026a014fcb2300d6300e73ae1ccfb0dd238835d33895286d610eb7c4f");
}

TEST(Preimage, HeaderTextIsPlainConcatenation) {
    const MiningJob job = example_job();
    const std::string text = header_text(job, compute_receipt_root(job.receipts));
    EXPECT_EQ(text,
              "{\"height\":5,\"timestamp\":1700000000000000,\"receipt_root\":\"e3b0c44298fc1c149afbf4c8996fb"
              "92427ae41e4649b934ca495991b7852b855\",\"main_height\":-1,\"main_blockhash\":\"mb\","
              "\"validator\":\"v\",\"miner\":\"m\"}");
    EXPECT_EQ(text.size(), 190u);
    EXPECT_EQ(compute_header_hash(job), "5236a361a4e4266ee94759b82ac403d1d31fd29a8cddedb2fdc6524160364b38");

    MiningJob odd = job;
    odd.height = -7;
    odd.validator = "a\"b\\c";
    odd.receipts = {"a", "b"};
    EXPECT_EQ(header_text(odd, "R"),
              "{\"height\":-7,\"timestamp\":1700000000000000,\"receipt_root\":\"R\",\"main_height\":-1,"
              "\"main_blockhash\":\"mb\",\"validator\":\"a\"b\\c\",\"miner\":\"m\"}");
    EXPECT_EQ(compute_header_hash(odd), sha256_hex(header_text(odd, compute_receipt_root(odd.receipts))));
}

TEST(Preimage, DifficultyToTarget) {
    const struct {
        int64_t difficulty;
        std::string hex;
    } cases[] = {
        {1, std::string(64, 'f')},
        {2, "7" + std::string(63, 'f')},
        {3, std::string(64, '5')},
        {16, "0" + std::string(63, 'f')},
        {4096, "000" + std::string(61, 'f')},
        {1000, "004189374bc6a7ef9db22d0e5604189374bc6a7ef9db22d0e5604189374bc6a7"},
        {12345, "00054f077c718e7c21ed0bd745b29148cedfabb96928754a0d656ce4068d8d3d"},
        {INT64_MAX, "0000000000000002000000000000000400000000000000080000000000000010"},
        {0, std::string(64, '0')},
        {-5, std::string(64, '0')},
        {INT64_MIN, std::string(64, '0')},
    };
    for (const auto& c : cases) EXPECT_EQ(target_hex(difficulty_to_target(c.difficulty)), c.hex) << c.difficulty;
    EXPECT_EQ(difficulty_to_target(1000)[0], 0x00418937u);
}

TEST(Preimage, NonceAndBlockHashTexts) {
    EXPECT_EQ(nonce_text(0), "0000000000000000");
    EXPECT_EQ(nonce_text(UINT64_MAX), "ffffffffffffffff");
    EXPECT_EQ(nonce_text(0xabc), "0000000000000abc");

    const uint8_t zero_digest[32] = {};
    const std::string block = block_hash_text(1700000000000000, zero_digest);
    EXPECT_EQ(block, "060a24181e4000" + sha256_hex(std::string(64, '0')));
    EXPECT_EQ(block, "060a24181e400060e05bd1b195af2f94112fa7197a5c88289058840ce7c6df9693756bc6250f55");
    EXPECT_EQ(block.size(), 78u);
}

TEST(Preimage, PrefixOfAWellFormedJobIs142Bytes) {
    MiningJob job = example_job();
    job.previous_blockhash = "060a24181e4000" + std::string(64, 'a');
    const std::string prefix = mining_prefix(job);
    EXPECT_EQ(prefix, job.previous_blockhash + compute_header_hash(job));
    EXPECT_EQ(prefix.size(), kPrefixLength);
}

TEST(Preimage, OnlyA142BytePrefixIsSearchable) {
    const struct {
        size_t length;
        std::string fault;
    } cases[] = {
        {142, ""},
        {143, "tail_len=15"},
        {64, "tail_len=0"},
        {78, "prefix_len=78 (expected 142)"},
        {206, "prefix_len=206 (expected 142)"},
        {14, "prefix_len=14 (expected 142)"},
    };
    for (const auto& c : cases) EXPECT_EQ(prefix_fault(c.length), c.fault) << c.length;
}

}  // namespace
