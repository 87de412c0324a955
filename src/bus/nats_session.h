#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "bus/nats_client.h"
#include "bus/nats_parser.h"
#include "bus/nats_protocol.h"
#include "common/thread_annotations.h"

// One connection's life, from connect to close, on the reader thread: a socket to one server,
// its greeting, TLS, CONNECT (confirmed where credentials or TLS are at stake), the handshake,
// then the receive loop, which dispatches what arrives, keeps the connection alive and services
// the results, until the connection is lost or the client stops. The client's link state
// follows it (LinkState in nats_client.h).
class NatsSession {
public:
    // How a session ended: failed before the handshake, or lost after it.
    enum class End { failed, lost };

    // `chunk` is the receive buffer, kept across sessions.
    NatsSession(NatsClient& client, ServerAddress address, std::vector<char>& chunk);

    // Runs the session to its end: the link is closed and the console told when it returns.
    End run();

private:
    bool connect_to() EXCLUDES(client.link_mutex);
    std::optional<ServerInfo> read_greeting(std::string& why);
    bool secure_link(const ServerInfo& info, std::string& why);
    void open_to_writers() EXCLUDES(client.send_mutex, client.link_mutex);
    bool confirm_connect(std::string& why) EXCLUDES(client.send_mutex);
    void apply_info(const ServerInfo& info) EXCLUDES(client.servers_mutex);
    std::string inherited_entry(const std::string& url) const;
    void handshake(const std::string& connect_text) EXCLUDES(client.subscriptions_mutex, client.send_mutex);
    void receive_loop();
    ssize_t receive_frames(std::chrono::milliseconds timeout, int nudge = -1);
    bool dispatch_frames();
    void deliver(int64_t sid, const NatsMsg& message) EXCLUDES(client.subscriptions_mutex);
    bool keep_alive() EXCLUDES(client.send_mutex);
    void handle_pong() EXCLUDES(client.send_mutex);
    bool service_results() EXCLUDES(client.send_mutex);
    void handle_result_reply(const NatsFrame& frame) EXCLUDES(client.send_mutex);
    std::chrono::milliseconds next_wait() EXCLUDES(client.send_mutex);
    void settle(const OutboxOutcome& outcome);
    void reset_stream();
    End fail(const std::string& why);
    void close() EXCLUDES(client.send_mutex, client.link_mutex);
    void set_current_server(std::string server) EXCLUDES(client.servers_mutex);

    NatsClient& client;
    const ServerAddress address;
    const std::string server;  // the address as the console shows it
    std::vector<char>& chunk;

    NatsParser parser;              // what this connection has sent so far
    std::vector<NatsFrame> frames;  // parsed and not handled yet
    std::chrono::steady_clock::time_point next_ping;
    int pings_unanswered = 0;
    std::vector<std::string> unstored_reported;  // subjects warned about on this connection
};
