#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One delivered message; valid only during the callback.
struct NatsMsg {
    std::string subject;
    std::string data;
};

using MsgCallback = std::function<void(const NatsMsg&)>;

struct Subscription {
    std::string subject;
    int32_t sid;
    MsgCallback callback;
};

// The product runs with these values; tests shorten them.
struct NatsTimings {
    std::chrono::milliseconds connect_timeout{5000};  // each connection attempt, each blocked send
    std::chrono::milliseconds receive_timeout{10000};  // greeting, payload wait, keep-alive tick
    std::chrono::milliseconds backoff{3000};           // pause after a lost connection or a failed pass
    std::chrono::milliseconds keepalive{15000};        // idle time before the client sends PING
};

// The miner's NATS client over plain TCP. A reader thread connects to the first server of the
// list that answers, runs the handshake, receives and dispatches messages, and reconnects after
// any failure. Any thread may publish.
class NatsClient {
public:
    explicit NatsClient(std::string name, NatsTimings timings = {});
    ~NatsClient();
    NatsClient(const NatsClient&) = delete;
    NatsClient& operator=(const NatsClient&) = delete;

    // Before start().
    void set_servers(std::vector<std::string> servers);
    // Callbacks run on the reader thread, one at a time; exceptions they throw are discarded.
    void subscribe(const std::string& subject, MsgCallback callback);
    // False when not connected: the message is dropped, nothing is queued.
    bool publish(const std::string& subject, const std::string& payload);
    // Writes `text` as one unit; a failed write drops the connection for the reader to renew.
    void send_raw(const std::string& text);

    void start();
    // Wakes the reader from any blocking step and joins it; prints nothing after returning.
    void stop();

    bool is_connected() const;
    std::string current_server_copy() const;

private:
    void run();
    bool connect_to(const std::string& host, int port);
    bool send_if_connected(const std::string& text);
    void write_locked(const std::string& text);  // caller holds send_mutex
    void handshake();
    void resubscribe_all();  // caller holds subscriptions_mutex
    void receive_loop(std::vector<char>& chunk);
    bool process_lines(size_t scan_from, std::vector<char>& chunk);
    bool handle_msg(const std::string& line, size_t& consumed, std::vector<char>& chunk);
    void deliver(int64_t sid, const NatsMsg& message);
    void close_connection();
    void set_current_server(std::string server);
    void back_off();

    const std::string name;
    const NatsTimings timings;
    std::vector<std::string> servers;
    std::deque<Subscription> subscriptions;  // deque: entries stay put while more are added
    int32_t next_sid = 1;
    int sock = -1;  // what writers and stop() use; guarded by sock_mutex
    std::mutex send_mutex;
    std::atomic<bool> connected{false};
    std::atomic<bool> running{false};
    std::thread reader;
    std::string rx_buffer;
    std::string current_server;

    // Only the reader closes a descriptor, and only while holding send_mutex after clearing
    // `sock`, so no writer or stop() can touch a closed or reused descriptor. Others shut it
    // down instead, which wakes the reader.
    int reader_sock = -1;
    std::mutex sock_mutex;
    mutable std::mutex current_server_mutex;
    std::mutex subscriptions_mutex;
    int wake_fd = -1;  // eventfd signalled by stop(): cuts connects and back-offs short
    int64_t last_ping = 0;
};
