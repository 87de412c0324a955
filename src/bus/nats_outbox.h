#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// Results the pool must not miss are kept here from their publication until the server has
// confirmed them: a PING written after a message is answered by a PONG only once the server has
// processed the message. Whatever the connection that carried a message lost before that PONG is
// written again, byte for byte and in publication order, after the next handshake. Duplicates
// are possible by design; the pool keys on the nonce.

enum class KeptKind { share, block };

struct OutboxEntry {
    uint64_t seq = 0;
    KeptKind kind = KeptKind::share;
    std::string subject;
    std::string payload;
    bool written = false;  // on the current connection, awaiting confirmation
};

inline constexpr size_t kOutboxBytes = size_t{1024} * 1024;

struct Outbox {
    size_t capacity = kOutboxBytes;  // bytes of subjects and payloads kept at most
    size_t bytes = 0;
    uint64_t next_seq = 1;
    uint64_t written_through = 0;     // highest seq written on the current connection
    std::deque<OutboxEntry> entries;  // publication order
    // One per PING in flight, oldest first: the highest seq written before that PING.
    std::deque<uint64_t> ping_marks;
};

size_t entry_bytes(const OutboxEntry& entry);

// Appends a message and returns what no longer fits, oldest shares first, then oldest blocks.
// A message larger than the whole capacity is returned itself.
std::deque<OutboxEntry> outbox_add(Outbox& outbox, KeptKind kind, std::string subject, std::string payload);
// The entry just added (the last one), marked as written on the current connection.
void outbox_mark_last_written(Outbox& outbox);
// The PUB text of every entry not yet written on the current connection, in order, which are
// now marked written. Entries with a payload above `max_payload` are removed and returned in
// `refused` instead: this server would close the connection on them.
std::string outbox_write_text(Outbox& outbox, int64_t max_payload, std::deque<OutboxEntry>& refused);
// A PING is written: the server confirms everything written so far with its PONG.
void outbox_ping_sent(Outbox& outbox);
// A PONG arrived: drops the entries its PING confirms. A PONG without a PING in flight changes
// nothing.
void outbox_pong(Outbox& outbox);
// The connection is gone: nothing is in flight any more, everything is to be written again.
void outbox_connection_lost(Outbox& outbox);
