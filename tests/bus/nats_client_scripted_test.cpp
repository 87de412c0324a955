// NatsClient against a scripted server, for the wire bytes it writes and for what a real
// server never sends: odd framing, malformed lines, hostile byte counts, silence.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "bus/nats_client.h"
#include "delivery_recorder.h"
#include "scripted_server.h"
#include "support/stderr_capture.h"
#include "support/wait_until.h"

namespace {

const std::string kHandshake =
    "CONNECT {\"verbose\":false,\"pedantic\":false,\"name\":\"drevik-miner\",\"headers\":true,"
    "\"no_responders\":true}\r\n"
    "SUB drevik.mining.job 1\r\n"
    "SUB drevik.mining.cancel 2\r\n"
    "SUB drevik.mining.config 3\r\n"
    "PING\r\n";

std::string msg(const std::string& subject, const std::string& sid, const std::string& payload) {
    return "MSG " + subject + " " + sid + " " + std::to_string(payload.size()) + "\r\n" + payload + "\r\n";
}

struct ScriptedClient {
    explicit ScriptedClient(NatsTimings timings = quick_timings()) : client("drevik-miner", timings) {
        client.set_servers({server.address()});
        subscribe_miner_subjects(client, recorder);
        client.start();
    }
    bool connected_and_greeted() {
        return server.accept_handshake() && wait_until([&] { return client.is_connected(); });
    }
    // Sends a final message and waits for it: everything the server sent before is handled.
    bool sync() {
        const size_t before = recorder.size();
        server.send(msg("drevik.mining.config", "3", "sync"));
        return wait_until([&] { return recorder.size() > before; });
    }

    StderrCapture captured;  // first: it outlives the client's lines
    ScriptedServer server;
    DeliveryRecorder recorder;
    NatsClient client;
};

TEST(NatsClientScripted, HandshakeIsConnectSubsPingAndRepeatsAfterReconnect) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    EXPECT_EQ(t.server.received(), kHandshake);

    t.server.drop_client();
    ASSERT_TRUE(t.server.accept_handshake());
    EXPECT_EQ(t.server.received(), kHandshake);
    ASSERT_TRUE(t.captured.wait_for("[NATS] Connected: ", 2));
    t.client.stop();
    const std::string connected =
        "[NATS] Connecting to " + t.server.address() + "...\n[NATS] Connected: " + t.server.address() + "\n";
    EXPECT_EQ(t.captured.text(), connected + "[NATS] Disconnected from " + t.server.address() + "\n" + connected);
}

TEST(NatsClientScripted, WritesPongForExactPingOnlyAndFramesPubAndLateSub) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    const size_t from = t.server.received().size();
    t.server.send("PING \r\nPING\r\n");
    ASSERT_TRUE(t.server.read_until("PONG\r\n", from));
    EXPECT_TRUE(t.client.publish("drevik.monitor.heartbeat.rig1", "{}"));
    t.client.subscribe("drevik.extra", t.recorder.callback("extra"));
    ASSERT_TRUE(t.server.read_until("SUB drevik.extra 4\r\n", from));
    ASSERT_TRUE(t.sync());
    EXPECT_EQ(t.server.received().substr(from),
              "PONG\r\nPUB drevik.monitor.heartbeat.rig1 2\r\n{}\r\nSUB drevik.extra 4\r\n");
}

TEST(NatsClientScripted, FramesMessagesByByteCountWhateverTheReads) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    t.server.send(msg("drevik.mining.job", "1", "hello"));
    t.server.send("MSG drevik.mining.job 1 inbox.7 5\r\nhello\r\n");  // reply subject dropped
    t.server.send(msg("drevik.mining.job", "1", "a\r\nb\r\nc"));      // CR LF inside the payload
    t.server.send("MSG drevik.mining.job 1 0\r\n\r\n");               // empty payload
    t.server.send(msg("drevik.mining.job", "9", "abc"));              // no such sid
    t.server.send("MSG drevik.mining.job 1\r\n");                     // 3 tokens: dropped
    t.server.send(msg("drevik.mining.job", "x", "abc"));              // sid 0: nobody
    t.server.send("MSG drevik.mining.cancel 2 x\r\n\r\n");            // count 0
    t.server.send("+OK\r\nINFO {\"later\":true}\r\n-ERR 'Unknown Protocol Operation'\r\n");
    t.server.send("-ERR 'a\n[FORGED] FOUND'\r\n-ERR " + std::string(300, 'e') + "\r\n");
    t.server.send(msg("drevik.mining.config", "3", "A") + msg("drevik.mining.config", "3", "B"));
    t.server.send_in_pieces(msg("drevik.mining.job", "1", "split\r\nacross reads"), 1);
    t.server.send_in_pieces(
        "MSG drevik.mining.cancel 2 3\r\nxyz\r\n" + msg("drevik.mining.job", "1", std::string(70000, 'z')), 4096);
    ASSERT_TRUE(t.sync());

    const std::vector<Delivery> expected = {
        {"job", "drevik.mining.job", "hello"},       {"job", "drevik.mining.job", "hello"},
        {"job", "drevik.mining.job", "a\r\nb\r\nc"}, {"job", "drevik.mining.job", ""},
        {"cancel", "drevik.mining.cancel", ""},      {"config", "drevik.mining.config", "A"},
        {"config", "drevik.mining.config", "B"},     {"job", "drevik.mining.job", "split\r\nacross reads"},
        {"cancel", "drevik.mining.cancel", "xyz"},   {"job", "drevik.mining.job", std::string(70000, 'z')},
        {"config", "drevik.mining.config", "sync"},
    };
    EXPECT_EQ(t.recorder.all(), expected);
    t.client.stop();
    const std::string text = t.captured.text();
    EXPECT_NE(text.find("\n[NATS] Server error: -ERR 'Unknown Protocol Operation'\n"), std::string::npos);
    // Server text is escaped and cut before it reaches the console.
    EXPECT_NE(text.find("\n[NATS] Server error: -ERR 'a\\n[FORGED] FOUND'\n"), std::string::npos);
    EXPECT_NE(text.find("\n[NATS] Server error: -ERR " + std::string(195, 'e') + "...\n"), std::string::npos);
    EXPECT_EQ(text.find("Disconnected"), std::string::npos);
}

TEST(NatsClientScripted, HostileByteCountDropsTheConnectionWithoutReadingIt) {
    ScriptedClient t;
    const char* counts[] = {"-1",         "-99999999999999999999", "67108865",
                            "2147483648", "99999999999",           "99999999999999999999999"};
    for (const char* count : counts) {
        SCOPED_TRACE(count);
        ASSERT_TRUE(t.connected_and_greeted());
        t.server.send(std::string("MSG drevik.mining.job 1 ") + count + "\r\nabc\r\n");
        EXPECT_TRUE(t.server.wait_closed());
        EXPECT_TRUE(t.captured.wait_for(std::string("[NATS] Protocol error: MSG drevik.mining.job 1 ") + count + "\n"));
    }
    ASSERT_TRUE(t.connected_and_greeted());
    EXPECT_EQ(t.recorder.size(), 0u);
}

TEST(NatsClientScripted, EndlessLineWithoutLineEndDropsTheConnection) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    t.server.send(std::string(size_t{2} * 1024 * 1024, 'x'));
    EXPECT_TRUE(t.server.wait_closed());
    EXPECT_TRUE(
        t.captured.wait_for("[NATS] Protocol error: line longer than 1048576 bytes\n"
                            "[NATS] Disconnected from " +
                            t.server.address() + "\n"));
    ASSERT_TRUE(t.connected_and_greeted());
}

TEST(NatsClientScripted, PayloadThatNeverCompletesIsALostConnection) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    t.server.send("MSG drevik.mining.job 1 10\r\nabc");
    EXPECT_TRUE(t.server.wait_closed());  // after the receive time-out
    EXPECT_TRUE(t.captured.wait_for("[NATS] Disconnected from " + t.server.address() + "\n"));
    ASSERT_TRUE(t.connected_and_greeted());
    EXPECT_EQ(t.recorder.size(), 0u);
}

TEST(NatsClientScripted, AServerThatGivesNoGreetingIsReportedWithWhyAndTheNextEntryTriedAtOnce) {
    const struct {
        const char* reason;
        std::function<void(ScriptedServer&)> act;
    } cases[] = {
        {"no greeting", [](ScriptedServer&) {}},  // silence until the greeting time-out
        {"connection closed before INFO", [](ScriptedServer& s) { s.drop_client(); }},
        {"connection reset before INFO", [](ScriptedServer& s) { s.reset_client(); }},
        {"first line is not INFO", [](ScriptedServer& s) { s.send("-ERR 'maximum connections exceeded'\r\n"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        StderrCapture captured;
        ScriptedServer failing;
        ScriptedServer answering;
        NatsTimings timings = quick_timings();
        timings.greeting_timeout = std::chrono::milliseconds(2000);
        NatsClient client("drevik-miner", timings);
        client.set_servers({failing.address(), answering.address()});
        client.start();
        ASSERT_TRUE(failing.accept_client());
        // Past the client's connect, well within its wait for the greeting: a reset any sooner
        // would fail the connect itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.act(failing);
        ASSERT_TRUE(answering.accept_handshake());
        // The line follows the connected state; stopping before it is written would lose it.
        ASSERT_TRUE(wait_until([&] { return captured.text().find("[NATS] Connected: ") != std::string::npos; }));
        client.stop();
        EXPECT_EQ(captured.text(), "[NATS] Connecting to " + failing.address() + "...\n[NATS] Failed: " +
                                       failing.address() + " (" + c.reason + ")\n[NATS] Connecting to " +
                                       answering.address() + "...\n[NATS] Connected: " + answering.address() + "\n");
    }
}

NatsTimings keepalive_timings() {
    NatsTimings timings = quick_timings();
    timings.keepalive = std::chrono::milliseconds(150);
    timings.pong_wait = std::chrono::milliseconds(100);
    return timings;
}

TEST(NatsClientScripted, AnsweredKeepAlivePingsKeepAnIdleConnection) {
    ScriptedClient t(keepalive_timings());
    ASSERT_TRUE(t.connected_and_greeted());
    size_t from = t.server.received().size();
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(t.server.read_until("PING\r\n", from));
        from = t.server.received().size();
        t.server.send("PONG\r\n");
    }
    EXPECT_TRUE(t.client.is_connected());
    ASSERT_TRUE(t.sync());
    t.client.stop();
    EXPECT_EQ(t.captured.text().find("Stale"), std::string::npos);
}

TEST(NatsClientScripted, TwoUnansweredKeepAlivePingsMakeTheConnectionStale) {
    ScriptedClient t(keepalive_timings());
    ASSERT_TRUE(t.connected_and_greeted());
    t.server.send("PONG\r\n");  // to the handshake's PING
    const size_t from = t.server.received().size();
    EXPECT_TRUE(t.server.wait_closed());
    EXPECT_EQ(t.server.received().substr(from), "PING\r\nPING\r\n");
    EXPECT_TRUE(t.captured.wait_for("[NATS] Stale connection: 2 PINGs unanswered\n[NATS] Disconnected from " +
                                    t.server.address() + "\n"));
    ASSERT_TRUE(t.connected_and_greeted());
}

TEST(NatsClientScripted, KeptResultCountsAsDeliveredOnlyOnceThePongCame) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    const std::string block = "{\"nonce\":\"00000000000000aa\"}";
    const std::string pub = "PUB drevik.mining.result " + std::to_string(block.size()) + "\r\n" + block + "\r\n";
    size_t from = t.server.received().size();
    EXPECT_TRUE(t.client.publish_kept("drevik.mining.result", block, KeptKind::block, "block-1"));
    ASSERT_TRUE(t.server.read_until(pub + "PING\r\n", from));
    EXPECT_EQ(t.client.outbox_size(), 1u);

    // Lost before the PONG: written again after the next handshake, between SUBs and PING.
    t.server.drop_client();
    ASSERT_TRUE(t.server.accept_handshake());
    EXPECT_EQ(t.server.received(), kHandshake.substr(0, kHandshake.size() - 6) + pub + "PING\r\n");
    EXPECT_EQ(t.client.outbox_size(), 1u);

    // The PONG to that PING confirms it: the next connection does not see it again.
    t.server.send("PONG\r\n");
    ASSERT_TRUE(wait_until([&] { return t.client.outbox_size() == 0; }));
    t.server.drop_client();
    ASSERT_TRUE(t.server.accept_handshake());
    EXPECT_EQ(t.server.received(), kHandshake);
}

TEST(NatsClientScripted, CurrentJobIsRequestedAfterEveryHandshakeAndTheAnswerDelivered) {
    StderrCapture captured;
    ScriptedServer server;
    DeliveryRecorder recorder;
    NatsClient client("drevik-miner", quick_timings());
    client.set_servers({server.address()});
    subscribe_miner_subjects(client, recorder);
    client.request_on_connect("drevik.mining.job.current", recorder.callback("current"));
    client.start();
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(server.accept_handshake());
        const std::string& got = server.received();
        const std::string subs = kHandshake.substr(0, kHandshake.size() - 6);  // without "PING\r\n"
        ASSERT_EQ(got.substr(0, subs.size()), subs);
        // "SUB <inbox> 4", then the request with that inbox as reply subject, then PING.
        const std::string rest = got.substr(subs.size());
        ASSERT_EQ(rest.rfind("SUB _INBOX.", 0), 0u) << rest;
        const std::string inbox = rest.substr(4, rest.find(' ', 4) - 4);
        EXPECT_EQ(inbox.size(), 7u + 22u);
        EXPECT_EQ(rest, "SUB " + inbox + " 4\r\nPUB drevik.mining.job.current " + inbox + " 0\r\n\r\nPING\r\n");
        server.send(msg(inbox, "4", "{\"height\":7}"));
        ASSERT_TRUE(wait_until([&] { return recorder.size() == static_cast<size_t>(round + 1); }));
        EXPECT_EQ(recorder.all().back(), (Delivery{"current", inbox, "{\"height\":7}"}));
        server.drop_client();
    }
    client.stop();
}

TEST(NatsClientScripted, InfoWhileConnectedAddsAnnouncedServersOnceAndIgnoresUnusableOnes) {
    ScriptedClient t;
    ASSERT_TRUE(t.connected_and_greeted());
    const std::string own = t.server.address();
    t.server.send("INFO {\"connect_urls\":[\"" + own +
                  "\",\"10.0.0.2:4222\",\"10.0.0.2:4222\",\"10.0.0.3:4222\","
                  "\"10.0.0.4:70000\",\"bad\\nhost:4222\",\"\",7,\"" +
                  std::string(300, 'h') + ":1\"]}\r\n");
    t.server.send("INFO {\"connect_urls\":[\"10.0.0.3:4222\",\"10.0.0.5:4222\"]}\r\n");
    ASSERT_TRUE(t.sync());
    // The latest announcement replaces the earlier one; the operator's entry stays first.
    EXPECT_EQ(t.client.servers_copy(), (std::vector<std::string>{own, "10.0.0.3:4222", "10.0.0.5:4222"}));
    t.client.stop();
    EXPECT_EQ(t.captured.text(), "[NATS] Connecting to " + own + "...\n[NATS] Connected: " + own +
                                     "\n[NATS] Discovered server: 10.0.0.2:4222\n[NATS] Discovered server: "
                                     "10.0.0.3:4222\n[NATS] Discovered server: 10.0.0.5:4222\n");
}

// A server that repeats itself (a thousand -ERR lines, INFO lines that swap the announced
// servers back and forth) gets a few lines of each kind on the console in a window, then one
// count of the rest.
TEST(NatsClientScripted, RepeatedServerLinesAreAFewAWindowThenACount) {
    NatsTimings timings = quick_timings();
    timings.noise_window = std::chrono::milliseconds(1000);
    ScriptedClient t(timings);
    ASSERT_TRUE(t.connected_and_greeted());
    const std::string swap[] = {"INFO {\"connect_urls\":[\"10.0.0.1:4222\",\"10.0.0.2:4222\"]}\r\n",
                                "INFO {\"connect_urls\":[\"10.0.0.3:4222\",\"10.0.0.4:4222\"]}\r\n"};
    std::string flood;
    for (int i = 0; i < 1000; ++i) flood += "-ERR 'e" + std::to_string(i) + "'\r\n" + swap[i % 2];
    t.server.send(flood);
    // Once the window is over, the next wake-up of the reader reports the counts.
    ASSERT_TRUE(wait_until([&] { return t.sync() && count_of(t.captured.text(), "more not shown") == 2; }));
    t.client.stop();
    const std::string own = t.server.address();
    const auto error = [](int i) { return "[NATS] Server error: -ERR 'e" + std::to_string(i) + "'\n"; };
    const auto discovered = [](int host) {
        return "[NATS] Discovered server: 10.0.0." + std::to_string(host) + ":4222\n";
    };
    EXPECT_EQ(t.captured.text(), "[NATS] Connecting to " + own + "...\n[NATS] Connected: " + own + "\n" + error(0) +
                                     discovered(1) + discovered(2) + error(1) + discovered(3) + discovered(4) +
                                     error(2) + discovered(1) + error(3) + error(4) +
                                     "[NATS] Discovered server: 1995 more not shown\n"
                                     "[NATS] Server error: 995 more not shown\n");
}

TEST(NatsClientScripted, ConcurrentPublishersNeverInterleaveAcrossReconnectsAndStop) {
    ScriptedClient t;
    struct Publishers {
        std::atomic<bool> publishing{true};
        std::vector<std::thread> threads;
        ~Publishers() {
            publishing.store(false);
            for (std::thread& thread : threads) thread.join();
        }
    } publishers;
    for (int p = 0; p < 3; ++p) {
        publishers.threads.emplace_back([&, p] {
            const std::string payload(1000 + p * 3000, static_cast<char>('a' + p));
            while (publishers.publishing.load()) t.client.publish("drevik.mining.share", payload);
        });
    }
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(t.connected_and_greeted());
        // No publication slips in ahead of the handshake of a new connection.
        ASSERT_EQ(t.server.received().substr(0, kHandshake.size()), kHandshake);
        const size_t from = kHandshake.size();
        ASSERT_TRUE(t.server.read_until("\r\nPUB drevik.mining.share", from));
        // Everything after the handshake is whole PUB frames of one publisher each.
        std::string rest = t.server.received().substr(from);
        size_t at = 0;
        int frames = 0;
        while (true) {
            const size_t line_end = rest.find("\r\n", at);
            if (line_end == std::string::npos) break;
            const std::string header = rest.substr(at, line_end - at);
            ASSERT_EQ(header.rfind("PUB drevik.mining.share ", 0), 0u) << header;
            const size_t count = std::stoul(header.substr(24));
            if (line_end + 2 + count + 2 > rest.size()) break;  // last frame still arriving
            const std::string payload = rest.substr(line_end + 2, count);
            ASSERT_EQ(payload, std::string(count, payload[0]));
            ASSERT_EQ(rest.substr(line_end + 2 + count, 2), "\r\n");
            at = line_end + 2 + count + 2;
            ++frames;
        }
        EXPECT_GT(frames, 0);
        t.server.drop_client();
    }
    t.client.stop();  // while the publishers are still at it
}

}  // namespace
