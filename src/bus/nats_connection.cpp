// NatsClient life cycle: server passes, connecting, greeting, handshake, disconnect and back-off.

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

#include "common/console_text.h"
#include "bus/nats_client.h"
#include "bus/nats_protocol.h"
#include "bus/socket_io.h"
#include "bus/tls_session.h"
#include "common/console.h"

namespace {

using Clock = std::chrono::steady_clock;

long whole_seconds(std::chrono::milliseconds duration) {
    return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(duration).count());
}

// A reply subject no other client uses, in the form the standard clients give their inboxes.
std::string new_inbox() {
    static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::random_device device;
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string inbox = "_INBOX.";
    for (int i = 0; i < 22; ++i) inbox += kAlphabet[pick(device)];
    return inbox;
}

}  // namespace

NatsClient::NatsClient(std::string name, NatsTimings timings)
    : name(std::move(name)),
      timings(timings),
      wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      nudge_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      ack_prefix(new_inbox()) {
    MutexLock lock(send_mutex);
    outbox.timings = timings.results;
}

NatsClient::~NatsClient() { stop(); }

void NatsClient::set_servers(std::vector<std::string> list) {
    MutexLock lock(servers_mutex);
    servers = make_server_list(std::move(list));
}

std::vector<std::string> NatsClient::servers_copy() const {
    MutexLock lock(servers_mutex);
    return servers.entries;
}

std::string NatsClient::set_tls(const TlsOptions& options) {
    std::string error;
    tls_context = make_tls_context(options, error);
    tls_always = options.any();
    return error;
}

void NatsClient::request_on_connect(const std::string& subject, MsgCallback on_reply) {
    const std::string inbox = new_inbox();
    subscribe(inbox, std::move(on_reply));
    MutexLock lock(subscriptions_mutex);
    connect_requests.emplace_back(subject, inbox);
}

void NatsClient::start() {
    running.exchange(true);
    reader = std::thread(&NatsClient::run, this);
}

void NatsClient::stop() {
    running.exchange(false);
    connected.exchange(false);
    // The eventfd stays readable from now on, so every later wait of the reader ends at once.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_fd.get(), &one, sizeof one);
    {
        MutexLock lock(sock_mutex);
        if (sock >= 0) shutdown(sock, SHUT_RDWR);
        sock = -1;
    }
    if (reader.joinable()) reader.join();
}

bool NatsClient::is_connected() const { return connected.load(); }

std::string NatsClient::current_server_copy() const {
    MutexLock lock(current_server_mutex);
    return current_server;
}

void NatsClient::set_current_server(std::string server) {
    MutexLock lock(current_server_mutex);
    current_server = std::move(server);
}

bool NatsClient::connect_to(const std::string& host, int port) {
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0) return false;

    UniqueFd fd;
    for (const addrinfo* a = addresses; a != nullptr && running.load(); a = a->ai_next) {
        fd.reset(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd.valid()) continue;
        if (connect_until(fd.get(), a->ai_addr, a->ai_addrlen, timings.connect_timeout, wake_fd.get())) break;
        fd.reset();
    }
    freeaddrinfo(addresses);
    if (!fd.valid()) return false;

    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_socket_timeout(fd.get(), SO_SNDTIMEO, timings.connect_timeout);

    // stop() clears `running` before it looks at `sock`: checking under the same lock means a
    // stop either sees this descriptor and shuts it down, or is seen here.
    MutexLock lock(sock_mutex);
    if (!running.load()) return false;
    link.fd = std::move(fd);
    return true;
}

void NatsClient::open_to_writers() {
    MutexLock send_lock(send_mutex);
    MutexLock sock_lock(sock_mutex);
    if (running.load()) sock = link.fd.get();
}

void NatsClient::close_connection() {
    if (!link.fd.valid()) return;
    {
        MutexLock send_lock(send_mutex);
        MutexLock sock_lock(sock_mutex);
        sock = -1;
        outbox_connection_lost(outbox);
        end_tls(link);
    }
    link.fd.reset();
    link.failure.clear();
}

std::optional<ServerInfo> NatsClient::read_greeting(std::vector<char>& chunk, std::string& why) {
    reset_stream();
    const Clock::time_point deadline = Clock::now() + timings.greeting_timeout;
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
        const ssize_t n = receive_frames(chunk, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
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
    max_payload.store(kMaxPayloadDefault);
    return parse_info_line(line);
}

bool NatsClient::secure_link(const ServerAddress& address, const ServerInfo& info, std::string& why) {
    if (!info.tls_required && !info.tls_available) {
        why = address.tls ? "tls:// but the server does not offer TLS"
                          : "TLS options set but the server does not offer TLS";
        return false;
    }
    if (!tls_context) {
        tls_context = make_tls_context({}, why);
        if (!tls_context) return false;
    }
    // Nothing plain may be taken for part of the encrypted stream.
    reset_stream();
    if (start_tls(link, tls_context.get(), address.host, timings.greeting_timeout, wake_fd.get(), why)) return true;
    why = "TLS: " + why;
    return false;
}

bool NatsClient::confirm_connect(const ServerAddress& address, std::vector<char>& chunk, std::string& why) {
    // The standard clients' check: CONNECT and PING, then the PONG proves the server took the
    // credentials and the client certificate; an -ERR says why it did not.
    {
        MutexLock lock(send_mutex);
        if (!write_locked(connect_line(name, address.credentials, link.tls != nullptr) + "PING\r\n")) {
            why = "connection lost";
            return false;
        }
    }
    const Clock::time_point deadline = Clock::now() + timings.greeting_timeout;
    for (;;) {
        for (size_t i = 0; i < frames.size(); ++i) {
            const NatsFrame& frame = frames[i];
            if (frame.kind == FrameKind::pong) {
                // What follows the PONG is the receive loop's.
                frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return true;
            }
            if (frame.kind == FrameKind::ping) send_raw("PONG\r\n");
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
        const ssize_t n = receive_frames(chunk, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) {
            why = link.failure.empty() ? "connection closed by the server" : "TLS: " + link.failure;
            return false;
        }
    }
}

std::string NatsClient::inherited_entry(const std::string& url) const {
    if (link.tls == nullptr && current_credentials.empty()) return url;
    // A server the cluster names is reached the way this one was: over TLS when this link is,
    // with the same credentials. Anything in the announcement but host and port is ignored.
    std::string host_port = url;
    const size_t scheme_end = host_port.find("://");
    if (scheme_end != std::string::npos) host_port.erase(0, scheme_end + 3);
    const size_t at = host_port.rfind('@');
    if (at != std::string::npos) host_port.erase(0, at + 1);
    return (link.tls != nullptr ? "tls://" : "nats://") + userinfo_text(current_credentials) + host_port;
}

void NatsClient::apply_info(const ServerInfo& info) {
    if (info.max_payload) max_payload.store(*info.max_payload);
    if (!info.connect_urls) return;
    std::vector<std::string> urls;
    for (const std::string& url : *info.connect_urls) urls.push_back(inherited_entry(url));
    std::vector<std::string> added;
    {
        MutexLock lock(servers_mutex);
        added = update_discovered(servers, urls);
    }
    for (const std::string& url : added) {
        print_within(noise.discovered, "[NATS] Discovered server: " + masked_server_entry(url) + "\n");
    }
}

void NatsClient::handshake(const std::string& connect_text) {
    // Lock order as in subscribe(): registry, then writes. Publishers wait for the whole
    // handshake, so nothing reaches a new connection ahead of it.
    MutexLock lock(subscriptions_mutex);
    MutexLock send_lock(send_mutex);
    std::string text = connect_text + subscription_text();
    if (outbox.mode != ResultsAck::server && headers_ok.load()) text += sub_line(ack_prefix + ".*", kResultReplySid);
    std::vector<OutboxEntry> oversized_entries;
    text += due_results_locked(oversized_entries);
    for (const auto& [subject, inbox] : connect_requests) text += pub_text(subject, inbox, "");
    // Its PONG ends the handshake's round trip and confirms the results written above.
    text += "PING\r\n";
    outbox_ping_sent(outbox, Clock::now());
    if (write_locked(text)) connected.exchange(true);
    send_lock.unlock();
    lock.unlock();
    report_oversized(oversized_entries);
}

void NatsClient::wait_before_retrying(const std::string& key) {
    const Clock::time_point now = Clock::now();
    // Attempts older than a back-off impose no wait and are forgotten.
    last_attempts.erase(std::remove_if(last_attempts.begin(), last_attempts.end(),
                                       [&](const auto& a) { return now - a.second >= timings.backoff; }),
                        last_attempts.end());
    for (auto& [server, last] : last_attempts) {
        if (server != key) continue;
        // A server that dropped us right after the handshake is not hammered in a tight loop.
        sleep_unless_woken(std::chrono::ceil<std::chrono::milliseconds>(last + timings.backoff - now), wake_fd.get());
        last = Clock::now();
        return;
    }
    last_attempts.emplace_back(key, now);
}

NatsClient::Attempt NatsClient::attempt(size_t index, std::vector<char>& chunk) {
    std::string entry;
    {
        MutexLock lock(servers_mutex);
        entry = servers.entries[index];
    }
    const std::optional<ServerAddress> address = parse_server_entry(entry);
    if (!address) return Attempt::failed;
    const std::string server = server_key(*address);
    wait_before_retrying(server);
    if (!running.load()) return Attempt::failed;
    console_print("[NATS] Connecting to %s...\n", server.c_str());
    if (!connect_to(address->host, address->port)) {
        if (running.load()) console_print("[NATS] Failed: %s\n", server.c_str());
        return Attempt::failed;
    }
    set_current_server(server);
    std::string why;
    const std::optional<ServerInfo> info = read_greeting(chunk, why);
    if (!info) return fail(*address, why);
    headers_ok.store(info->headers);
    // NATS upgrades after the plain INFO greeting and before CONNECT.
    const bool tls = address->tls || tls_always || info->tls_required;
    if (tls && !secure_link(*address, *info, why)) return fail(*address, why);
    open_to_writers();
    current_credentials = address->credentials;
    apply_info(*info);
    const bool confirm = tls || !address->credentials.empty() || info->auth_required;
    if (confirm && !confirm_connect(*address, chunk, why)) return fail(*address, why);
    handshake(confirm ? "" : connect_line(name));
    if (connected.load()) {
        console_print("[NATS] Connected: %s\n", server.c_str());
        receive_loop(chunk);
    }
    connected.exchange(false);
    close_connection();
    set_current_server("");
    reset_stream();
    if (running.load()) console_print("[NATS] Disconnected from %s\n", server.c_str());
    return Attempt::lost;
}

NatsClient::Attempt NatsClient::fail(const ServerAddress& address, const std::string& why) {
    close_connection();
    set_current_server("");
    reset_stream();
    if (running.load()) console_print("[NATS] Failed: %s (%s)\n", server_key(address).c_str(), why.c_str());
    return Attempt::failed;
}

std::chrono::milliseconds backoff_pause(const NatsTimings& timings, std::mt19937& generator) {
    std::uniform_int_distribution<long long> extra(0, timings.backoff_jitter.count());
    return timings.backoff + std::chrono::milliseconds(extra(generator));
}

void NatsClient::run() {
    std::vector<char> chunk(kReceiveChunkBytes);
    std::mt19937 generator{std::random_device{}()};
    size_t start = 0;
    while (running.load()) {
        // A pass tries every entry once, from `start` round the list. After a lost connection
        // it starts at the entry after the lost server; after a failed pass, at the first.
        bool lost = false;
        size_t count;
        {
            MutexLock lock(servers_mutex);
            count = servers.entries.size();
        }
        for (size_t k = 0; k < count && running.load(); ++k) {
            print_held_back(noise);
            const size_t index = (start + k) % count;
            std::string key;
            {
                MutexLock lock(servers_mutex);
                const std::optional<ServerAddress> address = parse_server_entry(servers.entries[index]);
                if (address) key = server_key(*address);
            }
            if (attempt(index, chunk) == Attempt::failed) continue;
            // The list may have changed while connected: go on after where the server is now.
            MutexLock lock(servers_mutex);
            const size_t now_at = find_server(servers, key);
            start = now_at < servers.entries.size() ? now_at + 1 : 0;
            lost = true;
            break;
        }
        if (!running.load()) return;
        if (lost) continue;
        start = 0;
        const std::chrono::milliseconds pause = backoff_pause(timings, generator);
        console_print("[NATS] All servers failed, retrying in %lds...\n", whole_seconds(timings.backoff));
        sleep_unless_woken(pause, wake_fd.get());
    }
}
