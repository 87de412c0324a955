// The miner binary against a real nats-server: what joining the bus brings about.

#include <gtest/gtest.h>

#include <thread>

#include "process.h"
#include "support/nats_server_process.h"
#include "support/nats_test_client.h"

namespace {

TEST(MinerBinary, AnswerToTheCurrentJobRequestIsMinedLikeAJobMessage) {
    NatsServerProcess server;
    server.start();
    NatsTestClient pool(server.port(), "pool");
    pool.subscribe("drevik.mining.job.current", 1);
    ASSERT_TRUE(pool.flush());

    std::optional<NatsTestClient::Message> request;
    std::thread answering([&] {
        request = pool.next_message(std::chrono::seconds(10));
        if (request) {
            pool.publish(request->reply, "{\"height\":7,\"difficulty\":4096,\"previous_blockhash\":\"060a24181e4000" +
                                             std::string(64, 'a') + "\"}");
            pool.flush();
        }
    });
    // No GPU: the miner takes jobs and mines nothing; it is interrupted after 3 s.
    const ProcessResult result =
        run_process("/usr/bin/timeout", {"--preserve-status", "-s", "INT", "3", DREVIK_MINER_PATH, "--nats",
                                         server.url(), "--gpus", "", "--id", "rig-1"});
    answering.join();

    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->subject, "drevik.mining.job.current");
    EXPECT_EQ(request->data, "");
    EXPECT_EQ(request->reply.rfind("_INBOX.", 0), 0u);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(result.standard_error.find("[rig-1][INFO] [h=7] Job: diff=4096 share_diff=1 prev=060a24181e4000aa...\n"),
              std::string::npos)
        << result.standard_error;
    EXPECT_NE(result.standard_error.find("[rig-1][INFO] [h=7] Mining on 0 GPU(s)...\n"), std::string::npos);
}

}  // namespace
