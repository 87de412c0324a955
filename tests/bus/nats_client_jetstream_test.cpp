// NatsClient's results against real nats-server JetStream: a result is delivered once a stream
// has stored it, stored once however often it is sent, and kept while a stream refuses it.
// What a stream holds is read back message by message and counted by sequence and message id.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "bus/nats_client.h"
#include "delivery_recorder.h"
#include "support/jetstream.h"
#include "support/nats_cluster.h"
#include "support/nats_server_process.h"
#include "support/stderr_capture.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kShare = "drevik.mining.share";
const char* const kResult = "drevik.mining.result";

std::string find_payload(int n) { return "{\"nonce\":\"" + std::to_string(n) + "\",\"x\":\"\\r\\n\"}"; }

std::string connected_lines(const std::string& address) {
    return "[NATS] Connecting to " + address + "...\n[NATS] Connected: " + address + "\n";
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

struct JetStreamServer {
    TempDir store;
    NatsServerProcess server{{"-js", "-sd", store.path}};
    JetStreamServer() { server.start(); }
};

TEST(NatsClientJetStream, AResultIsDeliveredOnceTheStreamStoredItAndStoredOnceHoweverOftenItIsSent) {
    StderrCapture captured;
    JetStreamServer js;
    NatsTestClient admin(js.server.port(), "admin");
    create_stream(admin, results_stream());
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({js.server.url()});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: "));

    EXPECT_TRUE(client.publish_kept(kShare, find_payload(1), KeptKind::share, "share-5-01"));
    EXPECT_TRUE(client.publish_kept(kResult, find_payload(2), KeptKind::block, "block-5-02"));
    EXPECT_TRUE(client.publish_kept(kShare, find_payload(2), KeptKind::share, "share-5-02"));
    // Sent again, as after an acknowledgement lost with its connection: the stream keeps one.
    EXPECT_TRUE(client.publish_kept(kShare, find_payload(1), KeptKind::share, "share-5-01"));
    ASSERT_TRUE(wait_until([&] { return client.outbox_size() == 0; })) << captured.text();
    client.stop();

    const std::vector<StoredMessage> stored = stored_messages(admin, "RESULTS");
    ASSERT_EQ(stored.size(), 3u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"share-5-01", find_payload(1)}, {"block-5-02", find_payload(2)}, {"share-5-02", find_payload(2)}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(stored[i].msg_id, expected[i].first);
        EXPECT_EQ(stored[i].data, expected[i].second);
    }
    EXPECT_EQ(stored[1].subject, kResult);
    EXPECT_EQ(captured.text(), connected_lines(js.server.address()));
}

TEST(NatsClientJetStream, WithoutAStreamTheServersPongDeliversAndOneWarningPerConnectionSaysSo) {
    StderrCapture captured;
    JetStreamServer js;
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({js.server.url()});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: "));
    for (int n = 0; n < 3; ++n) client.publish_kept(kShare, find_payload(n), KeptKind::share, "s" + std::to_string(n));
    client.publish_kept(kResult, find_payload(9), KeptKind::block, "b9");
    ASSERT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));

    const std::string warning =
        "[NATS] WARN: no stream stores drevik.mining.share here: results on it are "
        "confirmed by the server only\n";
    js.server.restart();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: ", 2));
    client.publish_kept(kShare, find_payload(4), KeptKind::share, "s4");
    ASSERT_TRUE(captured.wait_for(warning, 2));
    client.stop();
    const std::string text = captured.text();
    EXPECT_EQ(count_of(text, warning), 2u) << text;
    EXPECT_EQ(count_of(text, "[NATS] WARN: no stream stores drevik.mining.result here"), 1u) << text;
    EXPECT_EQ(client.outbox_size(), 0u);
}

TEST(NatsClientJetStream, AStreamThatRefusesKeepsTheResultAndItIsRetriedUntilStored) {
    StderrCapture captured;
    JetStreamServer js;
    NatsTestClient admin(js.server.port(), "admin");
    nlohmann::json config = results_stream();
    config["max_msgs"] = 1;
    config["discard"] = "new";
    create_stream(admin, config);
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({js.server.url()});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: "));

    client.publish_kept(kShare, find_payload(1), KeptKind::share, "share-1");
    ASSERT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));
    client.publish_kept(kResult, find_payload(2), KeptKind::block, "block-2");
    const std::string refused = "[NATS] WARN: result not stored: maximum messages exceeded (kept, retrying in 1s)\n";
    ASSERT_TRUE(captured.wait_for(refused));
    // Refused again on every retry (the back-off is 0.1 to 0.4 s here), reported once, never
    // taken as delivered.
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(client.outbox_size(), 1u);
    EXPECT_EQ(count_of(captured.text(), "[NATS] WARN: result not stored"), 1u) << captured.text();

    config["max_msgs"] = -1;
    ASSERT_FALSE(js_request(admin, "$JS.API.STREAM.UPDATE.RESULTS", config).contains("error"));
    ASSERT_TRUE(captured.wait_for("[NATS] Results stored again\n"));
    EXPECT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));
    client.stop();
    const std::vector<StoredMessage> stored = stored_messages(admin, "RESULTS");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].msg_id, "block-2");
}

TEST(NatsClientJetStream, InStreamModeResultsWaitForAStreamThatTakesThem) {
    StderrCapture captured;
    JetStreamServer js;
    NatsClient client("drevik-miner", quick_timings());
    client.set_results_ack(ResultsAck::stream);
    client.set_servers({js.server.url()});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: "));
    client.publish_kept(kResult, find_payload(3), KeptKind::block, "block-3");
    ASSERT_TRUE(
        captured.wait_for("[NATS] WARN: result not stored: no stream takes its subject (kept, retrying in 1s)\n"));
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(client.outbox_size(), 1u);

    NatsTestClient admin(js.server.port(), "admin");
    create_stream(admin, results_stream());
    ASSERT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));
    client.stop();
    EXPECT_EQ(stored_messages(admin, "RESULTS").size(), 1u);
}

// A three-node JetStream cluster holding the results stream on every node (R3), a client
// publishing finds from another thread while one node dies.
class NatsClientJetStreamCluster : public testing::TestWithParam<const char*> {};

TEST_P(NatsClientJetStreamCluster, EveryFindInFlightIsStoredExactlyOnceWhenANodeDies) {
    const std::string victim_kind = GetParam();
    StderrCapture captured;
    TempDir stores;
    NatsCluster cluster({}, stores.path);
    cluster.start();
    NatsTestClient setup(cluster.node(2).port(), "admin");
    create_stream(setup, results_stream(3));
    const int leader = NatsCluster::node_index(stream_leader(setup, "RESULTS"));
    ASSERT_GE(leader, 0);
    // The client is on a node that does not lead the stream; either that node dies, or the leader.
    const int client_node = (leader + 1) % NatsCluster::kNodes;
    const int victim = victim_kind == "client" ? client_node : leader;
    const int survivor = (leader + 2) % NatsCluster::kNodes;

    NatsTimings timings = quick_timings();
    timings.keepalive = milliseconds(300);
    timings.pong_wait = milliseconds(150);
    timings.results.ack_wait = milliseconds(1000);
    NatsClient client("drevik-miner", timings);  // in the default mode
    std::vector<std::string> servers = {cluster.node(client_node).url()};
    for (int i = 0; i < NatsCluster::kNodes; ++i) {
        if (i != client_node) servers.push_back(cluster.node(i).url());
    }
    client.set_servers(servers);
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.current_server_copy() == cluster.node(client_node).address(); }));

    constexpr int kFinds = 60;
    std::atomic<int> published{0};
    std::thread miner([&] {
        for (int n = 0; n < kFinds; ++n) {
            const bool block = n % 10 == 9;
            client.publish_kept(block ? kResult : kShare, find_payload(n), block ? KeptKind::block : KeptKind::share,
                                "find-" + std::to_string(n));
            published.fetch_add(1);
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    ASSERT_TRUE(wait_until([&] { return published.load() >= kFinds / 3; }));
    cluster.node(victim).kill_hard();
    miner.join();
    ASSERT_TRUE(wait_until([&] { return client.outbox_size() == 0; }, milliseconds(60000)))
        << client.outbox_size() << "\n"
        << captured.text();
    client.stop();

    NatsTestClient reader(cluster.node(survivor).port(), "reader");
    const std::vector<StoredMessage> stored = stored_messages(reader, "RESULTS");
    std::set<std::string> ids;
    for (const StoredMessage& m : stored) {
        EXPECT_TRUE(ids.insert(m.msg_id).second) << "stored twice: " << m.msg_id << " at " << m.seq;
        const int n = std::stoi(m.msg_id.substr(5));
        EXPECT_EQ(m.data, find_payload(n));
        EXPECT_EQ(m.subject, n % 10 == 9 ? kResult : kShare);
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kFinds));
    EXPECT_EQ(stored.size(), static_cast<size_t>(kFinds));
    EXPECT_EQ(client.outbox_dropped(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Victims, NatsClientJetStreamCluster, testing::Values("client", "leader"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "client" ? "TheClientsNode" : "TheStreamsLeader";
                         });

}  // namespace
