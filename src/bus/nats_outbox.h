#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bus/stream_ack.h"

// Results the pool must not miss are kept here from their publication until they are
// delivered, and written again, byte for byte and in publication order, after every connection
// that lost them. Each goes out with a reply subject of its own (`reply_prefix`.seq) and a
// Nats-Msg-Id header, so that a stream capturing the subject stores it once and acknowledges
// it; a PING after it proves that the server has read it. Which of the two delivers it is the
// mode's:
//   stream:    the stream's acknowledgement alone;
//   automatic: the acknowledgement where a stream answers; where the server says nobody takes
//              the subject (no responders), or nothing answers within the acknowledgement wait,
//              and no stream has stored that subject yet, the PONG (the pool may then miss it:
//              nothing stores it). Once a stream has stored a subject, it is expected to: its
//              silence or absence is an outage, and results on it wait as in stream mode;
//   server:    the PONG, and results go out as plain PUB without reply or header.
// A refusal (the stream full or sealed, or no stream in stream mode) keeps the result and
// writes it again after a back-off that doubles up to a limit. Duplicates are possible by
// design: a stream drops them by the id within its duplicate window, a pool keys on the nonce.

enum class KeptKind { share, block };
enum class ResultsAck { automatic, stream, server };

using OutboxClock = std::chrono::steady_clock;

struct OutboxEntry {
    uint64_t seq = 0;
    KeptKind kind = KeptKind::share;
    std::string subject;
    std::string msg_id;
    std::string payload;
    // On the current connection:
    bool written = false;        // awaiting confirmation
    bool with_reply = false;     // written with a reply subject: a stream may acknowledge it
    bool server_has_it = false;  // a PONG to a PING after it came back
    bool no_responders = false;  // the server said nobody takes its subject
    bool refused_here = false;   // above this server's max_payload: left for another server
    uint64_t write_index = 0;    // when written: the connection's count of writes so far
    OutboxClock::time_point written_at;
    OutboxClock::time_point not_before;  // not written again before this (back-off)
};

struct PingMark {
    uint64_t through = 0;  // the connection's count of writes when the PING went out
    OutboxClock::time_point sent_at;
    bool confirms_results = false;  // results were written since the PING before it
};

inline constexpr size_t kOutboxBytes = size_t{1024} * 1024;

struct OutboxTimings {
    std::chrono::milliseconds ack_wait{5000};     // after its PONG, for a stream's answer
    std::chrono::milliseconds retry_first{1000};  // back-off after the first refusal
    std::chrono::milliseconds retry_most{30000};  // the back-off doubles up to this
};

struct Outbox {
    size_t capacity = kOutboxBytes;  // bytes of subjects, ids and payloads kept at most
    ResultsAck mode = ResultsAck::automatic;
    OutboxTimings timings;
    size_t bytes = 0;
    uint64_t next_seq = 1;
    uint64_t writes = 0;                         // entries written on the current connection, re-writes included
    uint64_t pinged_writes = 0;                  // `writes` at the last PING
    std::deque<OutboxEntry> entries;             // publication order
    std::deque<PingMark> ping_marks;             // one per PING in flight, oldest first
    std::vector<std::string> stored_subjects;    // subjects a stream has stored, on any connection
    std::chrono::milliseconds retry_backoff{0};  // the back-off of the next refusal; 0: the first
};

// What one call settled, for the caller to report and to record in its journal.
struct OutboxOutcome {
    std::vector<OutboxEntry> delivered;
    std::vector<std::string> unstored_subjects;  // delivered by the PONG alone: no stream takes them
    bool stored = false;                         // a stream acknowledged one
    std::vector<std::string> refusals;           // why results were refused, for the console
    std::chrono::milliseconds retry_in{0};       // the back-off the refusals set
};

size_t entry_bytes(const OutboxEntry& entry);
// What a server's max_payload counts of the entry: its payload, and its headers when it goes
// with a reply.
size_t outbox_wire_bytes(const OutboxEntry& entry, bool with_reply);

// Appends a message and returns what no longer fits, oldest shares first, then oldest blocks.
// A message larger than the whole capacity is returned itself.
std::deque<OutboxEntry> outbox_add(Outbox& outbox, KeptKind kind, std::string subject, std::string msg_id,
                                   std::string payload);

// Writes what is due on the current connection: every entry not written on it whose back-off
// has passed and whose payload fits `max_payload`. Each goes as HPUB with the reply
// `reply_prefix`.seq, or as PUB when `reply_prefix` is empty (server mode, or a server without
// headers). Entries above `max_payload` stay kept for another server and are returned in
// `oversized` the first time on each connection.
std::string outbox_write_text(Outbox& outbox, int64_t max_payload, const std::string& reply_prefix,
                              OutboxClock::time_point now, std::vector<OutboxEntry>& oversized);
// A PING is written: its PONG proves the server read everything written before.
void outbox_ping_sent(Outbox& outbox, OutboxClock::time_point now);
// A PONG arrived: the entries its PING follows are the server's; those the mode delivers with
// it leave. A PONG without a PING in flight changes nothing.
OutboxOutcome outbox_pong(Outbox& outbox);
// The answer to the entry with `seq` (gone already: nothing happens).
OutboxOutcome outbox_reply(Outbox& outbox, uint64_t seq, const StreamAck& ack, OutboxClock::time_point now);
// Entries the server has but no stream has answered for within the acknowledgement wait:
// delivered by the PONG in automatic mode where no stream stored their subject here, otherwise
// written again.
OutboxOutcome outbox_expire(Outbox& outbox, OutboxClock::time_point now);
// When something is next due: an entry's back-off or acknowledgement wait ends. max() if never.
OutboxClock::time_point outbox_next_due(const Outbox& outbox);
// The oldest PING in flight that confirms results, if any.
const PingMark* outbox_oldest_result_ping(const Outbox& outbox);
// The connection is gone: nothing is in flight any more, everything is to be written again.
void outbox_connection_lost(Outbox& outbox);
