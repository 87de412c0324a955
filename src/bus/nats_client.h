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

// Where the client's one connection stands (the session in nats_session.h moves it along).
// Connecting: the socket, the server's greeting and TLS; nothing may be written yet.
// Handshaking: the link is what it will be, and the session writes CONNECT and the handshake;
// publishers wait for connected. Connected: the handshake went out. Closed: no connection, or
// one that failed, was stopped or is being closed; nothing more is written on it.
enum class LinkState { connecting, handshaking, connected, closed };

class NatsSession;

// The miner's NATS client over TCP, with TLS for "tls://" entries, for servers that require it
// and for every server once TLS options are set; never a plain-text fall-back. A reader thread
// runs the reconnect loop (nats_reconnect.cpp): it goes through the server list, one connection
// session (nats_session.h) at a time, and after a loss goes on with the next server at once.
// The list grows by the servers a cluster announces. Any thread may publish; results published
// with publish_kept() survive lost connections (see nats_outbox.h).
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
    void stop() EXCLUDES(link_mutex);

    bool is_connected() const { return state.load() == LinkState::connected; }
    std::string current_server_copy() const EXCLUDES(servers_mutex);
    // The server list as it stands, discovered servers included.
    std::vector<std::string> servers_copy() const EXCLUDES(servers_mutex);
    uint64_t refused_oversized() const { return oversized.load(); }  // publishes above max_payload
    uint64_t outbox_dropped() const { return dropped.load(); }       // results that fell out
    size_t outbox_size() const EXCLUDES(send_mutex);                 // results kept right now

private:
    // The session runs one connection on this client's shared state: the link, the outbox,
    // the subscriptions and the server list.
    friend class NatsSession;

    // The reconnect loop, on the reader thread.
    void run();

    // What writers and the session share (nats_writes.cpp).
    bool write_locked(const std::string& text) REQUIRES(send_mutex) EXCLUDES(link_mutex);
    std::string due_results_locked(std::vector<OutboxEntry>& oversized) REQUIRES(send_mutex);
    void report_oversized(const std::vector<OutboxEntry>& entries);
    void set_state(LinkState next) REQUIRES(link_mutex) { state.store(next); }
    // Handshaking or connected: writers may use the link, and stop() shuts it down.
    bool link_open() const REQUIRES(link_mutex) {
        const LinkState now = state.load();
        return now == LinkState::handshaking || now == LinkState::connected;
    }

    bool fits_locked(const std::string& subject, size_t payload_size) REQUIRES(send_mutex);
    bool send_if_connected(const std::string& text) EXCLUDES(send_mutex);
    void report_dropped(const std::deque<OutboxEntry>& entries);

    const std::string name;
    const NatsTimings timings;

    // Lock order: subscriptions_mutex, send_mutex, link_mutex. servers_mutex is never held
    // with another one.
    mutable Mutex subscriptions_mutex ACQUIRED_BEFORE(send_mutex);
    std::deque<Subscription> subscriptions GUARDED_BY(subscriptions_mutex);  // entries stay put as more are added
    int32_t next_sid GUARDED_BY(subscriptions_mutex) = 1;
    std::vector<std::pair<std::string, std::string>> connect_requests
        GUARDED_BY(subscriptions_mutex);  // subject, reply inbox

    // Every write holds it for its whole text; what is written must match what the outbox
    // records as written.
    mutable Mutex send_mutex ACQUIRED_BEFORE(link_mutex);
    Outbox outbox GUARDED_BY(send_mutex);

    // Held for every change of `state`, so that stop() and writers find the link as it is:
    // writers use it only while handshaking or connected, and stop() shuts it down only then.
    // Never held while waiting.
    Mutex link_mutex;
    // Read without a lock; changed only through set_state().
    std::atomic<LinkState> state{LinkState::closed};

    // Not GUARDED_BY: the reader uses the link without a lock, writers under send_mutex while
    // `state` lets them. Only the reader changes it, and only while writers may not use it
    // (connecting, or closed under send_mutex), so no writer or stop() can touch a closed or
    // reused descriptor; others shut the socket down instead, which wakes the reader. A
    // hand-over keyed on another member's value is beyond what the analysis expresses.
    BusLink link;

    mutable Mutex servers_mutex;
    ServerList servers GUARDED_BY(servers_mutex);          // changed only by the reader once started
    std::string current_server GUARDED_BY(servers_mutex);  // the session's server; empty between

    std::atomic<bool> running{false};  // false once stop() is called
    std::thread reader;
    UniqueFd wake_fd;   // eventfd signalled by stop(): cuts connects and back-offs short
    UniqueFd nudge_fd;  // eventfd signalled when a result went out: the reader's deadlines moved

    // Results' answers arrive on ack_prefix.<seq>, subscribed with sid 0 on every connection
    // that can carry them.
    const std::string ack_prefix;
    ResultsJournal* journal = nullptr;    // set before start()
    std::atomic<bool> headers_ok{false};  // the current server takes HPUB

    std::atomic<int64_t> max_payload{kMaxPayloadDefault};
    std::atomic<uint64_t> oversized{0};
    std::atomic<uint64_t> dropped{0};
    BusNoise noise{timings.noise_window};  // budgets of the lines a server can make the client repeat

    // Set before start(), then the reader's alone.
    TlsContext tls_context;  // made by set_tls, or by the reader when a server first asks for TLS
    bool tls_always = false;

    // Reader thread only, across connections: the last refusal of a result reported; empty
    // while results are stored.
    std::string refusal_reported;
};
