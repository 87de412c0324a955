// NatsClient wire traffic: subscribe, publish, the outbox, writes, keep-alive, and the receive
// loop with MSG dispatch.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "bus/console_text.h"
#include "bus/nats_client.h"
#include "bus/nats_protocol.h"
#include "bus/socket_io.h"
#include "common/console.h"

namespace {

using Clock = std::chrono::steady_clock;

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Server text on the console: a hostile line may be long or hold control characters.
std::string excerpt(const std::string& line) { return console_text(line, 200); }

const char* kind_name(KeptKind kind) { return kind == KeptKind::block ? "block result" : "share"; }

// Received data beyond this is not kept buffered after the message that needed it.
constexpr size_t kLargeBufferBytes = 4 * kReceiveChunkBytes;

}  // namespace

void NatsClient::subscribe(const std::string& subject, MsgCallback callback) {
    std::lock_guard<std::mutex> lock(subscriptions_mutex);
    const int32_t sid = next_sid++;
    subscriptions.push_back({subject, sid, std::move(callback)});
    // Sent now when connected; otherwise the next handshake sends it with the others.
    send_if_connected(sub_line(subject, sid));
}

bool NatsClient::fits_locked(const std::string& subject, size_t payload_size) {
    const int64_t limit = max_payload.load();
    if (static_cast<int64_t>(payload_size) <= limit) return true;
    // The server would answer with -ERR and close the connection, costing everything in flight.
    oversized.fetch_add(1);
    console_print("[NATS] Not sent: %zu-byte message on %s exceeds max_payload %lld\n", payload_size, subject.c_str(),
                  static_cast<long long>(limit));
    return false;
}

bool NatsClient::publish(const std::string& subject, const std::string& payload) {
    if (!connected.load()) return false;
    std::lock_guard<std::mutex> lock(send_mutex);
    // Checked under the lock: a write that raced with a reconnect must not reach the new
    // connection ahead of its handshake.
    if (!connected.load() || !fits_locked(subject, payload.size())) return false;
    return write_locked(pub_text(subject, payload));
}

bool NatsClient::publish_kept(const std::string& subject, const std::string& payload, KeptKind kind) {
    std::unique_lock<std::mutex> lock(send_mutex);
    const bool now = connected.load();
    if (now && !fits_locked(subject, payload.size())) return false;
    std::deque<OutboxEntry> evicted = outbox_add(outbox, kind, subject, payload);
    const bool kept = evicted.empty() || evicted.back().seq != outbox.next_seq - 1;
    if (now) {
        if (kept) outbox_mark_last_written(outbox);
        // The PONG to this PING confirms the message: until then it stays kept.
        if (write_locked(pub_text(subject, payload) + "PING\r\n")) outbox_ping_sent(outbox);
    }
    lock.unlock();
    report_dropped(evicted);
    return now && connected.load();
}

void NatsClient::report_dropped(const std::deque<OutboxEntry>& entries) {
    for (const OutboxEntry& entry : entries) {
        const uint64_t total = dropped.fetch_add(1) + 1;
        console_print("[NATS] Outbox full: dropped a %zu-byte %s on %s (%llu dropped in all)\n", entry.payload.size(),
                      kind_name(entry.kind), entry.subject.c_str(), static_cast<unsigned long long>(total));
    }
}

size_t NatsClient::outbox_size() const {
    std::lock_guard<std::mutex> lock(send_mutex);
    return outbox.entries.size();
}

bool NatsClient::send_if_connected(const std::string& text) {
    std::lock_guard<std::mutex> lock(send_mutex);
    if (!connected.load()) return false;
    return write_locked(text);
}

void NatsClient::send_raw(const std::string& text) {
    std::lock_guard<std::mutex> lock(send_mutex);
    write_locked(text);
}

void NatsClient::ping_locked() {
    if (write_locked("PING\r\n")) outbox_ping_sent(outbox);
}

bool NatsClient::write_locked(const std::string& text) {
    int fd;
    {
        std::lock_guard<std::mutex> sock_lock(sock_mutex);
        fd = sock;
    }
    if (fd < 0) return false;
    if (text.empty()) return true;
    // The descriptor stays open while send_mutex is held: the reader closes it only under it.
    if (send_whole(link, text, timings.connect_timeout)) return true;
    connected.exchange(false);
    std::lock_guard<std::mutex> sock_lock(sock_mutex);
    shutdown(fd, SHUT_RDWR);  // the reader's receive ends, and it closes the descriptor
    sock = -1;
    return false;
}

std::string NatsClient::subscription_text() const {
    std::string text;
    for (const Subscription& s : subscriptions) text += sub_line(s.subject, s.sid);
    return text;
}

bool NatsClient::keep_alive() {
    const Clock::time_point now = Clock::now();
    if (now < next_ping) return true;
    if (pings_unanswered >= 2) {
        console_print("[NATS] Stale connection: %d PINGs unanswered\n", pings_unanswered);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(send_mutex);
        ping_locked();
    }
    ++pings_unanswered;
    next_ping = now + timings.pong_wait;
    return true;
}

void NatsClient::handle_pong() {
    pings_unanswered = 0;
    next_ping = Clock::now() + timings.keepalive;
    std::lock_guard<std::mutex> lock(send_mutex);
    outbox_pong(outbox);
}

void NatsClient::receive_loop(std::vector<char>& chunk) {
    pings_unanswered = 0;
    next_ping = Clock::now() + timings.keepalive;
    // The greeting may have brought more than its own line.
    if (!rx_buffer.empty() && !process_lines(0, chunk)) return;
    while (running.load() && connected.load()) {
        if (!keep_alive()) return;
        const auto until_ping = std::chrono::ceil<std::chrono::milliseconds>(next_ping - Clock::now());
        const ssize_t n = receive_within(link, chunk, std::max(until_ping, std::chrono::milliseconds(1)), wake_fd);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
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
            handle_pong();
        } else if (starts_with(line, "INFO ")) {
            apply_info(parse_info_line(line));  // cluster changes and limits while connected
        } else if (starts_with(line, "-ERR")) {
            console_print("[NATS] Server error: %s\n", excerpt(line).c_str());
        }
        // "+OK" and anything else need nothing.
    }
    rx_buffer.erase(0, consumed);
    if (rx_buffer.size() > kMaxLineBytes) {
        console_print("[NATS] Protocol error: line longer than %zu bytes\n", kMaxLineBytes);
        return false;
    }
    release_large_buffer();
    return true;
}

void NatsClient::release_large_buffer() {
    if (rx_buffer.capacity() <= kLargeBufferBytes || rx_buffer.size() > kLargeBufferBytes) return;
    // After a huge message the buffer goes back to its usual size instead of keeping the peak.
    rx_buffer.shrink_to_fit();
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
        const ssize_t n = receive_within(link, chunk, timings.receive_timeout, wake_fd);
        if (n <= 0) return false;  // includes the time-out: the payload never came
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
