#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bus/nats_outbox.h"

// The results journal's bytes, as pure functions. A journal is a sequence of records, each
//   u32 body length | u32 CRC-32C of type and body | u8 type | body     (integers little-endian)
// of two types: a find (kind, subject, message id, payload: the bytes it is published with) and
// the message id of a find that is done (delivered, or pushed out of the outbox). Replaying a
// journal gives the finds not done, in the order they were written; it stops at the first
// record that is incomplete (a write cut short by a crash) or damaged.

struct JournalFind {
    KeptKind kind = KeptKind::share;
    std::string subject;
    std::string msg_id;
    std::string payload;
    bool operator==(const JournalFind& other) const {
        return kind == other.kind && subject == other.subject && msg_id == other.msg_id && payload == other.payload;
    }
};

// No record body is larger: a length field above it can only be damage.
inline constexpr size_t kMaxJournalBody = kOutboxBytes + 1024;

std::string find_record(const JournalFind& find);
std::string done_record(const std::string& msg_id);

struct JournalReplay {
    std::vector<JournalFind> pending;
    size_t good_bytes = 0;  // the records before the first bad one; the rest is to be dropped
    std::string damage;     // why replay stopped early ("torn record", ...); empty if it did not
};

JournalReplay replay_journal(std::string_view bytes);

uint32_t crc32c(std::string_view bytes);
