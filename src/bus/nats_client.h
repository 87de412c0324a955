#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bus/bus_noise.h"
#include "bus/nats_outbox.h"
#include "bus/nats_parser.h"
#include "bus/nats_protocol.h"
#include "bus/nats_servers.h"
#include "bus/results_journal.h"
#include "bus/socket_io.h"
#include "bus/tls_session.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"

// One delivered message; valid only during the callback.
struct NatsMsg {
    std::string subject;
    std::string data;
};

using MsgCallback = std::function<void(const NatsMsg&)>;

// The subscription of the answers to results; callbacks' subscriptions count from 1.
inline constexpr int32_t kResultReplySid = 0;

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
    // A PING that confirms results and has no PONG after this makes the connection stale at
    // once: a frozen server must not hold finds for the keep-alive's 25 s.
    std::chrono::milliseconds result_pong{3000};
    OutboxTimings results;  // the wait for a stream's acknowledgement and the refusal back-off
    // Each kind of line a server can make the client repeat is written a few times a window.
    std::chrono::milliseconds noise_window{LineBudget::kWindow};
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
    void set_servers(std::vector<std::string> servers) EXCLUDES(servers_mutex);
    // Before start(). Any option set makes TLS required on every server. Returns why the
    // options cannot be used; empty when they can.
    std::string set_tls(const TlsOptions& options);
    // Callbacks run on the reader thread, one at a time; an exception one throws is reported in
    // one console line, and later messages are still delivered.
    void subscribe(const std::string& subject, MsgCallback callback) EXCLUDES(subscriptions_mutex, send_mutex);
    // After every handshake, asks for an answer on `subject` with an inbox of this client's own;
    // answers go to `on_reply` like any delivery. Before start().
    void request_on_connect(const std::string& subject, MsgCallback on_reply) EXCLUDES(subscriptions_mutex);
    // Fire and forget: false when not connected (dropped) or when the payload exceeds the
    // server's max_payload (reported and counted). Nothing is kept.
    bool publish(const std::string& subject, const std::string& payload) EXCLUDES(send_mutex);
    // Before start(): how results are confirmed (see nats_outbox.h).
    void set_results_ack(ResultsAck mode) EXCLUDES(send_mutex);
    // Before start(): every result is written to `journal` before it is published and marked
    // done there once delivered; `pending` (the journal's finds not done) go first, in order.
    void set_journal(ResultsJournal* journal, const std::vector<JournalFind>& pending) EXCLUDES(send_mutex);
    // Kept in the outbox until delivered, written again after reconnecting; `msg_id` names it
    // to a stream, which stores it once. False when it is not written now (kept for later).
    bool publish_kept(const std::string& subject, const std::string& payload, KeptKind kind, const std::string& msg_id)
        EXCLUDES(send_mutex);
    // Writes `text` as one unit; a failed write drops the connection for the reader to renew.
    void send_raw(const std::string& text) EXCLUDES(send_mutex);

    void start();
    // Wakes the reader from any blocking step and joins it; prints nothing after returning.
    void stop() EXCLUDES(sock_mutex);

    bool is_connected() const;
    std::string current_server_copy() const EXCLUDES(current_server_mutex);
    // The server list as it stands, discovered servers included.
    std::vector<std::string> servers_copy() const EXCLUDES(servers_mutex);
    uint64_t refused_oversized() const { return oversized.load(); }  // publishes above max_payload
    uint64_t outbox_dropped() const { return dropped.load(); }       // results that fell out
    size_t outbox_size() const EXCLUDES(send_mutex);                 // results kept right now

private:
    enum class Attempt { failed, lost };

    void run();
    Attempt attempt(size_t index, std::vector<char>& chunk);
    void wait_before_retrying(const std::string& key);
    bool connect_to(const std::string& host, int port) EXCLUDES(sock_mutex);
    Attempt fail(const ServerAddress& address, const std::string& why);
    std::optional<ServerInfo> read_greeting(std::vector<char>& chunk, std::string& why);
    bool secure_link(const ServerAddress& address, const ServerInfo& info, std::string& why);
    void open_to_writers() EXCLUDES(send_mutex, sock_mutex);
    bool confirm_connect(const ServerAddress& address, std::vector<char>& chunk, std::string& why) EXCLUDES(send_mutex);
    void apply_info(const ServerInfo& info) EXCLUDES(servers_mutex);
    std::string inherited_entry(const std::string& url) const;
    bool send_if_connected(const std::string& text) EXCLUDES(send_mutex);
    bool write_locked(const std::string& text) REQUIRES(send_mutex) EXCLUDES(sock_mutex);
    void ping_locked() REQUIRES(send_mutex);
    bool fits_locked(const std::string& subject, size_t payload_size) REQUIRES(send_mutex);
    void report_dropped(const std::deque<OutboxEntry>& entries);
    std::string due_results_locked(std::vector<OutboxEntry>& oversized) REQUIRES(send_mutex);
    void report_oversized(const std::vector<OutboxEntry>& entries);
    void settle(const OutboxOutcome& outcome);
    bool service_results() EXCLUDES(send_mutex);
    void handle_result_reply(const NatsFrame& frame) EXCLUDES(send_mutex);
    std::chrono::milliseconds next_wait() EXCLUDES(send_mutex);
    void handshake(const std::string& connect_text) EXCLUDES(subscriptions_mutex, send_mutex);
    std::string subscription_text() const REQUIRES(subscriptions_mutex);
    ssize_t receive_frames(std::vector<char>& chunk, std::chrono::milliseconds timeout, int nudge = -1);
    void receive_loop(std::vector<char>& chunk);
    bool dispatch_frames();
    bool keep_alive() EXCLUDES(send_mutex);
    void handle_pong() EXCLUDES(send_mutex);
    void deliver(int64_t sid, const NatsMsg& message) EXCLUDES(subscriptions_mutex);
    void reset_stream();
    void close_connection() EXCLUDES(send_mutex, sock_mutex);
    void set_current_server(std::string server) EXCLUDES(current_server_mutex);

    const std::string name;
    const NatsTimings timings;

    // Lock order: subscriptions_mutex, send_mutex, sock_mutex. The others are never held with
    // another one.
    mutable Mutex subscriptions_mutex ACQUIRED_BEFORE(send_mutex);
    std::deque<Subscription> subscriptions GUARDED_BY(subscriptions_mutex);  // entries stay put as more are added
    int32_t next_sid GUARDED_BY(subscriptions_mutex) = 1;
    std::vector<std::pair<std::string, std::string>> connect_requests
        GUARDED_BY(subscriptions_mutex);  // subject, reply inbox

    // Every write holds it for its whole text; what is written must match what the outbox
    // records as written.
    mutable Mutex send_mutex ACQUIRED_BEFORE(sock_mutex);
    Outbox outbox GUARDED_BY(send_mutex);

    // What writers and stop() use: the descriptor of `link`, not owned. Set only once the link
    // is what it will be (TLS when required), so no other thread can write plain text on it
    // before.
    Mutex sock_mutex;
    int sock GUARDED_BY(sock_mutex) = -1;

    mutable Mutex servers_mutex;
    ServerList servers GUARDED_BY(servers_mutex);  // changed only by the reader once started

    mutable Mutex current_server_mutex;
    std::string current_server GUARDED_BY(current_server_mutex);

    std::atomic<bool> connected{false};
    std::atomic<bool> running{false};
    std::thread reader;
    UniqueFd wake_fd;   // eventfd signalled by stop(): cuts connects and back-offs short
    UniqueFd nudge_fd;  // eventfd signalled when a result went out: the reader's deadlines moved

    // Results' answers arrive on ack_prefix.<seq>, subscribed with sid 0 on every connection
    // that can carry them.
    const std::string ack_prefix;
    ResultsJournal* journal = nullptr;    // set before start()
    std::atomic<bool> headers_ok{false};  // the current server takes HPUB

    // Not GUARDED_BY: the reader uses the link without a lock, writers under send_mutex once
    // `sock` is set. Only the reader changes it, and only while `sock` is -1 (cleared under
    // send_mutex), so no writer or stop() can touch a closed or reused descriptor; others shut
    // the socket down instead, which wakes the reader. A hand-over keyed on another member's
    // value is beyond what the analysis expresses.
    BusLink link;

    std::atomic<int64_t> max_payload{kMaxPayloadDefault};
    std::atomic<uint64_t> oversized{0};
    std::atomic<uint64_t> dropped{0};
    BusNoise noise{timings.noise_window};  // budgets of the lines a server can make the client repeat

    // Set before start(), then the reader's alone.
    TlsContext tls_context;  // made by set_tls, or by the reader when a server first asks for TLS
    bool tls_always = false;

    // Reader thread only.
    NatsParser parser;                      // what the current connection has sent so far
    std::vector<NatsFrame> frames;          // parsed and not handled yet
    ServerCredentials current_credentials;  // of the entry connected to; discovered ones inherit them
    std::chrono::steady_clock::time_point next_ping;
    int pings_unanswered = 0;
    std::vector<std::string> unstored_reported;  // subjects warned about on this connection
    std::string refusal_reported;                // the last refusal reported; empty while stored
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> last_attempts;
};
