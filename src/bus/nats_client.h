#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bus/nats_outbox.h"
#include "bus/nats_protocol.h"
#include "bus/nats_servers.h"
#include "bus/socket_io.h"
#include "bus/tls_session.h"

// One delivered message; valid only during the callback.
struct NatsMsg {
    std::string subject;
    std::string data;
};

using MsgCallback = std::function<void(const NatsMsg&)>;

// Until a server's INFO says otherwise, the limit NATS servers start with.
inline constexpr int64_t kMaxPayloadDefault = int64_t{1024} * 1024;

struct Subscription {
    std::string subject;
    int32_t sid;
    MsgCallback callback;
};

// The product runs with these values; tests shorten them.
struct NatsTimings {
    std::chrono::milliseconds connect_timeout{5000};   // each connection attempt, each blocked send
    std::chrono::milliseconds greeting_timeout{3000};  // from connect to the server's INFO line
    std::chrono::milliseconds receive_timeout{10000};  // wait for the rest of a message payload
    // Pause after a pass over every server failed, plus a random extra of up to backoff_jitter,
    // so a fleet does not reconnect in lock-step; also the least time between two attempts on
    // the same server.
    std::chrono::milliseconds backoff{3000};
    std::chrono::milliseconds backoff_jitter{1000};
    std::chrono::milliseconds keepalive{15000};  // without a PONG for this long the client sends PING
    // An unanswered keep-alive PING is repeated after this; two unanswered make the connection
    // stale, and it is dropped.
    std::chrono::milliseconds pong_wait{5000};
};

// The pause after a failed pass: the back-off plus a random extra of up to backoff_jitter.
std::chrono::milliseconds backoff_pause(const NatsTimings& timings, std::mt19937& generator);

// The miner's NATS client over TCP, with TLS for "tls://" entries, for servers that require it
// and for every server once TLS options are set; never a plain-text fall-back. A reader thread connects to the first
// server of the list that answers, runs the handshake, receives and dispatches messages, watches the connection with
// keep-alive PINGs, and after a loss goes on with the next server at once. The list grows by the servers a cluster
// announces. Any thread may publish; results published with publish_kept() survive lost connections (see
// nats_outbox.h).
class NatsClient {
public:
    explicit NatsClient(std::string name, NatsTimings timings = {});
    ~NatsClient();
    NatsClient(const NatsClient&) = delete;
    NatsClient& operator=(const NatsClient&) = delete;

    // Before start().
    void set_servers(std::vector<std::string> servers);
    // Before start(). Any option set makes TLS required on every server. Returns why the
    // options cannot be used; empty when they can.
    std::string set_tls(const TlsOptions& options);
    // Callbacks run on the reader thread, one at a time; exceptions they throw are discarded.
    void subscribe(const std::string& subject, MsgCallback callback);
    // After every handshake, asks for an answer on `subject` with an inbox of this client's own;
    // answers go to `on_reply` like any delivery. Before start().
    void request_on_connect(const std::string& subject, MsgCallback on_reply);
    // Fire and forget: false when not connected (dropped) or when the payload exceeds the
    // server's max_payload (reported and counted). Nothing is kept.
    bool publish(const std::string& subject, const std::string& payload);
    // Kept in the outbox until the server confirms it, written again after reconnecting. False
    // when it is not written now (kept for later, or refused as too large).
    bool publish_kept(const std::string& subject, const std::string& payload, KeptKind kind);
    // Writes `text` as one unit; a failed write drops the connection for the reader to renew.
    void send_raw(const std::string& text);

    void start();
    // Wakes the reader from any blocking step and joins it; prints nothing after returning.
    void stop();

    bool is_connected() const;
    std::string current_server_copy() const;
    // The server list as it stands, discovered servers included.
    std::vector<std::string> servers_copy() const;
    uint64_t refused_oversized() const { return oversized.load(); }  // publishes above max_payload
    uint64_t outbox_dropped() const { return dropped.load(); }       // results that fell out
    size_t outbox_size() const;                                      // results kept right now

private:
    enum class Attempt { failed, lost };

    void run();
    Attempt attempt(size_t index, std::vector<char>& chunk);
    void wait_before_retrying(const std::string& key);
    bool connect_to(const std::string& host, int port);
    Attempt fail(const ServerAddress& address, const std::string& why);
    std::optional<ServerInfo> read_greeting(std::vector<char>& chunk);
    bool secure_link(const ServerAddress& address, const ServerInfo& info, std::string& why);
    void open_to_writers();
    bool confirm_connect(const ServerAddress& address, std::vector<char>& chunk, std::string& why);
    void apply_info(const ServerInfo& info);
    std::string inherited_entry(const std::string& url) const;
    bool send_if_connected(const std::string& text);
    bool write_locked(const std::string& text);                         // caller holds send_mutex
    void ping_locked();                                                 // caller holds send_mutex
    bool fits_locked(const std::string& subject, size_t payload_size);  // caller holds send_mutex
    void report_dropped(const std::deque<OutboxEntry>& entries);
    void handshake(const std::string& connect_text);
    std::string subscription_text() const;  // caller holds subscriptions_mutex
    void receive_loop(std::vector<char>& chunk);
    bool keep_alive();
    bool process_lines(size_t scan_from, std::vector<char>& chunk);
    bool handle_msg(const std::string& line, size_t& consumed, std::vector<char>& chunk);
    void handle_pong();
    void deliver(int64_t sid, const NatsMsg& message);
    void release_large_buffer();
    void close_connection();
    void set_current_server(std::string server);

    const std::string name;
    const NatsTimings timings;
    ServerList servers;  // changed only by the reader once started; copies under servers_mutex
    mutable std::mutex servers_mutex;
    std::deque<Subscription> subscriptions;  // deque: entries stay put while more are added
    int32_t next_sid = 1;
    std::vector<std::pair<std::string, std::string>> connect_requests;  // subject, reply inbox
    // What writers and stop() use; guarded by sock_mutex. Set only once the link is what it
    // will be (TLS when required), so no other thread can write plain text on it before.
    int sock = -1;
    mutable std::mutex send_mutex;
    std::atomic<bool> connected{false};
    std::atomic<bool> running{false};
    std::thread reader;
    std::string rx_buffer;
    std::string current_server;

    // Only the reader closes a descriptor or frees a TLS session, and only while holding
    // send_mutex after clearing `sock`, so no writer or stop() can touch a closed or reused
    // descriptor. Others shut it down instead, which wakes the reader.
    BusLink link;
    TlsContext tls_context;  // made by set_tls, or by the reader when a server first asks for TLS
    bool tls_always = false;
    std::mutex sock_mutex;
    mutable std::mutex current_server_mutex;
    std::mutex subscriptions_mutex;
    int wake_fd = -1;  // eventfd signalled by stop(): cuts connects and back-offs short

    // Guarded by send_mutex: what is written must match what the outbox records as written.
    Outbox outbox;
    std::atomic<int64_t> max_payload{kMaxPayloadDefault};
    std::atomic<uint64_t> oversized{0};
    std::atomic<uint64_t> dropped{0};

    // Reader thread only.
    ServerCredentials current_credentials;  // of the entry connected to; discovered ones inherit them
    std::chrono::steady_clock::time_point next_ping;
    int pings_unanswered = 0;
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> last_attempts;
};
