// One connection's life: connect, greeting, TLS, CONNECT, handshake, the receive loop with
// keep-alive, dispatch and the results' deadlines, and close.

#include "bus/nats_session.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "bus/socket_io.h"
#include "bus/stream_ack.h"
#include "bus/tls_session.h"
#include "common/console.h"
#include "common/console_text.h"
#include "common/run_reporting.h"

namespace {

using Clock = std::chrono::steady_clock;

long whole_seconds(std::chrono::milliseconds duration) {
    return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(duration).count());
}

// Server text on the console: a hostile line may be long or hold control characters.
std::string excerpt(const std::string& line) { return console_text(line, 200); }

// Frames of one receive beyond this many are not kept allocated once handled.
constexpr size_t kFramesKept = 1024;

}  // namespace

NatsSession::NatsSession(NatsClient& client, ServerAddress address, std::vector<char>& chunk)
    : client(client), address(std::move(address)), server(server_key(this->address)), chunk(chunk) {}

NatsSession::End NatsSession::run() {
    {
        MutexLock lock(client.link_mutex);
        client.set_state(LinkState::connecting);
    }
    console_print("[NATS] Connecting to %s...\n", server.c_str());
    if (!connect_to()) {
        close();
        if (client.running.load()) console_print("[NATS] Failed: %s\n", server.c_str());
        return End::failed;
    }
    set_current_server(server);
    std::string why;
    const std::optional<ServerInfo> info = read_greeting(why);
    if (!info) return fail(why);
    client.headers_ok.store(info->headers);
    // NATS upgrades after the plain INFO greeting and before CONNECT.
    const bool tls = address.tls || client.tls_always || info->tls_required;
    if (tls && !secure_link(*info, why)) return fail(why);
    open_to_writers();
    apply_info(*info);
    const bool confirm = tls || !address.credentials.empty() || info->auth_required;
    if (confirm && !confirm_connect(why)) return fail(why);
    handshake(confirm ? "" : connect_line(client.name));
    if (client.is_connected()) {
        console_print("[NATS] Connected: %s\n", server.c_str());
        receive_loop();
    }
    close();
    if (client.running.load()) console_print("[NATS] Disconnected from %s\n", server.c_str());
    return End::lost;
}

NatsSession::End NatsSession::fail(const std::string& why) {
    close();
    if (client.running.load()) console_print("[NATS] Failed: %s (%s)\n", server.c_str(), why.c_str());
    return End::failed;
}

bool NatsSession::connect_to() {
    const std::string service = std::to_string(address.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(address.host.c_str(), service.c_str(), &hints, &addresses) != 0) return false;

    UniqueFd fd;
    for (const addrinfo* a = addresses; a != nullptr && client.running.load(); a = a->ai_next) {
        fd.reset(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd.valid()) continue;
        if (connect_until(fd.get(), a->ai_addr, a->ai_addrlen, client.timings.connect_timeout, client.wake_fd.get())) {
            break;
        }
        fd.reset();
    }
    freeaddrinfo(addresses);
    if (!fd.valid()) return false;

    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_socket_timeout(fd.get(), SO_SNDTIMEO, client.timings.connect_timeout);

    // stop() clears `running` before it takes link_mutex: checking under the same lock means a
    // stop either comes after the descriptor is in place or is seen here.
    MutexLock lock(client.link_mutex);
    if (!client.running.load()) return false;
    client.link.fd = std::move(fd);
    return true;
}

std::optional<ServerInfo> NatsSession::read_greeting(std::string& why) {
    reset_stream();
    const Clock::time_point deadline = Clock::now() + client.timings.greeting_timeout;
    while (frames.empty()) {
        if (!parser.error.empty()) {
            why = "protocol error before INFO: " + parser.error;
            return std::nullopt;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            why = "no greeting";
            return std::nullopt;
        }
        const ssize_t n = receive_frames(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        if (n < 0 && errno == EAGAIN) continue;
        if (n == 0) {
            why = "connection closed before INFO";
            return std::nullopt;
        }
        if (n < 0) {
            why = errno == ECONNRESET ? "connection reset before INFO"
                                      : "receive failed before INFO: " + std::generic_category().message(errno);
            return std::nullopt;
        }
    }
    if (frames.front().kind != FrameKind::info) {
        why = "first line is not INFO";
        return std::nullopt;
    }
    const std::string line = std::move(frames.front().line);
    // Whatever followed the greeting is the start of the stream the receive loop reads.
    frames.erase(frames.begin());
    client.max_payload.store(kMaxPayloadDefault);
    return parse_info_line(line);
}

bool NatsSession::secure_link(const ServerInfo& info, std::string& why) {
    if (!info.tls_required && !info.tls_available) {
        why = address.tls ? "tls:// but the server does not offer TLS"
                          : "TLS options set but the server does not offer TLS";
        return false;
    }
    if (!client.tls_context) {
        client.tls_context = make_tls_context({}, why);
        if (!client.tls_context) return false;
    }
    // Nothing plain may be taken for part of the encrypted stream.
    reset_stream();
    if (start_tls(client.link, client.tls_context.get(), address.host, client.timings.greeting_timeout,
                  client.wake_fd.get(), why)) {
        return true;
    }
    why = "TLS: " + why;
    return false;
}

void NatsSession::open_to_writers() {
    // Only once the link is what it will be (TLS when required), so no other thread can write
    // plain text on it before.
    MutexLock send_lock(client.send_mutex);
    MutexLock link_lock(client.link_mutex);
    if (client.running.load()) client.set_state(LinkState::handshaking);
}

bool NatsSession::confirm_connect(std::string& why) {
    // The standard clients' check: CONNECT and PING, then the PONG proves the server took the
    // credentials and the client certificate; an -ERR says why it did not.
    {
        MutexLock lock(client.send_mutex);
        if (!client.write_locked(connect_line(client.name, address.credentials, client.link.tls != nullptr) +
                                 "PING\r\n")) {
            why = "connection lost";
            return false;
        }
    }
    const Clock::time_point deadline = Clock::now() + client.timings.greeting_timeout;
    for (;;) {
        for (size_t i = 0; i < frames.size(); ++i) {
            const NatsFrame& frame = frames[i];
            if (frame.kind == FrameKind::pong) {
                // What follows the PONG is the receive loop's.
                frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return true;
            }
            if (frame.kind == FrameKind::ping) client.send_raw("PONG\r\n");
            if (frame.kind == FrameKind::info) apply_info(parse_info_line(frame.line));
            if (frame.kind == FrameKind::err) {
                why = console_text(frame.line, 200);
                return false;
            }
        }
        frames.clear();
        const Clock::time_point now = Clock::now();
        if (!parser.error.empty() || now >= deadline) {
            why = "no answer to CONNECT";
            return false;
        }
        const ssize_t n = receive_frames(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) {
            why = client.link.failure.empty() ? "connection closed by the server" : "TLS: " + client.link.failure;
            return false;
        }
    }
}

std::string NatsSession::inherited_entry(const std::string& url) const {
    if (client.link.tls == nullptr && address.credentials.empty()) return url;
    // A server the cluster names is reached the way this one was: over TLS when this link is,
    // with the same credentials. Anything in the announcement but host and port is ignored.
    std::string host_port = url;
    const size_t scheme_end = host_port.find("://");
    if (scheme_end != std::string::npos) host_port.erase(0, scheme_end + 3);
    const size_t at = host_port.rfind('@');
    if (at != std::string::npos) host_port.erase(0, at + 1);
    return (client.link.tls != nullptr ? "tls://" : "nats://") + userinfo_text(address.credentials) + host_port;
}

void NatsSession::apply_info(const ServerInfo& info) {
    if (info.max_payload) client.max_payload.store(*info.max_payload);
    if (!info.connect_urls) return;
    std::vector<std::string> urls;
    for (const std::string& url : *info.connect_urls) urls.push_back(inherited_entry(url));
    std::vector<std::string> added;
    {
        MutexLock lock(client.servers_mutex);
        added = update_discovered(client.servers, urls);
    }
    for (const std::string& url : added) {
        print_within(client.noise.discovered, "[NATS] Discovered server: " + masked_server_entry(url) + "\n");
    }
}

void NatsSession::handshake(const std::string& connect_text) {
    // Lock order as in subscribe(): registry, then writes. Publishers wait for the whole
    // handshake, so nothing reaches a new connection ahead of it.
    MutexLock lock(client.subscriptions_mutex);
    MutexLock send_lock(client.send_mutex);
    std::string text = connect_text;
    for (const Subscription& s : client.subscriptions) text += sub_line(s.subject, s.sid);
    if (client.outbox.mode != ResultsAck::server && client.headers_ok.load()) {
        text += sub_line(client.ack_prefix + ".*", kResultReplySid);
    }
    std::vector<OutboxEntry> oversized_entries;
    text += client.due_results_locked(oversized_entries);
    for (const auto& [subject, inbox] : client.connect_requests) text += pub_text(subject, inbox, "");
    // Its PONG ends the handshake's round trip and confirms the results written above.
    text += "PING\r\n";
    outbox_ping_sent(client.outbox, Clock::now());
    if (client.write_locked(text)) {
        MutexLock link_lock(client.link_mutex);
        // Unless a stop came meanwhile.
        if (client.state.load() == LinkState::handshaking) client.set_state(LinkState::connected);
    }
    send_lock.unlock();
    lock.unlock();
    client.report_oversized(oversized_entries);
}

void NatsSession::receive_loop() {
    pings_unanswered = 0;
    next_ping = Clock::now() + client.timings.keepalive;
    // The greeting may have brought more than its own line.
    if (!dispatch_frames()) return;
    while (client.running.load() && client.is_connected()) {
        print_held_back(client.noise);
        // The rest of a payload is due within the receive time-out; keep-alive and the results'
        // deadlines wait for it.
        const bool payload = awaiting_payload(parser);
        if (!payload && (!keep_alive() || !service_results())) return;
        const ssize_t n = payload ? receive_frames(client.timings.receive_timeout)
                                  : receive_frames(next_wait(), client.nudge_fd.get());
        if (n < 0 && errno == EINTR) continue;  // a result went out: its deadline counts now
        if (!payload && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;  // with a payload pending, a time-out too: it never came
        if (!dispatch_frames()) return;
    }
}

ssize_t NatsSession::receive_frames(std::chrono::milliseconds timeout, int nudge) {
    const ssize_t n = receive_within(client.link, chunk, timeout, client.wake_fd.get(), nudge);
    if (n > 0) parse_frames(parser, std::string_view(chunk.data(), static_cast<size_t>(n)), frames);
    return n;
}

bool NatsSession::dispatch_frames() {
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
                client.send_raw("PONG\r\n");
                break;
            case FrameKind::pong:
                handle_pong();
                break;
            case FrameKind::info:
                apply_info(parse_info_line(frame.line));  // cluster changes and limits while connected
                break;
            case FrameKind::err:
                print_within(client.noise.server_errors, "[NATS] Server error: " + excerpt(frame.line) + "\n");
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

void NatsSession::deliver(int64_t sid, const NatsMsg& message) {
    const Subscription* target = nullptr;
    {
        MutexLock lock(client.subscriptions_mutex);
        for (const Subscription& s : client.subscriptions) {
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
                      print_within(
                          client.noise.callback_failures,
                          "[NATS] Callback failed on " + excerpt(message.subject) + ": " + excerpt(what) + "\n");
                  },
                  "unknown exception");
}

bool NatsSession::keep_alive() {
    const Clock::time_point now = Clock::now();
    if (now < next_ping) return true;
    if (pings_unanswered >= 2) {
        console_print("[NATS] Stale connection: %d PINGs unanswered\n", pings_unanswered);
        return false;
    }
    {
        MutexLock lock(client.send_mutex);
        if (client.write_locked("PING\r\n")) outbox_ping_sent(client.outbox, Clock::now());
    }
    ++pings_unanswered;
    next_ping = now + client.timings.pong_wait;
    return true;
}

void NatsSession::handle_pong() {
    pings_unanswered = 0;
    next_ping = Clock::now() + client.timings.keepalive;
    OutboxOutcome outcome;
    {
        MutexLock lock(client.send_mutex);
        outcome = outbox_pong(client.outbox);
    }
    settle(outcome);
}

bool NatsSession::service_results() {
    const Clock::time_point now = Clock::now();
    OutboxOutcome outcome;
    std::vector<OutboxEntry> oversized_entries;
    {
        MutexLock lock(client.send_mutex);
        const PingMark* oldest = outbox_oldest_result_ping(client.outbox);
        if (oldest != nullptr && now >= oldest->sent_at + client.timings.result_pong) {
            lock.unlock();
            console_print("[NATS] Stale connection: no PONG within %lds to confirm a result\n",
                          whole_seconds(client.timings.result_pong));
            return false;
        }
        outcome = outbox_expire(client.outbox, now);
        const std::string text = client.due_results_locked(oversized_entries);
        if (!text.empty() && client.write_locked(text + "PING\r\n")) outbox_ping_sent(client.outbox, now);
    }
    client.report_oversized(oversized_entries);
    settle(outcome);
    return true;
}

std::chrono::milliseconds NatsSession::next_wait() {
    const Clock::time_point now = Clock::now();
    Clock::time_point due = next_ping;
    {
        MutexLock lock(client.send_mutex);
        due = std::min(due, outbox_next_due(client.outbox));
        const PingMark* oldest = outbox_oldest_result_ping(client.outbox);
        if (oldest != nullptr) due = std::min(due, oldest->sent_at + client.timings.result_pong);
    }
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(due - now), std::chrono::milliseconds(1));
}

void NatsSession::handle_result_reply(const NatsFrame& frame) {
    const std::string prefix = client.ack_prefix + ".";
    if (frame.subject.compare(0, prefix.size(), prefix) != 0) return;
    const std::string digits = frame.subject.substr(prefix.size());
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) return;
    const StreamAck ack = parse_stream_ack(frame.headers, frame.payload);
    OutboxOutcome outcome;
    {
        MutexLock lock(client.send_mutex);
        outcome = outbox_reply(client.outbox, std::stoull(digits), ack, Clock::now());
    }
    settle(outcome);
}

void NatsSession::settle(const OutboxOutcome& outcome) {
    if (client.journal != nullptr) {
        for (const OutboxEntry& entry : outcome.delivered) client.journal->mark_done(entry.msg_id);
    }
    for (const std::string& subject : outcome.unstored_subjects) {
        if (std::find(unstored_reported.begin(), unstored_reported.end(), subject) != unstored_reported.end()) continue;
        unstored_reported.push_back(subject);
        console_print("[NATS] WARN: no stream stores %s here: results on it are confirmed by the server only\n",
                      subject.c_str());
    }
    std::string& refusal_reported = client.refusal_reported;
    for (const std::string& reason : outcome.refusals) {
        if (reason == refusal_reported) continue;
        refusal_reported = reason;
        console_print("[NATS] WARN: result not stored: %s (kept, retrying in %lds)\n", reason.c_str(),
                      whole_seconds(outcome.retry_in));
    }
    if (outcome.refusals.empty() && outcome.stored && !refusal_reported.empty()) {
        refusal_reported.clear();
        console_print("[NATS] Results stored again\n");
    }
}

void NatsSession::reset_stream() {
    parser = NatsParser();
    frames.clear();
    frames.shrink_to_fit();
}

void NatsSession::close() {
    {
        MutexLock send_lock(client.send_mutex);
        MutexLock link_lock(client.link_mutex);
        client.set_state(LinkState::closed);
        if (client.link.fd.valid()) {
            outbox_connection_lost(client.outbox);
            end_tls(client.link);
        }
    }
    client.link.fd.reset();
    client.link.failure.clear();
    set_current_server("");
    reset_stream();
}

void NatsSession::set_current_server(std::string name) {
    MutexLock lock(client.servers_mutex);
    client.current_server = std::move(name);
}
