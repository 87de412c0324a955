#include "scripted_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "support/loopback_socket.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ScriptedServer::ScriptedServer(int backlog) { listen_fd.reset(listen_loopback(backlog, listen_port)); }

std::string ScriptedServer::address() const { return "127.0.0.1:" + std::to_string(listen_port); }

bool ScriptedServer::accept_client(std::chrono::milliseconds timeout) {
    drop_client();
    pollfd entry{listen_fd.get(), POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return false;
    client_fd.reset(accept4(listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return client_fd.valid();
}

bool ScriptedServer::accept_handshake() {
    if (!accept_client()) return false;
    send("INFO {\"server_id\":\"scripted\",\"max_payload\":1048576} \r\n");
    return read_until("PING\r\n");
}

void ScriptedServer::send(const std::string& bytes) { send_all(client_fd.get(), bytes); }

void ScriptedServer::send_in_pieces(const std::string& bytes, size_t piece) {
    for (size_t at = 0; at < bytes.size(); at += piece) {
        send(bytes.substr(at, piece));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool ScriptedServer::read_until(const std::string& needle, size_t from, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (bytes_in.find(needle, from) == std::string::npos) {
        if (read_within(client_fd.get(), bytes_in, time_left(deadline)) <= 0) return false;
    }
    return true;
}

bool ScriptedServer::wait_closed(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const ssize_t n = read_within(client_fd.get(), bytes_in, time_left(deadline));
        if (n == 0) return true;
        if (n < 0) return false;
    }
}

void ScriptedServer::drop_client() {
    client_fd.reset();
    bytes_in.clear();
}

void ScriptedServer::reset_client() {
    // A zero linger time makes the close a reset (RST) instead of an orderly end.
    const linger abort{1, 0};
    setsockopt(client_fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    drop_client();
}
