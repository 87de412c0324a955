#include "bus/journal_record.h"

#include <algorithm>
#include <array>

namespace {

enum RecordType : uint8_t { kFind = 1, kDone = 2 };
constexpr size_t kRecordHead = 9;  // length, checksum, type

void put_u32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

void put_u16(std::string& out, size_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>((value >> 8) & 0xff);
}

uint32_t get_u32(std::string_view bytes) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
    return value;
}

size_t get_u16(std::string_view bytes) {
    return static_cast<size_t>(static_cast<uint8_t>(bytes[0])) | static_cast<size_t>(static_cast<uint8_t>(bytes[1]))
                                                                     << 8;
}

std::string record(RecordType type, const std::string& body) {
    std::string typed(1, static_cast<char>(type));
    typed += body;
    std::string out;
    out.reserve(8 + typed.size());
    put_u32(out, static_cast<uint32_t>(body.size()));
    put_u32(out, crc32c(typed));
    return out + typed;
}

// Takes a field with a 16-bit length from the front of `body`; false when it does not fit.
bool take_field(std::string_view& body, std::string& field) {
    if (body.size() < 2) return false;
    const size_t length = get_u16(body);
    if (body.size() < 2 + length) return false;
    field.assign(body.substr(2, length));
    body.remove_prefix(2 + length);
    return true;
}

bool decode_find(std::string_view body, JournalFind& find) {
    if (body.empty() || static_cast<uint8_t>(body[0]) > 1) return false;
    find.kind = body[0] == 1 ? KeptKind::block : KeptKind::share;
    body.remove_prefix(1);
    if (!take_field(body, find.subject) || !take_field(body, find.msg_id)) return false;
    find.payload.assign(body);
    return true;
}

}  // namespace

uint32_t crc32c(std::string_view bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) crc = table[(crc ^ static_cast<uint8_t>(byte)) & 0xff] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string find_record(const JournalFind& find) {
    std::string body(1, find.kind == KeptKind::block ? '\1' : '\0');
    put_u16(body, find.subject.size());
    body += find.subject;
    put_u16(body, find.msg_id.size());
    body += find.msg_id;
    body += find.payload;
    return record(kFind, body);
}

std::string done_record(const std::string& msg_id) { return record(kDone, msg_id); }

JournalReplay replay_journal(std::string_view bytes) {
    JournalReplay replay;
    std::string_view rest = bytes;
    while (!rest.empty()) {
        if (rest.size() < kRecordHead) {
            replay.damage = "torn record";
            break;
        }
        const size_t length = get_u32(rest);
        if (length > kMaxJournalBody) {
            replay.damage = "record length " + std::to_string(length) + " out of range";
            break;
        }
        if (rest.size() < kRecordHead + length) {
            replay.damage = "torn record";
            break;
        }
        const std::string_view typed = rest.substr(8, 1 + length);
        if (crc32c(typed) != get_u32(rest.substr(4))) {
            replay.damage = "checksum mismatch";
            break;
        }
        const std::string_view body = typed.substr(1);
        if (typed[0] == kFind) {
            JournalFind find;
            if (!decode_find(body, find)) {
                replay.damage = "malformed find record";
                break;
            }
            replay.pending.push_back(std::move(find));
        } else if (typed[0] == kDone) {
            const auto done = std::find_if(replay.pending.begin(), replay.pending.end(),
                                           [&](const JournalFind& f) { return f.msg_id == body; });
            if (done != replay.pending.end()) replay.pending.erase(done);
        } else {
            replay.damage = "unknown record type";
            break;
        }
        rest.remove_prefix(kRecordHead + length);
        replay.good_bytes = bytes.size() - rest.size();
    }
    return replay;
}
