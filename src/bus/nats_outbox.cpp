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

}  // namespace

size_t entry_bytes(const OutboxEntry& entry) { return entry.subject.size() + entry.payload.size(); }

std::deque<OutboxEntry> outbox_add(Outbox& outbox, KeptKind kind, std::string subject, std::string payload) {
    OutboxEntry entry{outbox.next_seq++, kind, std::move(subject), std::move(payload), false};
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

void outbox_mark_last_written(Outbox& outbox) {
    if (outbox.entries.empty()) return;
    outbox.entries.back().written = true;
    outbox.written_through = outbox.entries.back().seq;
}

std::string outbox_write_text(Outbox& outbox, int64_t max_payload, std::deque<OutboxEntry>& refused) {
    std::string text;
    for (auto it = outbox.entries.begin(); it != outbox.entries.end();) {
        if (it->written) {
            ++it;
        } else if (static_cast<int64_t>(it->payload.size()) > max_payload) {
            outbox.bytes -= entry_bytes(*it);
            refused.push_back(std::move(*it));
            it = outbox.entries.erase(it);
        } else {
            it->written = true;
            outbox.written_through = std::max(outbox.written_through, it->seq);
            text += pub_text(it->subject, it->payload);
            ++it;
        }
    }
    return text;
}

void outbox_ping_sent(Outbox& outbox) { outbox.ping_marks.push_back(outbox.written_through); }

void outbox_pong(Outbox& outbox) {
    if (outbox.ping_marks.empty()) return;
    const uint64_t confirmed = outbox.ping_marks.front();
    outbox.ping_marks.pop_front();
    // Marks belong to the current connection (a lost one clears them), so every written entry
    // up to `confirmed` went out on it before that PING.
    for (auto it = outbox.entries.begin(); it != outbox.entries.end();) {
        if (it->written && it->seq <= confirmed) {
            outbox.bytes -= entry_bytes(*it);
            it = outbox.entries.erase(it);
        } else {
            ++it;
        }
    }
}

void outbox_connection_lost(Outbox& outbox) {
    outbox.ping_marks.clear();
    outbox.written_through = 0;
    for (OutboxEntry& entry : outbox.entries) entry.written = false;
}
