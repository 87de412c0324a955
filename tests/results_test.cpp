#include <gtest/gtest.h>

#include <string>

#include "pool/results.h"

namespace {

MiningJob sample_job() {
    MiningJob job;
    job.height = 42;
    job.timestamp = 1;  // the job's own timestamp never appears in results
    job.receipts = {"r1", "r2"};
    job.main_height = 420;
    job.main_blockhash = "mbh";
    job.previous_blockhash = "prev";
    job.nonce = "job-nonce";
    job.validator = "val";
    job.miner = "min";
    job.difficulty = 12345;
    job.share_difficulty = 3;
    return job;
}

MinerSettings sample_settings(const std::string& wallet) {
    MinerSettings settings;
    settings.client_id = "rig1";
    settings.wallet = wallet;
    return settings;
}

TEST(ResultMessages, ShareIsCompactSortedAndCarriesTheSearchTimestamp) {
    EXPECT_EQ(share_message(sample_job(), "00000000000000ff", 1700000000000000, sample_settings("W")),
              R"({"client_id":"rig1","difficulty":12345,"height":42,"main_blockhash":"mbh","main_height":420,)"
              R"("miner":"min","nonce":"00000000000000ff","previous_blockhash":"prev","receipts":["r1","r2"],)"
              R"("share_difficulty":3,"timestamp":1700000000000000,"validator":"val","wallet":"W"})");
}

TEST(ResultMessages, BlockResultWritesDifficultyAsText) {
    MiningJob found = sample_job();
    found.timestamp = 1700000000000000;
    found.nonce = "00000000000000ff";
    found.blockhash = "060a24181e4000" + std::string(64, 'e');
    EXPECT_EQ(result_message(found, sample_settings("W")),
              R"({"blockhash":"060a24181e4000)" + std::string(64, 'e') +
                  R"(","client_id":"rig1","difficulty":"12345","height":42,"main_blockhash":"mbh",)"
                  R"("main_height":420,"miner":"min","nonce":"00000000000000ff","previous_blockhash":"prev",)"
                  R"("receipts":["r1","r2"],"timestamp":1700000000000000,"validator":"val"})");
    found.difficulty = -5;
    EXPECT_NE(result_message(found, sample_settings("")).find(R"("difficulty":"-5")"), std::string::npos);
}

TEST(ResultMessages, EmptyWalletReceiptsAndUnusualText) {
    MiningJob job = sample_job();
    job.receipts.clear();
    job.miner = "caf\xc3\xa9 \"q\" \\ \x01";
    job.validator = "bad\xff";
    const std::string share = share_message(job, "0000000000000000", 7, sample_settings(""));
    EXPECT_NE(share.find(R"("receipts":[])"), std::string::npos);
    EXPECT_NE(share.find(R"("wallet":"")"), std::string::npos);
    // UTF-8 passes unescaped, control characters and quotes are escaped, invalid bytes become U+FFFD.
    EXPECT_NE(share.find("\"miner\":\"caf\xc3\xa9 \\\"q\\\" \\\\ \\u0001\""), std::string::npos) << share;
    EXPECT_NE(share.find("\"validator\":\"bad\xef\xbf\xbd\""), std::string::npos) << share;
}

}  // namespace
