#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "common/unique_fd.h"

// A second, independent NATS connection for tests, over a raw socket and written separately
// from the product client so that each checks the other. Single-threaded: it reads only inside
// flush() and next_message(), answering server PINGs as it goes.
class NatsTestClient {
public:
    struct Message {
        std::string subject;
        std::string sid;
        std::string data;
        std::string reply;  // empty when the publisher asked for no answer
    };

    // Connects to 127.0.0.1:`port` and completes the handshake; throws std::runtime_error
    // when that fails.
    explicit NatsTestClient(int port, const std::string& name = "test-client");
    ~NatsTestClient();
    NatsTestClient(const NatsTestClient&) = delete;
    NatsTestClient& operator=(const NatsTestClient&) = delete;

    void subscribe(const std::string& subject, int sid);
    void publish(const std::string& subject, const std::string& payload);
    // Round trip with the server: once it returns true the server has processed everything this
    // client sent before (subscriptions are active, publications are routed).
    bool flush(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // The next delivered message, or nothing after `timeout`.
    std::optional<Message> next_message(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Publishes with an inbox of its own as reply subject and returns the first answer's payload;
    // other deliveries meanwhile stay queued for next_message().
    std::optional<std::string> request(const std::string& subject, const std::string& payload,
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    // Reads and handles one server line (and a MSG payload); false on time-out or close.
    bool read_line(std::chrono::steady_clock::time_point deadline, std::string& line);
    bool fill_to(size_t size, std::chrono::steady_clock::time_point deadline);
    bool handle(const std::string& line, std::chrono::steady_clock::time_point deadline);

    UniqueFd fd;  // closed also when the constructor throws
    std::string buffer;
    std::deque<Message> messages;
    bool pong_seen = false;
    int requests = 0;
};
