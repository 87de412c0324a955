// NatsClient wire traffic: subscribe, publish, the outbox, writes, keep-alive, and the receive
// loop, which feeds what arrives to the parser (nats_parser.h) and dispatches the frames.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "common/console_text.h"
#include "bus/nats_client.h"
#include "bus/nats_protocol.h"
#include "bus/socket_io.h"
#include "common/console.h"

namespace {

using Clock = std::chrono::steady_clock;

// Server text on the console: a hostile line may be long or hold control characters.
std::string excerpt(const std::string& line) { return console_text(line, 200); }

const char* kind_name(KeptKind kind) { return kind == KeptKind::block ? "block result" : "share"; }

// Frames of one receive beyond this many are not kept allocated once handled.
constexpr size_t kFramesKept = 1024;

}  // namespace

void NatsClient::subscribe(const std::string& subject, MsgCallback callback) {
    MutexLock lock(subscriptions_mutex);
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
    print_within(noise.refused, refused_line(payload_size, subject, limit));
    return false;
}

bool NatsClient::publish(const std::string& subject, const std::string& payload) {
    if (!connected.load()) return false;
    MutexLock lock(send_mutex);
    // Checked under the lock: a write that raced with a reconnect must not reach the new
    // connection ahead of its handshake.
    if (!connected.load() || !fits_locked(subject, payload.size())) return false;
    return write_locked(pub_text(subject, payload));
}

bool NatsClient::publish_kept(const std::string& subject, const std::string& payload, KeptKind kind) {
    MutexLock lock(send_mutex);
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
    MutexLock lock(send_mutex);
    return outbox.entries.size();
}

bool NatsClient::send_if_connected(const std::string& text) {
    MutexLock lock(send_mutex);
    if (!connected.load()) return false;
    return write_locked(text);
}

void NatsClient::send_raw(const std::string& text) {
    MutexLock lock(send_mutex);
    write_locked(text);
}

void NatsClient::ping_locked() {
    if (write_locked("PING\r\n")) outbox_ping_sent(outbox);
}

bool NatsClient::write_locked(const std::string& text) {
    int fd;
    {
        MutexLock sock_lock(sock_mutex);
        fd = sock;
    }
    if (fd < 0) return false;
    if (text.empty()) return true;
    // The descriptor stays open while send_mutex is held: the reader closes it only under it.
    if (send_whole(link, text, timings.connect_timeout)) return true;
    connected.exchange(false);
    MutexLock sock_lock(sock_mutex);
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
        MutexLock lock(send_mutex);
        ping_locked();
    }
    ++pings_unanswered;
    next_ping = now + timings.pong_wait;
    return true;
}

void NatsClient::handle_pong() {
    pings_unanswered = 0;
    next_ping = Clock::now() + timings.keepalive;
    MutexLock lock(send_mutex);
    outbox_pong(outbox);
}

ssize_t NatsClient::receive_frames(std::vector<char>& chunk, std::chrono::milliseconds timeout) {
    const ssize_t n = receive_within(link, chunk, timeout, wake_fd.get());
    if (n > 0) parse_frames(parser, std::string_view(chunk.data(), static_cast<size_t>(n)), frames);
    return n;
}

void NatsClient::receive_loop(std::vector<char>& chunk) {
    pings_unanswered = 0;
    next_ping = Clock::now() + timings.keepalive;
    // The greeting may have brought more than its own line.
    if (!dispatch_frames()) return;
    while (running.load() && connected.load()) {
        print_held_back(noise);
        // The rest of a payload is due within the receive time-out; keep-alive waits for it.
        const bool payload = awaiting_payload(parser);
        if (!payload && !keep_alive()) return;
        const auto until_ping = std::chrono::ceil<std::chrono::milliseconds>(next_ping - Clock::now());
        const ssize_t n = receive_frames(
            chunk, payload ? timings.receive_timeout : std::max(until_ping, std::chrono::milliseconds(1)));
        if (!payload && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;  // with a payload pending, a time-out too: it never came
        if (!dispatch_frames()) return;
    }
}

bool NatsClient::dispatch_frames() {
    for (NatsFrame& frame : frames) {
        switch (frame.kind) {
            case FrameKind::msg:
                deliver(frame.sid, NatsMsg{std::move(frame.subject), std::move(frame.payload)});
                break;
            case FrameKind::ping:
                send_raw("PONG\r\n");
                break;
            case FrameKind::pong:
                handle_pong();
                break;
            case FrameKind::info:
                apply_info(parse_info_line(frame.line));  // cluster changes and limits while connected
                break;
            case FrameKind::err:
                print_within(noise.server_errors, "[NATS] Server error: " + excerpt(frame.line) + "\n");
                break;
            case FrameKind::ok:
            case FrameKind::other:
                break;
        }
    }
    frames.clear();
    if (frames.capacity() > kFramesKept) frames.shrink_to_fit();
    if (parser.error.empty()) return true;
    console_print("[NATS] Protocol error: %s\n", parser.error.c_str());
    return false;
}

void NatsClient::reset_stream() {
    parser = NatsParser();
    frames.clear();
    frames.shrink_to_fit();
}

void NatsClient::deliver(int64_t sid, const NatsMsg& message) {
    const Subscription* target = nullptr;
    {
        MutexLock lock(subscriptions_mutex);
        for (const Subscription& s : subscriptions) {
            if (s.sid == sid) {
                target = &s;
                break;
            }
        }
    }
    if (target == nullptr) return;
    // Called without the lock, so a callback may subscribe; the entry stays put in the deque.
    // A faulty handler must not take the bus down: it is reported, and later messages still
    // arrive.
    try {
        target->callback(message);
    } catch (const std::exception& e) {
        print_within(noise.callback_failures,
                     "[NATS] Callback failed on " + excerpt(message.subject) + ": " + excerpt(e.what()) + "\n");
    } catch (...) {
        print_within(noise.callback_failures,
                     "[NATS] Callback failed on " + excerpt(message.subject) + ": unknown exception\n");
    }
}
