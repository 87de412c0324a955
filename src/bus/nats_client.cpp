// NatsClient's face to the miner: set-up, start and stop, what writers call (subscribe,
// publish, the kept results) and the status getters.

#include "bus/nats_client.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "common/console.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kind_name(KeptKind kind) { return kind == KeptKind::block ? "block result" : "share"; }

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

std::string NatsClient::current_server_copy() const {
    MutexLock lock(servers_mutex);
    return current_server;
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

void NatsClient::set_results_ack(ResultsAck mode) {
    MutexLock lock(send_mutex);
    outbox.mode = mode;
}

void NatsClient::set_journal(ResultsJournal* results_journal, const std::vector<JournalFind>& pending) {
    journal = results_journal;
    std::deque<OutboxEntry> evicted;
    {
        MutexLock lock(send_mutex);
        for (const JournalFind& find : pending) {
            for (OutboxEntry& entry : outbox_add(outbox, find.kind, find.subject, find.msg_id, find.payload)) {
                evicted.push_back(std::move(entry));
            }
        }
    }
    report_dropped(evicted);
}

void NatsClient::start() {
    running.exchange(true);
    reader = std::thread(&NatsClient::run, this);
}

void NatsClient::stop() {
    running.exchange(false);
    {
        // Under the lock that every change of the state takes: a link writers may use is shut
        // down here, one that is not yet or no longer theirs is the session's to close.
        MutexLock lock(link_mutex);
        if (link_open()) shutdown(link.fd.get(), SHUT_RDWR);
        set_state(LinkState::closed);
    }
    // The eventfd stays readable from now on, so every later wait of the reader ends at once.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_fd.get(), &one, sizeof one);
    if (reader.joinable()) reader.join();
}

void NatsClient::subscribe(const std::string& subject, MsgCallback callback) {
    MutexLock lock(subscriptions_mutex);
    const int32_t sid = next_sid++;
    subscriptions.push_back({subject, sid, std::move(callback)});
    // Sent now when connected; otherwise the next handshake sends it with the others.
    send_if_connected(sub_line(subject, sid));
}

bool NatsClient::send_if_connected(const std::string& text) {
    MutexLock lock(send_mutex);
    if (!is_connected()) return false;
    return write_locked(text);
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
    if (!is_connected()) return false;
    MutexLock lock(send_mutex);
    // Checked under the lock: a write that raced with a reconnect must not reach the new
    // connection ahead of its handshake.
    if (!is_connected() || !fits_locked(subject, payload.size())) return false;
    return write_locked(pub_text(subject, payload));
}

bool NatsClient::publish_kept(const std::string& subject, const std::string& payload, KeptKind kind,
                              const std::string& msg_id) {
    // On disk before anything is sent: a find the pool may have must survive a crash.
    if (journal != nullptr && !journal->append_find({kind, subject, msg_id, payload})) {
        console_print("[NATS] Journal write failed: the %s on %s is kept in memory only\n", kind_name(kind),
                      subject.c_str());
    }
    MutexLock lock(send_mutex);
    const uint64_t seq = outbox.next_seq;
    std::deque<OutboxEntry> evicted = outbox_add(outbox, kind, subject, msg_id, payload);
    std::vector<OutboxEntry> oversized_entries;
    bool written = false;
    if (is_connected()) {
        const std::string text = due_results_locked(oversized_entries);
        written = std::any_of(outbox.entries.begin(), outbox.entries.end(),
                              [&](const OutboxEntry& e) { return e.seq == seq && e.written; });
        // The PONG to this PING proves the server read it; the reader watches for it.
        if (!text.empty() && write_locked(text + "PING\r\n")) {
            outbox_ping_sent(outbox, Clock::now());
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t nudged = ::write(nudge_fd.get(), &one, sizeof one);
        }
    }
    lock.unlock();
    report_oversized(oversized_entries);
    report_dropped(evicted);
    return written && is_connected();
}

size_t NatsClient::outbox_size() const {
    MutexLock lock(send_mutex);
    return outbox.entries.size();
}

void NatsClient::report_dropped(const std::deque<OutboxEntry>& entries) {
    for (const OutboxEntry& entry : entries) {
        if (journal != nullptr) journal->mark_done(entry.msg_id);
        const uint64_t total = dropped.fetch_add(1) + 1;
        console_print("[NATS] Outbox full: dropped a %zu-byte %s on %s (%llu dropped in all)\n", entry.payload.size(),
                      kind_name(entry.kind), entry.subject.c_str(), static_cast<unsigned long long>(total));
    }
}
