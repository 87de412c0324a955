#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/mutex.h"
#include "mining/control_messages.h"
#include "log_capture.h"

namespace {

NatsMsg config(const std::string& payload) { return {"drevik.mining.config", payload}; }
NatsMsg cancel(const std::string& payload) { return {"drevik.mining.cancel", payload}; }

TEST(ConfigMessage, AcceptsDivisorsInRangeAndLogsEachChangeOnce) {
    MinerState state;
    const struct {
        std::string payload;
        int64_t divisor_after;
        std::vector<std::string> logged;
    } steps[] = {
        {R"({"share_divisor":255})", 0, {}},
        {R"({"share_divisor":131073})", 0, {}},
        {R"({"share_divisor":256})", 256, {"INFO Share divisor updated: 0 -> 256"}},
        {R"({"share_divisor":256})", 256, {}},
        {R"({"share_divisor":"8192"})", 8192, {"INFO Share divisor updated: 256 -> 8192"}},
        {R"({"share_divisor":131072.7})", 131072, {"INFO Share divisor updated: 8192 -> 131072"}},
        {R"({"share_divisor":4096,"other":true})", 4096, {"INFO Share divisor updated: 131072 -> 4096"}},
        {R"({"share_divisor":"lots"})", 4096, {}},
        {R"({"other":1024})", 4096, {}},
        {R"([1024])", 4096, {}},
        {R"({"share_divisor":1024)", 4096, {}},
        {"", 4096, {}},
    };
    for (const auto& step : steps) {
        LogCapture log;
        handle_config_message(state, config(step.payload));
        EXPECT_EQ(log.lines(), step.logged) << step.payload;
        EXPECT_EQ(state.share_divisor.load(), step.divisor_after) << step.payload;
    }
}

TEST(CancelMessage, StopsOnlyTheJobBeingMined) {
    const std::string mined = "060a24181e4000" + std::string(64, 'a');
    const struct {
        std::string payload;
        bool stops;
    } cases[] = {
        {R"({"previous_blockhash":")" + mined + R"("})", true},
        {R"({"previous_blockhash":")" + mined + R"(","x":1})", true},
        {R"({"previous_blockhash":"other"})", false},
        {R"({"previous_blockhash":""})", false},
        {R"({})", false},
        {R"({"previous_blockhash":5})", false},
        {R"(["x"])", false},
        {R"({"previous_blockhash":)", false},
    };
    for (const auto& c : cases) {
        MinerState state;
        {
            MutexLock lock(state.job_mutex);
            state.mining_prev_hash = mined;
        }
        LogCapture log;
        handle_cancel_message(state, cancel(c.payload));
        EXPECT_TRUE(log.lines().empty());
        EXPECT_EQ(state.stop.is_set(), c.stops) << c.payload;
        EXPECT_EQ(state.jobs_cancelled.load(), c.stops ? 1 : 0) << c.payload;
    }
}

TEST(CancelMessage, EmptyNameNeverMatchesBeforeAnyJob) {
    MinerState state;
    handle_cancel_message(state, cancel(R"({"previous_blockhash":""})"));
    handle_cancel_message(state, cancel(R"({})"));
    EXPECT_FALSE(state.stop.is_set());
    EXPECT_EQ(state.jobs_cancelled.load(), 0);
}

TEST(CancelMessage, PendingJobIsNotRemoved) {
    MinerState state;
    {
        MutexLock lock(state.job_mutex);
        state.mining_prev_hash = "mined";
        state.pending_job = MiningJob{};
        state.pending_job->previous_blockhash = "pending";
    }
    handle_cancel_message(state, cancel(R"({"previous_blockhash":"pending"})"));
    MutexLock lock(state.job_mutex);
    EXPECT_TRUE(state.pending_job.has_value());
    EXPECT_EQ(state.jobs_cancelled.load(), 0);
}

}  // namespace
