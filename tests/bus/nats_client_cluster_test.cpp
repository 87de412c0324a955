// NatsClient against a real three-node nats-server cluster: finds survive the loss of the
// node the client is on, a frozen node is noticed, and a single seed URL is enough to fail over.
// The pool's subscriber sits on another node, so every message it sees went through a route.

#include <gtest/gtest.h>

#include <algorithm>

#include "bus/nats_client.h"
#include "delivery_recorder.h"
#include "support/nats_cluster.h"
#include "support/nats_test_client.h"
#include "support/stderr_capture.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kShare = "drevik.mining.share";
const std::string kResult = "drevik.mining.result";

struct Published {
    std::string subject;
    std::string payload;
};

std::string share_payload(int n) {
    return "{\"client_id\":\"rig-1\",\"nonce\":\"" + std::to_string(1000 + n) +
           "\",\"note\":\"crlf\\r\\n inside\",\"timestamp\":" + std::to_string(1700000000000000 + n) + "}";
}

NatsTimings cluster_timings() {
    NatsTimings timings = quick_timings();
    timings.keepalive = std::chrono::milliseconds(300);
    timings.pong_wait = std::chrono::milliseconds(150);
    return timings;
}

// The pool: subscribed to shares and results on `node`, with its interest known on `route_to`
// before the test publishes there.
struct Pool {
    Pool(NatsServerProcess& node, NatsServerProcess& route_to) : conn(node.port(), "pool") {
        conn.subscribe(kShare, 1);
        conn.subscribe(kResult, 2);
        EXPECT_TRUE(conn.flush());
        EXPECT_TRUE(wait_until([&] {
            const std::string routez = route_to.monitor_get("/routez?subs=1");
            return routez.find(kShare) != std::string::npos && routez.find(kResult) != std::string::npos;
        }));
    }
    // Everything received until nothing more comes for a while.
    std::vector<Published> drain(size_t expected) {
        std::vector<Published> got;
        while (got.size() < expected) {
            const std::optional<NatsTestClient::Message> m = conn.next_message(std::chrono::seconds(15));
            if (!m) break;
            got.push_back({m->subject, m->data});
        }
        // Anything beyond would be an unexpected duplicate.
        while (const std::optional<NatsTestClient::Message> m = conn.next_message(std::chrono::milliseconds(300))) {
            got.push_back({m->subject, m->data});
        }
        return got;
    }
    NatsTestClient conn;
};

void expect_same(const std::vector<Published>& got, const std::vector<Published>& sent) {
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].subject, sent[i].subject) << i;
        EXPECT_EQ(got[i].payload, sent[i].payload) << i;
    }
}

TEST(NatsClientCluster, KillingTheNodeTheClientIsOnLosesNoFind) {
    StderrCapture captured;
    NatsCluster cluster;
    cluster.start();
    NatsClient client("drevik-miner", cluster_timings());
    client.set_servers({cluster.node(0).url(), cluster.node(1).url()});
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.current_server_copy() == cluster.node(0).address(); }));
    Pool pool(cluster.node(2), cluster.node(0));

    std::vector<Published> sent;
    auto publish = [&](const std::string& subject, const std::string& payload, KeptKind kind) {
        client.publish_kept(subject, payload, kind, "find-" + std::to_string(sent.size()));
        sent.push_back({subject, payload});
    };
    publish(kShare, share_payload(1), KeptKind::share);
    publish(kShare, share_payload(2), KeptKind::share);
    ASSERT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));  // confirmed by PONG

    cluster.node(0).kill_hard();
    // Found while the client is losing its server or already without one.
    publish(kShare, share_payload(3), KeptKind::share);
    publish(kResult, "{\"blockhash\":\"0" + std::string(77, 'b') + "\",\"nonce\":\"1003\"}", KeptKind::block);
    publish(kShare, share_payload(4), KeptKind::share);

    expect_same(pool.drain(sent.size()), sent);
    EXPECT_EQ(client.current_server_copy(), cluster.node(1).address());
    EXPECT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));
    client.stop();
    EXPECT_TRUE(captured.wait_for("[NATS] Disconnected from " + cluster.node(0).address() + "\n[NATS] Connecting to " +
                                  cluster.node(1).address() + "...\n[NATS] Connected: " + cluster.node(1).address() +
                                  "\n"));
    EXPECT_EQ(client.outbox_dropped(), 0u);
}

// A node frozen (SIGSTOP) with a find written into its socket: whichever watch notices first
// makes the connection stale, and the find, never confirmed, goes to the next node.
struct FrozenCase {
    const char* name;
    NatsTimings timings;
    const char* stale_line;
};

NatsTimings find_watch_timings() {
    NatsTimings timings = quick_timings();  // the product's keep-alive: 15 s, then 5 s twice
    timings.result_pong = std::chrono::milliseconds(1000);
    return timings;
}

class FrozenNode : public testing::TestWithParam<FrozenCase> {};

TEST_P(FrozenNode, IsLeftAndItsUnconfirmedFindResent) {
    const FrozenCase& c = GetParam();
    StderrCapture captured;
    NatsCluster cluster;
    cluster.start();
    NatsClient client("drevik-miner", c.timings);
    client.set_servers({cluster.node(0).url(), cluster.node(1).url()});
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.current_server_copy() == cluster.node(0).address(); }));
    Pool pool(cluster.node(2), cluster.node(0));

    cluster.node(0).pause();
    const Clock::time_point frozen = Clock::now();
    const std::string block = "{\"blockhash\":\"frozen\",\"nonce\":\"0000000000000001\"}";
    client.publish_kept(kResult, block, KeptKind::block, "block-1");
    // The bound only tells "noticed" from "never" (or from the 25 s of the product's keep-alive).
    ASSERT_TRUE(wait_until([&] { return client.current_server_copy() == cluster.node(1).address(); },
                           std::chrono::milliseconds(10000)));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - frozen);
    cluster.node(0).kill_hard();  // never to deliver its stale copy

    expect_same(pool.drain(1), {{kResult, block}});
    client.stop();
    EXPECT_TRUE(captured.wait_for(std::string(c.stale_line) + "[NATS] Disconnected from " + cluster.node(0).address() +
                                  "\n[NATS] Connecting to " + cluster.node(1).address()))
        << captured.text();
    std::printf("frozen node left after %lld ms (keep-alive %lld ms, PONG wait %lld ms, a result's PONG %lld ms)\n",
                static_cast<long long>(took.count()), static_cast<long long>(c.timings.keepalive.count()),
                static_cast<long long>(c.timings.pong_wait.count()),
                static_cast<long long>(c.timings.result_pong.count()));
}

INSTANTIATE_TEST_SUITE_P(NatsClientCluster, FrozenNode,
                         testing::Values(FrozenCase{"ByTwoUnansweredKeepAlivePings", cluster_timings(),
                                                    "[NATS] Stale connection: 2 PINGs unanswered\n"},
                                         FrozenCase{
                                             "ByTheFindsOwnPingWithinItsBound", find_watch_timings(),
                                             "[NATS] Stale connection: no PONG within 1s to confirm a result\n"}),
                         [](const testing::TestParamInfo<FrozenCase>& info) { return std::string(info.param.name); });

TEST(NatsClientCluster, OneSeedUrlIsEnoughToFailOverThroughTheAnnouncedServers) {
    StderrCapture captured;
    NatsCluster cluster;
    cluster.start();
    NatsClient client("drevik-miner", cluster_timings());
    client.set_servers({cluster.node(0).url()});
    client.start();
    const std::vector<std::string> others = {cluster.node(1).address(), cluster.node(2).address()};
    ASSERT_TRUE(wait_until([&] { return client.servers_copy().size() == 3; }));
    std::vector<std::string> servers = client.servers_copy();
    EXPECT_EQ(servers[0], cluster.node(0).url());
    std::vector<std::string> discovered(servers.begin() + 1, servers.end());
    std::sort(discovered.begin(), discovered.end());
    std::vector<std::string> expected = others;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(discovered, expected);
    for (const std::string& address : others) {
        EXPECT_TRUE(captured.wait_for("[NATS] Discovered server: " + address + "\n"));
    }

    Pool pool(cluster.node(2), cluster.node(1));
    cluster.node(0).kill_hard();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: ", 2));
    const std::string share = share_payload(7);
    client.publish_kept(kShare, share, KeptKind::share, "share-7");
    expect_same(pool.drain(1), {{kShare, share}});
    EXPECT_NE(client.current_server_copy(), cluster.node(0).address());
    client.stop();
}

}  // namespace
