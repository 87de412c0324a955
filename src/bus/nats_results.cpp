// NatsClient's results: the outbox on the wire (HPUB with a reply subject and a message id),
// the answers of a stream or the server that deliver them, the journal that keeps them on disk,
// and what the console is told about it.

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/console_text.h"
#include "bus/nats_client.h"
#include "bus/stream_ack.h"
#include "common/console.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kind_name(KeptKind kind) { return kind == KeptKind::block ? "block result" : "share"; }

long whole_seconds(std::chrono::milliseconds duration) {
    return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(duration).count());
}

}  // namespace

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
    std::vector<OutboxEntry> oversized;
    bool written = false;
    if (connected.load()) {
        const std::string text = due_results_locked(oversized);
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
    report_oversized(oversized);
    report_dropped(evicted);
    return written && connected.load();
}

std::string NatsClient::due_results_locked(std::vector<OutboxEntry>& oversized) {
    // Where only a stream may deliver results, a server that cannot carry its answers gets none.
    const bool replies = outbox.mode != ResultsAck::server && headers_ok.load();
    if (outbox.mode == ResultsAck::stream && !replies) return "";
    return outbox_write_text(outbox, max_payload.load(), replies ? ack_prefix : "", Clock::now(), oversized);
}

void NatsClient::report_oversized(const std::vector<OutboxEntry>& entries) {
    for (const OutboxEntry& entry : entries) {
        oversized.fetch_add(1);
        print_within(noise.refused, "[NATS] Not sent: " + std::to_string(outbox_wire_bytes(entry, entry.with_reply)) +
                                        "-byte " + kind_name(entry.kind) + " on " + entry.subject +
                                        " exceeds max_payload " + std::to_string(max_payload.load()) +
                                        ", kept for another server\n");
    }
}

void NatsClient::report_dropped(const std::deque<OutboxEntry>& entries) {
    for (const OutboxEntry& entry : entries) {
        if (journal != nullptr) journal->mark_done(entry.msg_id);
        const uint64_t total = dropped.fetch_add(1) + 1;
        console_print("[NATS] Outbox full: dropped a %zu-byte %s on %s (%llu dropped in all)\n", entry.payload.size(),
                      kind_name(entry.kind), entry.subject.c_str(), static_cast<unsigned long long>(total));
    }
}

void NatsClient::settle(const OutboxOutcome& outcome) {
    if (journal != nullptr) {
        for (const OutboxEntry& entry : outcome.delivered) journal->mark_done(entry.msg_id);
    }
    for (const std::string& subject : outcome.unstored_subjects) {
        if (std::find(unstored_reported.begin(), unstored_reported.end(), subject) != unstored_reported.end()) continue;
        unstored_reported.push_back(subject);
        console_print("[NATS] WARN: no stream stores %s here: results on it are confirmed by the server only\n",
                      subject.c_str());
    }
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

bool NatsClient::service_results() {
    const Clock::time_point now = Clock::now();
    OutboxOutcome outcome;
    std::vector<OutboxEntry> oversized_entries;
    {
        MutexLock lock(send_mutex);
        const PingMark* oldest = outbox_oldest_result_ping(outbox);
        if (oldest != nullptr && now >= oldest->sent_at + timings.result_pong) {
            lock.unlock();
            console_print("[NATS] Stale connection: no PONG within %lds to confirm a result\n",
                          whole_seconds(timings.result_pong));
            return false;
        }
        outcome = outbox_expire(outbox, now);
        const std::string text = due_results_locked(oversized_entries);
        if (!text.empty() && write_locked(text + "PING\r\n")) outbox_ping_sent(outbox, now);
    }
    report_oversized(oversized_entries);
    settle(outcome);
    return true;
}

std::chrono::milliseconds NatsClient::next_wait() {
    const Clock::time_point now = Clock::now();
    Clock::time_point due = next_ping;
    {
        MutexLock lock(send_mutex);
        due = std::min(due, outbox_next_due(outbox));
        const PingMark* oldest = outbox_oldest_result_ping(outbox);
        if (oldest != nullptr) due = std::min(due, oldest->sent_at + timings.result_pong);
    }
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(due - now), std::chrono::milliseconds(1));
}

void NatsClient::handle_result_reply(const NatsFrame& frame) {
    const std::string prefix = ack_prefix + ".";
    if (frame.subject.compare(0, prefix.size(), prefix) != 0) return;
    const std::string digits = frame.subject.substr(prefix.size());
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) return;
    const StreamAck ack = parse_stream_ack(frame.headers, frame.payload);
    OutboxOutcome outcome;
    {
        MutexLock lock(send_mutex);
        outcome = outbox_reply(outbox, std::stoull(digits), ack, Clock::now());
    }
    settle(outcome);
}
