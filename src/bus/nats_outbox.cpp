#include "bus/nats_outbox.h"

#include <algorithm>

#include "bus/nats_protocol.h"

namespace {

// The oldest share, else the oldest block.
std::deque<OutboxEntry>::iterator eviction_victim(Outbox& outbox) {
    const auto share = std::find_if(outbox.entries.begin(), outbox.entries.end(),
                                    [](const OutboxEntry& e) { return e.kind == KeptKind::share; });
    return share != outbox.entries.end() ? share : outbox.entries.begin();
}

void forget_connection(OutboxEntry& entry) {
    entry.written = false;
    entry.server_has_it = false;
    entry.no_responders = false;
}

// Takes the entry out of the outbox into `outcome`.
std::deque<OutboxEntry>::iterator deliver(Outbox& outbox, const std::deque<OutboxEntry>::iterator& it,
                                          OutboxOutcome& outcome) {
    outbox.bytes -= entry_bytes(*it);
    outcome.delivered.push_back(std::move(*it));
    return outbox.entries.erase(it);
}

void note_unstored(OutboxOutcome& outcome, const std::string& subject) {
    if (std::find(outcome.unstored_subjects.begin(), outcome.unstored_subjects.end(), subject) ==
        outcome.unstored_subjects.end()) {
        outcome.unstored_subjects.push_back(subject);
    }
}

void refuse(Outbox& outbox, OutboxEntry& entry, std::string reason, OutboxClock::time_point now,
            OutboxOutcome& outcome) {
    outbox.retry_backoff = outbox.retry_backoff.count() == 0
                               ? outbox.timings.retry_first
                               : std::min(outbox.retry_backoff * 2, outbox.timings.retry_most);
    forget_connection(entry);
    entry.not_before = now + outbox.retry_backoff;
    outcome.refusals.push_back(std::move(reason));
    outcome.retry_in = outbox.retry_backoff;
}

bool stored_here(const Outbox& outbox, const std::string& subject) {
    return std::find(outbox.stored_subjects.begin(), outbox.stored_subjects.end(), subject) !=
           outbox.stored_subjects.end();
}

}  // namespace

size_t outbox_wire_bytes(const OutboxEntry& entry, bool with_reply) {
    return entry.payload.size() + (with_reply ? msg_id_headers(entry.msg_id).size() : 0);
}

size_t entry_bytes(const OutboxEntry& entry) {
    return entry.subject.size() + entry.msg_id.size() + entry.payload.size();
}

std::deque<OutboxEntry> outbox_add(Outbox& outbox, KeptKind kind, std::string subject, std::string msg_id,
                                   std::string payload) {
    OutboxEntry entry;
    entry.seq = outbox.next_seq++;
    entry.kind = kind;
    entry.subject = std::move(subject);
    entry.msg_id = std::move(msg_id);
    entry.payload = std::move(payload);
    std::deque<OutboxEntry> evicted;
    if (entry_bytes(entry) > outbox.capacity) {
        evicted.push_back(std::move(entry));
        return evicted;
    }
    outbox.bytes += entry_bytes(entry);
    outbox.entries.push_back(std::move(entry));
    while (outbox.bytes > outbox.capacity) {
        const auto victim = eviction_victim(outbox);
        outbox.bytes -= entry_bytes(*victim);
        evicted.push_back(std::move(*victim));
        outbox.entries.erase(victim);
    }
    return evicted;
}

std::string outbox_write_text(Outbox& outbox, int64_t max_payload, const std::string& reply_prefix,
                              OutboxClock::time_point now, std::vector<OutboxEntry>& oversized) {
    std::string text;
    for (OutboxEntry& entry : outbox.entries) {
        if (entry.written || entry.refused_here || entry.not_before > now) continue;
        if (static_cast<int64_t>(outbox_wire_bytes(entry, !reply_prefix.empty())) > max_payload) {
            // This server would close the connection on it; another one may take it.
            entry.refused_here = true;
            oversized.push_back(entry);
            oversized.back().with_reply = !reply_prefix.empty();  // as it would have gone
            continue;
        }
        entry.written = true;
        entry.with_reply = !reply_prefix.empty();
        entry.write_index = ++outbox.writes;
        entry.written_at = now;
        text += entry.with_reply ? hpub_text(entry.subject, reply_prefix + "." + std::to_string(entry.seq),
                                             entry.msg_id, entry.payload)
                                 : pub_text(entry.subject, entry.payload);
    }
    return text;
}

void outbox_ping_sent(Outbox& outbox, OutboxClock::time_point now) {
    outbox.ping_marks.push_back({outbox.writes, now, outbox.writes > outbox.pinged_writes});
    outbox.pinged_writes = outbox.writes;
}

OutboxOutcome outbox_pong(Outbox& outbox) {
    OutboxOutcome outcome;
    if (outbox.ping_marks.empty()) return outcome;
    const uint64_t confirmed = outbox.ping_marks.front().through;
    outbox.ping_marks.pop_front();
    // Marks belong to the current connection (a lost one clears them), so every entry written
    // up to `confirmed` went out on it before that PING.
    for (auto it = outbox.entries.begin(); it != outbox.entries.end();) {
        if (!it->written || it->write_index > confirmed) {
            ++it;
            continue;
        }
        it->server_has_it = true;
        const bool unstored = outbox.mode == ResultsAck::automatic && it->no_responders;
        if (outbox.mode == ResultsAck::server || !it->with_reply || unstored) {
            if (unstored) note_unstored(outcome, it->subject);
            it = deliver(outbox, it, outcome);
        } else {
            ++it;
        }
    }
    return outcome;
}

OutboxOutcome outbox_reply(Outbox& outbox, uint64_t seq, const StreamAck& ack, OutboxClock::time_point now) {
    OutboxOutcome outcome;
    const auto it =
        std::find_if(outbox.entries.begin(), outbox.entries.end(), [&](const OutboxEntry& e) { return e.seq == seq; });
    if (it == outbox.entries.end()) return outcome;
    switch (ack.kind) {
        case AckKind::stored:
            // Stored is stored, whichever connection carried the copy the stream answers for.
            if (!stored_here(outbox, it->subject)) outbox.stored_subjects.push_back(it->subject);
            outbox.retry_backoff = std::chrono::milliseconds(0);
            outcome.stored = true;
            deliver(outbox, it, outcome);
            break;
        case AckKind::refused:
            if (it->written) refuse(outbox, *it, ack.reason, now, outcome);
            break;
        case AckKind::no_responders:
            if (!it->written) break;
            // Where a stream has stored the subject, its absence now is an outage, not a pool
            // without one: a leader being elected, a node restarting.
            if (outbox.mode != ResultsAck::automatic || stored_here(outbox, it->subject)) {
                refuse(outbox, *it, "no stream takes its subject", now, outcome);
            } else if (it->server_has_it) {
                note_unstored(outcome, it->subject);
                deliver(outbox, it, outcome);
            } else {
                it->no_responders = true;  // its PONG delivers it
            }
            break;
        case AckKind::unknown:
            break;
    }
    return outcome;
}

OutboxOutcome outbox_expire(Outbox& outbox, OutboxClock::time_point now) {
    OutboxOutcome outcome;
    for (auto it = outbox.entries.begin(); it != outbox.entries.end();) {
        if (!it->written || !it->server_has_it || now < it->written_at + outbox.timings.ack_wait) {
            ++it;
        } else if (outbox.mode == ResultsAck::automatic && !stored_here(outbox, it->subject)) {
            note_unstored(outcome, it->subject);
            it = deliver(outbox, it, outcome);
        } else {
            // A stream takes the subject but did not answer for this one: the same id again is
            // stored at most once.
            forget_connection(*it);
            it->not_before = now;
            ++it;
        }
    }
    return outcome;
}

OutboxClock::time_point outbox_next_due(const Outbox& outbox) {
    OutboxClock::time_point due = OutboxClock::time_point::max();
    for (const OutboxEntry& entry : outbox.entries) {
        if (!entry.written && !entry.refused_here) {
            due = std::min(due, entry.not_before);
        } else if (entry.written && entry.server_has_it) {
            due = std::min(due, entry.written_at + outbox.timings.ack_wait);
        }
    }
    return due;
}

const PingMark* outbox_oldest_result_ping(const Outbox& outbox) {
    for (const PingMark& mark : outbox.ping_marks) {
        if (mark.confirms_results) return &mark;
    }
    return nullptr;
}

void outbox_connection_lost(Outbox& outbox) {
    outbox.ping_marks.clear();
    outbox.writes = 0;
    outbox.pinged_writes = 0;
    for (OutboxEntry& entry : outbox.entries) {
        forget_connection(entry);
        entry.refused_here = false;
    }
}
