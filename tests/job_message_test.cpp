#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/mutex.h"
#include "mining/job_intake.h"
#include "pool/job_message.h"
#include "log_capture.h"
#include "support/console_capture.h"

namespace {

using nlohmann::json;

const std::string kPrevA = "060a24181e4000" + std::string(64, 'a');
const std::string kPrevB = "060a24181e4000" + std::string(64, 'b');
const std::string kPrevC = "060a24181e4000" + std::string(64, 'c');

NatsMsg job_msg(long long height, const std::string& prev, long long difficulty = 10000) {
    return {"drevik.mining.job",
            json{{"height", height}, {"previous_blockhash", prev}, {"difficulty", difficulty}}.dump()};
}

TEST(ReadIntField, NumbersAndDecimalTextReadTolerantly) {
    const struct {
        const char* member;
        int64_t expected;
    } cases[] = {
        {"123", 123},
        {"-7", -7},
        {"\"123\"", 123},
        {"\" 42x\"", 42},
        {"\"+8\"", 8},
        {"\"-9 \"", -9},
        {"\"abc\"", 0},
        {"\"\"", 0},
        {"12.9", 12},
        {"-12.9", -12},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"18446744073709551615", 0},
        {"\"99999999999999999999\"", 0},
        {"1e300", 0},
        {"true", 0},
        {"null", 0},
        {"[1]", 0},
        {"{\"v\":1}", 0},
    };
    for (const auto& c : cases) {
        const json object = json::parse(std::string("{\"v\":") + c.member + "}");
        EXPECT_EQ(read_int_field(object, "v"), c.expected) << c.member;
    }
    EXPECT_EQ(read_int_field(json::parse("{}"), "v"), 0);
    EXPECT_EQ(read_int_field(json::parse("[1,2]"), "v"), 0);
    EXPECT_EQ(read_int_field(json::parse("5"), "v"), 0);
}

TEST(JobMessage, ShareDifficultyUsesTheDivisorInForce) {
    EXPECT_EQ(share_difficulty_for(10000, 0), 2);
    EXPECT_EQ(share_difficulty_for(100, 0), 1);
    EXPECT_EQ(share_difficulty_for(0, 0), 1);
    EXPECT_EQ(share_difficulty_for(-50000, 0), 1);
    EXPECT_EQ(share_difficulty_for(8192, 1024), 8);
    EXPECT_EQ(share_difficulty_for(INT64_MAX, 256), INT64_MAX / 256);
}

TEST(JobMessage, ParsesEveryField) {
    const MiningJob job = parse_job_message(
        R"({"height":"77","timestamp":1700000000000000,"receipts":["r1","","r\u00e9"],"main_height":-3,)"
        R"("main_blockhash":"mb","previous_blockhash":"pb","nonce":"n","validator":"v","miner":"m",)"
        R"("difficulty":12345,"extra":[1,2]})",
        1024);
    EXPECT_EQ(job.height, 77);
    EXPECT_EQ(job.timestamp, 1700000000000000);
    EXPECT_EQ(job.receipts, (std::vector<std::string>{"r1", "", "r\xc3\xa9"}));
    EXPECT_EQ(job.main_height, -3);
    EXPECT_EQ(job.main_blockhash, "mb");
    EXPECT_EQ(job.previous_blockhash, "pb");
    EXPECT_EQ(job.nonce, "n");
    EXPECT_EQ(job.validator, "v");
    EXPECT_EQ(job.miner, "m");
    EXPECT_EQ(job.blockhash, "");
    EXPECT_EQ(job.difficulty, 12345);
    EXPECT_EQ(job.share_difficulty, 12);

    const MiningJob empty = parse_job_message(R"({"receipts":"not an array"})", 0);
    EXPECT_TRUE(empty.receipts.empty());
    EXPECT_EQ(empty.difficulty, 0);
    EXPECT_EQ(empty.share_difficulty, 1);
    EXPECT_EQ(empty.previous_blockhash, "");
}

TEST(JobMessage, MalformedMessagesAreParseErrors) {
    const char* const payloads[] = {
        "",
        "{",
        "{\"height\":1} {}",
        "{\"height\":1 /* c */}",
        "[]",
        "\"text\"",
        "{\"previous_blockhash\":5}",
        "{\"miner\":null}",
        "{\"receipts\":[\"a\",1]}",
        "{\"validator\":\"\xff\"}",
    };
    for (const char* payload : payloads) {
        EXPECT_ANY_THROW(parse_job_message(payload, 0)) << payload;

        MinerState state;
        std::string what;
        try {
            parse_job_message(payload, 0);
        } catch (const std::exception& e) {
            what = e.what();
        }
        LogCapture log;
        handle_job_message(state, {"drevik.mining.job", payload});
        EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR Job parse error: " + what});
        EXPECT_EQ(state.jobs_received.load(), 0);
        EXPECT_FALSE(state.stop.is_set());
        MutexLock lock(state.job_mutex);
        EXPECT_FALSE(state.pending_job.has_value());
    }
}

TEST(JobMessage, AcceptanceRules) {
    MinerState state;
    const struct {
        NatsMsg message;
        std::vector<std::string> logged;
        bool accepted;
    } steps[] = {
        // Before any job both previous hashes are empty: a job without one is a duplicate.
        {job_msg(10, ""), {}, false},
        {job_msg(100, kPrevA), {"INFO [h=100] Job: diff=10000 share_diff=2 prev=060a24181e4000aa..."}, true},
        {job_msg(100, kPrevA), {}, false},
        {job_msg(99, kPrevB), {"DEBUG [h=99] Stale job (best=100), skipped"}, false},
        // Equal height with a new previous hash replaces the job.
        {job_msg(100, kPrevB, 100), {"INFO [h=100] Job: diff=100 share_diff=1 prev=060a24181e4000bb..."}, true},
        {job_msg(101, kPrevC, 0), {"INFO [h=101] Job: diff=0 share_diff=1 prev=060a24181e4000cc..."}, true},
        {job_msg(102, "short"), {"INFO [h=102] Job: diff=10000 share_diff=2 prev=short..."}, true},
    };
    int received = 0;
    int skipped = 0;
    for (const auto& step : steps) {
        state.stop.clear();
        LogCapture log;
        handle_job_message(state, step.message);
        EXPECT_EQ(log.lines(), step.logged) << step.message.data;
        ++received;
        skipped += step.accepted ? 0 : 1;
        EXPECT_EQ(state.jobs_received.load(), received);
        EXPECT_EQ(state.jobs_skipped.load(), skipped);
        EXPECT_EQ(state.stop.is_set(), step.accepted) << step.message.data;
    }
    // Only the newest accepted job waits; the earlier ones were dropped from the slot.
    MutexLock lock(state.job_mutex);
    ASSERT_TRUE(state.pending_job.has_value());
    EXPECT_EQ(state.pending_job->previous_blockhash, "short");
    EXPECT_EQ(state.best_height.load(), 102);
    EXPECT_EQ(state.last_prev_hash, "short");
}

TEST(JobMessage, JobBeingMinedIsADuplicateAndDivisorIsReadOnArrival) {
    MinerState state;
    {
        MutexLock lock(state.job_mutex);
        state.mining_prev_hash = kPrevA;
    }
    state.share_divisor.store(1000);
    LogCapture log;
    handle_job_message(state, job_msg(5, kPrevA));
    handle_job_message(state, job_msg(5, kPrevB));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"INFO [h=5] Job: diff=10000 share_diff=10 prev=060a24181e4000bb..."});
    EXPECT_EQ(state.jobs_skipped.load(), 1);
    state.share_divisor.store(4096);
    MutexLock lock(state.job_mutex);
    ASSERT_TRUE(state.pending_job.has_value());
    EXPECT_EQ(state.pending_job->share_difficulty, 10);
}

TEST(JobMessage, AHeightFarAboveTheRestCannotLockOutLaterJobs) {
    MinerState state;
    const long long max = INT64_MAX;
    const long long min = INT64_MIN;
    const struct {
        long long height;
        std::vector<std::string> logged;
        bool accepted;
    } steps[] = {
        {max, {"INFO [h=9223372036854775807] Job: diff=10000 share_diff=2 prev=p0..."}, true},
        {100,
         {"INFO [h=100] Height far below best (best=9223372036854775807): best height reset",
          "INFO [h=100] Job: diff=10000 share_diff=2 prev=p1..."},
         true},
        // Within the window below the best height: stale as ever, up to its edge.
        {99, {"DEBUG [h=99] Stale job (best=100), skipped"}, false},
        {100 - 1000, {"DEBUG [h=-900] Stale job (best=100), skipped"}, false},
        {100 - 1001,
         {"INFO [h=-901] Height far below best (best=100): best height reset",
          "INFO [h=-901] Job: diff=10000 share_diff=2 prev=p4..."},
         true},
        {max, {"INFO [h=9223372036854775807] Job: diff=10000 share_diff=2 prev=p5..."}, true},
        {min,
         {"INFO [h=-9223372036854775808] Height far below best (best=9223372036854775807): best height reset",
          "INFO [h=-9223372036854775808] Job: diff=10000 share_diff=2 prev=p6..."},
         true},
        {5, {"INFO [h=5] Job: diff=10000 share_diff=2 prev=p7..."}, true},
    };
    int n = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.height);
        state.stop.clear();
        LogCapture log;
        handle_job_message(state, job_msg(step.height, "p" + std::to_string(n++)));
        EXPECT_EQ(log.lines(), step.logged);
        EXPECT_EQ(state.stop.is_set(), step.accepted);
        if (step.accepted) {
            EXPECT_EQ(state.best_height.load(), step.height);
        }
    }
}

TEST(JobMessage, HostileTextReachesTheConsoleCutAndEscaped) {
    const std::string unterminated = "{\"previous_blockhash\":\"" + std::string(size_t{1024} * 1024, 'a');
    const std::string forged = json{{"height", 1}, {"previous_blockhash", "p1\n[FORGED] FOUND by GPU 0!"}}.dump();
    const std::string control = std::string("{\"miner\":\"\x01\x1b[2J\"}");
    {
        MinerState state;
        LogCapture log;
        handle_job_message(state, {"drevik.mining.job", forged});
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"INFO [h=1] Job: diff=0 share_diff=1 prev=p1\\n[FORGED] FOUN..."});
    }
    for (const std::string& payload : {unterminated, control}) {
        MinerState state;
        capture_console();
        handle_job_message(state, {"drevik.mining.job", payload});
        const std::string text = captured_console();
        // One line, the parser's text at most a few hundred bytes, no control character in it.
        ASSERT_EQ(text.find('\n'), text.size() - 1);
        EXPECT_LT(text.size(), 500u);
        EXPECT_NE(text.find("[ERROR] Job parse error: [json.exception.parse_error.101]"), std::string::npos) << text;
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            EXPECT_GE(static_cast<unsigned char>(text[i]), 0x20) << text;
        }
    }
}

}  // namespace
