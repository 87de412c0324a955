// NatsClient wire traffic: subscribe, publish, writes, and the receive loop with MSG dispatch.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "bus/nats_client.h"
#include "bus/nats_protocol.h"
#include "bus/socket_wait.h"
#include "console.h"

namespace {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Shown in protocol error reports; a hostile line may be long.
std::string excerpt(const std::string& line) {
    return line.size() <= 200 ? line : line.substr(0, 200) + "...";
}

}  // namespace

void NatsClient::subscribe(const std::string& subject, MsgCallback callback) {
    std::lock_guard<std::mutex> lock(subscriptions_mutex);
    const int32_t sid = next_sid++;
    subscriptions.push_back({subject, sid, std::move(callback)});
    // Sent now when connected; otherwise the next handshake sends it with the others.
    send_if_connected(sub_line(subject, sid));
}

bool NatsClient::publish(const std::string& subject, const std::string& payload) {
    if (!connected.load()) return false;
    return send_if_connected(pub_text(subject, payload));
}

bool NatsClient::send_if_connected(const std::string& text) {
    std::lock_guard<std::mutex> lock(send_mutex);
    // Checked under the lock: a write that raced with a reconnect must not reach the new
    // connection ahead of its handshake.
    if (!connected.load()) return false;
    write_locked(text);
    return true;
}

void NatsClient::send_raw(const std::string& text) {
    std::lock_guard<std::mutex> lock(send_mutex);
    write_locked(text);
}

void NatsClient::write_locked(const std::string& text) {
    int fd;
    {
        std::lock_guard<std::mutex> sock_lock(sock_mutex);
        fd = sock;
    }
    if (fd < 0 || text.empty()) return;
    // The descriptor stays open while send_mutex is held: the reader closes it only under it.
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        connected.exchange(false);
        std::lock_guard<std::mutex> sock_lock(sock_mutex);
        shutdown(fd, SHUT_RDWR);  // the reader's receive ends, and it closes the descriptor
        sock = -1;
        return;
    }
}

void NatsClient::resubscribe_all() {
    std::string text;
    for (const Subscription& s : subscriptions) text += sub_line(s.subject, s.sid);
    if (!text.empty()) send_raw(text);
}

void NatsClient::receive_loop(std::vector<char>& chunk) {
    last_ping = steady_ms();
    while (running.load() && connected.load()) {
        const ssize_t n = receive_some(reader_sock, chunk);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int64_t now = steady_ms();
            if (now - last_ping > timings.keepalive.count()) {
                send_raw("PING\r\n");
                last_ping = now;
            }
            continue;
        }
        if (n <= 0) return;
        // Whatever was left in the buffer holds no complete line, so the search for the next
        // line end can start at its last byte.
        const size_t scan_from = rx_buffer.empty() ? 0 : rx_buffer.size() - 1;
        rx_buffer.append(chunk.data(), static_cast<size_t>(n));
        if (!process_lines(scan_from, chunk)) return;
    }
}

bool NatsClient::process_lines(size_t scan_from, std::vector<char>& chunk) {
    size_t consumed = 0;
    for (;;) {
        const size_t end = rx_buffer.find("\r\n", std::max(consumed, scan_from));
        if (end == std::string::npos) break;
        const std::string line = rx_buffer.substr(consumed, end - consumed);
        consumed = end + 2;
        if (starts_with(line, "MSG ")) {
            if (!handle_msg(line, consumed, chunk)) return false;
        } else if (line == "PING") {
            send_raw("PONG\r\n");
        } else if (line == "PONG") {
            last_ping = steady_ms();
        } else if (starts_with(line, "-ERR")) {
            console_print("[NATS] Server error: %s\n", line.c_str());
        }
        // "+OK" and anything else (a later INFO) need nothing.
    }
    rx_buffer.erase(0, consumed);
    if (rx_buffer.size() > kMaxLineBytes) {
        console_print("[NATS] Protocol error: line longer than %zu bytes\n", kMaxLineBytes);
        return false;
    }
    return true;
}

bool NatsClient::handle_msg(const std::string& line, size_t& consumed, std::vector<char>& chunk) {
    const std::optional<MsgHeader> header = parse_msg_line(line);
    if (!header) return true;
    if (header->count < 0 || header->count > kMaxPayloadBytes) {
        console_print("[NATS] Protocol error: %s\n", excerpt(line).c_str());
        return false;
    }
    const size_t count = static_cast<size_t>(header->count);
    // The payload and the CR LF after it; the byte count rules, so CR LF inside is payload.
    const size_t frame_end = consumed + count + 2;
    while (rx_buffer.size() < frame_end) {
        const ssize_t n = receive_some(reader_sock, chunk);
        if (n <= 0) return false;  // includes the receive time-out: the payload never came
        rx_buffer.append(chunk.data(), static_cast<size_t>(n));
    }
    const NatsMsg message{header->subject, rx_buffer.substr(consumed, count)};
    consumed = frame_end;
    deliver(header->sid, message);
    return true;
}

void NatsClient::deliver(int64_t sid, const NatsMsg& message) {
    const Subscription* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(subscriptions_mutex);
        for (const Subscription& s : subscriptions) {
            if (s.sid == sid) {
                target = &s;
                break;
            }
        }
    }
    if (target == nullptr) return;
    try {
        target->callback(message);
    } catch (...) {
        // A faulty handler must not take the bus down; later messages still arrive.
    }
}
