// stop() with the product's own time-outs (5 s connect, 10 s receive, 3 s back-off): it must
// cut every blocking step short. The bound below only catches a wait for one of those
// time-outs; it is no performance figure.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "bus/nats_client.h"
#include "common/unique_fd.h"
#include "delivery_recorder.h"
#include "scripted_server.h"
#include "support/loopback_socket.h"
#include "support/stderr_capture.h"
#include "support/wait_until.h"

namespace {

constexpr std::chrono::milliseconds kWellBelowAnyTimeout{2000};

// Stops the client and checks it returned quickly and wrote nothing afterwards.
void expect_prompt_silent_stop(NatsClient& client, const StderrCapture& captured) {
    const auto started = std::chrono::steady_clock::now();
    client.stop();
    const auto took_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_LT(took_ms.count(), kWellBelowAnyTimeout.count());
    EXPECT_FALSE(client.is_connected());
    const std::string at_stop = captured.text();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(captured.text(), at_stop);
}

TEST(NatsClientStop, WhileBackingOffAfterAFailedPassOfUnusableEntries) {
    StderrCapture captured;
    NatsClient client("drevik-miner");
    client.set_servers({"nats://:4222", "nats://hostD:0", "nats://hostE:abc"});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] All servers failed, retrying in 3s...\n"));
    expect_prompt_silent_stop(client, captured);
    // Unusable entries are skipped without a word.
    EXPECT_EQ(captured.text(), "[NATS] All servers failed, retrying in 3s...\n");
}

TEST(NatsClientStop, WhileWaitingToRetryAServerJustLost) {
    StderrCapture captured;
    ScriptedServer server;
    NatsClient client("drevik-miner");
    client.set_servers({server.address()});
    client.start();
    ASSERT_TRUE(server.accept_handshake());
    server.drop_client();
    // The only server was attempted a moment ago: the next attempt waits out the back-off.
    ASSERT_TRUE(captured.wait_for("[NATS] Disconnected from " + server.address() + "\n"));
    expect_prompt_silent_stop(client, captured);
}

TEST(NatsClientStop, WhileWaitingForAGreeting) {
    StderrCapture captured;
    ScriptedServer silent;
    NatsClient client("drevik-miner");
    client.set_servers({silent.address()});
    client.start();
    ASSERT_TRUE(silent.accept_client());
    expect_prompt_silent_stop(client, captured);
}

TEST(NatsClientStop, WhileConnectedAndIdle) {
    StderrCapture captured;
    ScriptedServer server;
    NatsClient client("drevik-miner");
    client.set_servers({server.address()});
    client.start();
    ASSERT_TRUE(server.accept_handshake());
    ASSERT_TRUE(wait_until([&] { return client.is_connected(); }));
    expect_prompt_silent_stop(client, captured);
    EXPECT_TRUE(server.wait_closed());
    EXPECT_EQ(client.current_server_copy(), "");
    EXPECT_EQ(count_of(captured.text(), "Disconnected"), 0);
}

TEST(NatsClientStop, WhileWaitingForTheGreeting) {
    StderrCapture captured;
    ScriptedServer server;
    NatsClient client("drevik-miner");
    client.set_servers({server.address()});
    client.start();
    ASSERT_TRUE(server.accept_client());
    expect_prompt_silent_stop(client, captured);
    EXPECT_TRUE(server.wait_closed());
}

TEST(NatsClientStop, WhileAConnectionAttemptHangs) {
    // A listener whose accept queue is full drops further SYNs: the client's connect hangs.
    int port = 0;
    const UniqueFd listener(listen_loopback(0, port));
    ASSERT_TRUE(listener.valid());
    std::vector<UniqueFd> fillers;
    for (int i = 0; i < 4; ++i) {
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Done or still in progress, the attempt takes its place in the queue either way.
        (void)connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        fillers.push_back(std::move(fd));
    }
    StderrCapture captured;
    NatsClient client("drevik-miner");
    client.set_servers({"127.0.0.1:" + std::to_string(port)});
    client.start();
    ASSERT_TRUE(captured.wait_for("[NATS] Connecting to "));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    expect_prompt_silent_stop(client, captured);
    // Still connecting when stopped: neither outcome was reported.
    EXPECT_EQ(captured.text(), "[NATS] Connecting to 127.0.0.1:" + std::to_string(port) + "...\n");
}

TEST(NatsClientStop, WithoutStartAndTwice) {
    NatsClient client("drevik-miner");
    client.stop();
    client.stop();
    EXPECT_FALSE(client.is_connected());
}

}  // namespace
