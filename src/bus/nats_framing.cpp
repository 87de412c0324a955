// NatsClient wire traffic: subscribe, publish, the outbox, writes, keep-alive, and the receive
// loop, which feeds what arrives to the parser (nats_parser.h) and dispatches the frames.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "common/console_text.h"
#include "bus/nats_client.h"
#include "bus/nats_protocol.h"
#include "bus/socket_io.h"
#include "common/console.h"
#include "common/run_reporting.h"

namespace {

using Clock = std::chrono::steady_clock;

// Server text on the console: a hostile line may be long or hold control characters.
std::string excerpt(const std::string& line) { return console_text(line, 200); }

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
    if (write_locked("PING\r\n")) outbox_ping_sent(outbox, Clock::now());
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
    OutboxOutcome outcome;
    {
        MutexLock lock(send_mutex);
        outcome = outbox_pong(outbox);
    }
    settle(outcome);
}

ssize_t NatsClient::receive_frames(std::vector<char>& chunk, std::chrono::milliseconds timeout, int nudge) {
    const ssize_t n = receive_within(link, chunk, timeout, wake_fd.get(), nudge);
    if (n > 0) parse_frames(parser, std::string_view(chunk.data(), static_cast<size_t>(n)), frames);
    return n;
}

void NatsClient::receive_loop(std::vector<char>& chunk) {
    pings_unanswered = 0;
    next_ping = Clock::now() + timings.keepalive;
    unstored_reported.clear();
    // The greeting may have brought more than its own line.
    if (!dispatch_frames()) return;
    while (running.load() && connected.load()) {
        print_held_back(noise);
        // The rest of a payload is due within the receive time-out; keep-alive and the results'
        // deadlines wait for it.
        const bool payload = awaiting_payload(parser);
        if (!payload && (!keep_alive() || !service_results())) return;
        const ssize_t n = payload ? receive_frames(chunk, timings.receive_timeout)
                                  : receive_frames(chunk, next_wait(), nudge_fd.get());
        if (n < 0 && errno == EINTR) continue;  // a result went out: its deadline counts now
        if (!payload && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;  // with a payload pending, a time-out too: it never came
        if (!dispatch_frames()) return;
    }
}

bool NatsClient::dispatch_frames() {
    for (NatsFrame& frame : frames) {
        switch (frame.kind) {
            case FrameKind::msg:
                if (frame.sid == kResultReplySid) {
                    handle_result_reply(frame);
                } else if (header_status(frame.headers) == 0) {
                    // A status alone (no responders to a request) is no message for a callback.
                    deliver(frame.sid, NatsMsg{std::move(frame.subject), std::move(frame.payload)});
                }
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
    run_reporting([&] { target->callback(message); },
                  [&](const char* what) {
                      print_within(noise.callback_failures, "[NATS] Callback failed on " + excerpt(message.subject) +
                                                                ": " + excerpt(what) + "\n");
                  },
                  "unknown exception");
}
