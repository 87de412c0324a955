// NatsClient against a real nats-server: what the server saw is read from its monitoring
// endpoint, and an independent raw client publishes and subscribes on the other side.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "bus/nats_client.h"
#include "common/unique_fd.h"
#include "delivery_recorder.h"
#include "scripted_server.h"
#include "support/nats_server_process.h"
#include "support/nats_test_client.h"
#include "support/stderr_capture.h"
#include "support/wait_until.h"

namespace {

using Sub = NatsServerProcess::Subscription;

const std::vector<Sub> kMinerSubscriptions = {
    {"drevik.mining.job", "1"}, {"drevik.mining.cancel", "2"}, {"drevik.mining.config", "3"}};

std::string connected_lines(const std::string& address) {
    return "[NATS] Connecting to " + address + "...\n[NATS] Connected: " + address + "\n";
}

bool server_sees_miner_subscriptions(const NatsServerProcess& server) {
    return wait_until([&] { return callback_subscriptions(server, "drevik-miner") == kMinerSubscriptions; });
}

TEST(NatsClientRealServer, SubscribesWithSidsOneTwoThreeAndDeliversExactPayloads) {
    StderrCapture captured;
    NatsServerProcess server;
    server.start();
    DeliveryRecorder recorder;
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({server.url()});
    subscribe_miner_subjects(client, recorder);
    client.start();

    ASSERT_TRUE(wait_until([&] { return client.is_connected(); }));
    EXPECT_EQ(client.current_server_copy(), server.address());
    ASSERT_TRUE(server_sees_miner_subscriptions(server));
    // Besides them, the inbox results' answers come to: one subject of its own, under sid 0.
    const std::vector<Sub> all = server.subscriptions_of("drevik-miner");
    ASSERT_EQ(all.size(), 4u);
    const auto replies = std::find_if(all.begin(), all.end(), [](const Sub& s) { return s.sid == "0"; });
    ASSERT_NE(replies, all.end());
    EXPECT_EQ(replies->subject.size(), 31u) << replies->subject;
    EXPECT_EQ(replies->subject.rfind("_INBOX.", 0), 0u) << replies->subject;
    EXPECT_EQ(replies->subject.substr(29), ".*") << replies->subject;

    const std::string large(size_t{300} * 1024, 'x');  // spans many receives
    NatsTestClient pool(server.port());
    pool.publish("drevik.mining.job", "hello");
    pool.publish("drevik.mining.job", "a\r\nb\r\n");
    pool.publish("drevik.mining.job", "");
    pool.publish("drevik.other", "nobody listens");
    pool.publish("drevik.mining.cancel", "{\"job\":1}");
    pool.publish("drevik.mining.config", large);
    ASSERT_TRUE(pool.flush());
    ASSERT_TRUE(wait_until([&] { return recorder.size() >= 5; }));

    client.stop();
    const std::vector<Delivery> expected = {
        {"job", "drevik.mining.job", "hello"},     {"job", "drevik.mining.job", "a\r\nb\r\n"},
        {"job", "drevik.mining.job", ""},          {"cancel", "drevik.mining.cancel", "{\"job\":1}"},
        {"config", "drevik.mining.config", large},
    };
    EXPECT_EQ(recorder.all(), expected);
    EXPECT_EQ(captured.text(), connected_lines(server.address()));
    EXPECT_FALSE(client.is_connected());
}

TEST(NatsClientRealServer, PublishReachesASubscriberOfAnotherConnection) {
    NatsServerProcess server;
    server.start();
    NatsClient client("drevik-miner", quick_timings());
    EXPECT_FALSE(client.publish("drevik.mining.share", "before start"));
    client.set_servers({server.url()});
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.is_connected(); }));

    NatsTestClient pool(server.port());
    pool.subscribe("drevik.mining.share", 7);
    ASSERT_TRUE(pool.flush());
    const std::string large(size_t{300} * 1024, 'y');
    const std::vector<std::string> payloads = {"{}", "a\r\nb", "", large};
    for (const std::string& payload : payloads) {
        EXPECT_TRUE(client.publish("drevik.mining.share", payload));
    }
    for (const std::string& payload : payloads) {
        const std::optional<NatsTestClient::Message> message = pool.next_message();
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(message->subject, "drevik.mining.share");
        EXPECT_EQ(message->sid, "7");
        EXPECT_EQ(message->data, payload);
    }
    client.stop();
    EXPECT_FALSE(client.publish("drevik.mining.share", "after stop"));
}

TEST(NatsClientRealServer, ServerRestartReconnectsAndResubscribesWithTheSameSids) {
    StderrCapture captured;
    NatsServerProcess server;
    server.start();
    DeliveryRecorder recorder;
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({server.url()});
    subscribe_miner_subjects(client, recorder);
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.is_connected(); }));
    ASSERT_TRUE(server_sees_miner_subscriptions(server));

    server.stop();
    ASSERT_TRUE(captured.wait_for("[NATS] Disconnected from " + server.address() + "\n"));
    EXPECT_FALSE(client.is_connected());
    EXPECT_EQ(client.current_server_copy(), "");

    server.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: ", 2));
    ASSERT_TRUE(server_sees_miner_subscriptions(server));
    EXPECT_EQ(client.current_server_copy(), server.address());

    NatsTestClient pool(server.port());
    pool.publish("drevik.mining.job", "after restart");
    ASSERT_TRUE(wait_until([&] { return recorder.size() == 1; }));
    EXPECT_EQ(recorder.all()[0], (Delivery{"job", "drevik.mining.job", "after restart"}));
    client.stop();

    const std::string text = captured.text();
    const std::string first = connected_lines(server.address()) + "[NATS] Disconnected from " + server.address() + "\n";
    EXPECT_EQ(text.substr(0, first.size()), first);
    const std::string last = connected_lines(server.address());
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(NatsClientRealServer, TakesTheFirstServerThatAnswersAndAfterALossGoesOnWithTheNext) {
    StderrCapture captured;
    NatsServerProcess a;  // down for now
    NatsServerProcess b;
    b.start();
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({a.url(), b.url()});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: "));
    EXPECT_EQ(client.current_server_copy(), b.address());
    EXPECT_EQ(captured.text(), "[NATS] Connecting to " + a.address() + "...\n[NATS] Failed: " + a.address() + "\n" +
                                   connected_lines(b.address()));

    a.start();
    b.stop();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: " + a.address()));
    EXPECT_EQ(client.current_server_copy(), a.address());
    client.stop();
    // Losing B, the last entry, goes on at once round the list, with A.
    const std::string text = captured.text();
    const std::string after_loss = "[NATS] Disconnected from " + b.address() + "\n";
    const size_t loss = text.find(after_loss);
    ASSERT_NE(loss, std::string::npos);
    EXPECT_EQ(text.substr(loss + after_loss.size()), connected_lines(a.address()));
}

TEST(NatsClientRealServer, ThrowingCallbackIsReportedAndDoesNotStopLaterDeliveries) {
    StderrCapture captured;
    NatsServerProcess server;
    server.start();
    DeliveryRecorder recorder;
    const MsgCallback record = recorder.callback("job");
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({server.url()});
    client.subscribe("drevik.mining.job", [&](const NatsMsg& message) {
        record(message);
        if (message.data == "std") throw std::runtime_error("handler failed\n[FORGED] line");
        if (message.data == "int") throw 42;
    });
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.is_connected(); }));
    ASSERT_TRUE(wait_until([&] { return callback_subscriptions(server, "drevik-miner").size() == 1; }));

    NatsTestClient pool(server.port());
    for (const char* payload : {"std", "int", "after"}) pool.publish("drevik.mining.job", payload);
    ASSERT_TRUE(wait_until([&] { return recorder.size() == 3; }));
    EXPECT_EQ(recorder.all()[2].data, "after");
    EXPECT_TRUE(client.is_connected());
    client.stop();
    // One line each, the exception's text escaped like any text from the bus.
    EXPECT_EQ(captured.text(), connected_lines(server.address()) +
                                   "[NATS] Callback failed on drevik.mining.job: handler failed\\n[FORGED] line\n"
                                   "[NATS] Callback failed on drevik.mining.job: unknown exception\n");
}

// A nats-server configuration file that lives as long as the object.
struct ServerConfig {
    explicit ServerConfig(const std::string& text) {
        char name[] = "/tmp/drevik-nats-XXXXXX";
        const UniqueFd fd(mkstemp(name));
        path = name;
        if (fd.valid()) {
            [[maybe_unused]] const ssize_t n = write(fd.get(), text.data(), text.size());
        }
    }
    ~ServerConfig() { std::remove(path.c_str()); }
    std::string path;
};

TEST(NatsClientRealServer, PublishAboveTheAnnouncedMaxPayloadIsRefusedAndResultsWaitForAServerThatTakesThem) {
    StderrCapture captured;
    const ServerConfig config("max_payload: 4096\n");
    NatsServerProcess small({"-c", config.path});
    NatsServerProcess large;
    small.start();
    large.start();
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({small.url(), large.url()});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connected: " + small.address()));
    NatsTestClient pool(small.port());
    pool.subscribe("drevik.mining.share", 1);
    ASSERT_TRUE(pool.flush());

    // A result's 34 bytes of headers ("Nats-Msg-Id: id-NNNN") count against the limit too.
    const struct {
        size_t size;
        bool kept;
        bool delivered;
        size_t counted;
    } cases[] = {{4096, false, true, 4096}, {4097, false, false, 4097}, {4062, true, true, 4096},
                 {4063, true, false, 4097}, {9999, true, false, 10033}, {5, false, true, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.kept ? " kept" : " fire and forget"));
        const std::string payload(c.size, 's');
        if (c.kept) {
            client.publish_kept("drevik.mining.share", payload, KeptKind::share, "id-" + std::to_string(c.size));
        } else {
            client.publish("drevik.mining.share", payload);
        }
        if (c.delivered) {
            const std::optional<NatsTestClient::Message> m = pool.next_message();
            ASSERT_TRUE(m.has_value());
            EXPECT_EQ(m->data, payload);
            continue;
        }
        const std::string line = "[NATS] Not sent: " + std::to_string(c.counted) +
                                 (c.kept ? "-byte share on drevik.mining.share exceeds max_payload 4096, kept for "
                                           "another server\n"
                                         : "-byte message on drevik.mining.share exceeds max_payload 4096\n");
        EXPECT_TRUE(captured.wait_for(line)) << captured.text();
    }
    EXPECT_EQ(client.refused_oversized(), 3u);
    // What was sent leaves the outbox once the server has it; what this server cannot take stays.
    EXPECT_TRUE(wait_until([&] { return client.outbox_size() == 2; })) << client.outbox_size();
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(captured.text().find("Disconnected"), std::string::npos);
    EXPECT_EQ(captured.text().find("Server error"), std::string::npos);

    // The next server takes them.
    NatsTestClient pool_on_large(large.port());
    pool_on_large.subscribe("drevik.mining.share", 1);
    ASSERT_TRUE(pool_on_large.flush());
    small.kill_hard();
    for (const size_t size : {4063, 9999}) {
        const std::optional<NatsTestClient::Message> m = pool_on_large.next_message();
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->data, std::string(size, 's'));
    }
    EXPECT_TRUE(wait_until([&] { return client.outbox_size() == 0; })) << client.outbox_size();
    client.stop();
}

TEST(NatsClientRealServer, ResultsPublishedWithoutAConnectionArriveInOrderOnceThereIsOne) {
    StderrCapture captured;
    NatsClient client("drevik-miner", quick_timings());  // not started: no connection yet

    // A block first, then more shares than the outbox holds: the block and the newest shares stay.
    const std::string block = "{\"blockhash\":\"b\",\"nonce\":\"0000000000000001\"}";
    EXPECT_FALSE(client.publish_kept("drevik.mining.result", block, KeptKind::block, "block-1"));
    const size_t share_size = size_t{100} * 1024;  // ten of them and the block fit in 1 MiB, eleven do not
    std::vector<std::string> shares;
    for (int i = 0; i < 12; ++i) {
        shares.push_back(std::string(share_size, static_cast<char>('a' + i)));
        EXPECT_FALSE(
            client.publish_kept("drevik.mining.share", shares.back(), KeptKind::share, "share-" + std::to_string(i)));
    }
    EXPECT_EQ(client.outbox_dropped(), 2u);
    EXPECT_EQ(client.outbox_size(), 11u);
    std::string expected_log;
    for (int n = 1; n <= 2; ++n) {
        expected_log += "[NATS] Outbox full: dropped a 102400-byte share on drevik.mining.share (" + std::to_string(n) +
                        " dropped in all)\n";
    }
    EXPECT_EQ(captured.text(), expected_log);

    NatsServerProcess server;
    server.start();
    NatsTestClient pool(server.port());
    pool.subscribe("drevik.mining.share", 1);
    pool.subscribe("drevik.mining.result", 2);
    ASSERT_TRUE(pool.flush());
    client.set_servers({server.url()});
    client.start();
    std::vector<std::pair<std::string, std::string>> got;
    while (got.size() < 11) {
        const std::optional<NatsTestClient::Message> m = pool.next_message();
        ASSERT_TRUE(m.has_value());
        got.emplace_back(m->subject, m->data);
    }
    EXPECT_TRUE(got[0] == std::make_pair(std::string("drevik.mining.result"), block));
    for (size_t i = 1; i < got.size(); ++i) {  // the two oldest shares fell out
        EXPECT_TRUE(got[i] == std::make_pair(std::string("drevik.mining.share"), shares[i + 1])) << i;
    }
    EXPECT_TRUE(wait_until([&] { return client.outbox_size() == 0; }));
    client.stop();
}

// An IPv6 literal in brackets, as the operator writes one in a URL and as a cluster announces one
// in connect_urls, is reached like any address.
TEST(NatsClientRealServer, BracketedIpv6AddressesAreReached) {
    StderrCapture captured;
    NatsServerProcess server({"-a", "::"});  // ::1 and 127.0.0.1 (where the fixture checks on it) alike
    server.start();
    const std::string ipv6 = "[::1]:" + std::to_string(server.port());
    {
        NatsClient client("drevik-miner", quick_timings());
        client.set_servers({"nats://" + ipv6});
        client.start();
        ASSERT_TRUE(wait_until([&] { return client.is_connected(); })) << captured.text();
        EXPECT_EQ(client.current_server_copy(), ipv6);
        EXPECT_TRUE(wait_until([&] { return server.connections_named("drevik-miner") == 1; }));
    }
    // A seed that announces the server and goes away: the client goes on to the announced one.
    ScriptedServer seed;
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({seed.address()});
    client.start();
    ASSERT_TRUE(seed.accept_client());
    seed.send("INFO {\"connect_urls\":[\"" + ipv6 + "\"]}\r\n");
    ASSERT_TRUE(seed.read_until("PING\r\n"));
    seed.drop_client();
    ASSERT_TRUE(wait_until([&] { return client.is_connected() && client.current_server_copy() == ipv6; }))
        << captured.text();
    client.stop();
    EXPECT_TRUE(captured.wait_for("[NATS] Discovered server: " + ipv6 + "\n"));
    EXPECT_TRUE(captured.wait_for("[NATS] Connected: " + ipv6 + "\n", 2));
}

}  // namespace
