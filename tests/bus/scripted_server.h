#pragma once

#include <chrono>
#include <string>

#include "common/unique_fd.h"

// A TCP server on 127.0.0.1 that a test drives step by step, for what a real NATS server never
// does: silence, odd framing, malformed or hostile lines. One client connection at a time.
class ScriptedServer {
public:
    explicit ScriptedServer(int backlog = 8);
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return listen_port; }
    std::string address() const;  // "127.0.0.1:<port>"

    // Accepts the next client, dropping the previous one.
    bool accept_client(std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
    // Accepts and sends an INFO greeting, then reads the client's handshake up to its "PING".
    bool accept_handshake();
    void send(const std::string& bytes);
    // Sends `bytes` in pieces of `piece` bytes with a pause between them, so the client sees
    // many short reads.
    void send_in_pieces(const std::string& bytes, size_t piece);
    // Waits until the client has written `needle` after `from` (an offset into received()).
    bool read_until(const std::string& needle, size_t from = 0,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
    // Waits until the client closes the connection.
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
    // Everything the current client wrote so far (as read by read_until / wait_closed).
    const std::string& received() const { return bytes_in; }
    void drop_client();
    // Ends the connection with a reset, as a crashing or firewalled peer does.
    void reset_client();

private:
    UniqueFd listen_fd;
    int listen_port = 0;
    UniqueFd client_fd;
    std::string bytes_in;
};
