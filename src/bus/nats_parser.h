#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bus/nats_protocol.h"

// The server-to-client half of the NATS text protocol as a pure function over byte slices: no
// socket, no clock. The reader feeds whatever each receive brought; the parser keeps the
// partial line or payload between calls and yields whole frames.

enum class FrameKind {
    info,   // a line starting with "INFO "
    msg,    // "MSG <subject> <sid> [reply] <count>" or "HMSG ... <header count> <count>", and its payload
    ping,   // exactly "PING"
    pong,   // exactly "PONG"
    ok,     // starts with "+OK"
    err,    // starts with "-ERR"
    other,  // anything else, a MSG line with too few tokens among them: ignored by the client
};

struct NatsFrame {
    FrameKind kind = FrameKind::other;
    std::string line;  // the control line without its CR LF; empty for MSG
    // MSG only.
    std::string subject;
    int64_t sid = 0;
    std::string reply;
    std::string headers;  // HMSG's header block, as sent; empty for MSG
    std::string payload;  // exactly the announced bytes after the headers; CR LF inside is payload
};

struct NatsParser {
    std::string line;              // a control line received in part
    std::optional<MsgHeader> msg;  // set while the payload of this header is arriving
    std::string payload;           // that payload so far, with the two bytes that end it
    std::string error;             // why the stream is broken; once set, nothing more is parsed
};

// Parses `bytes`, going on where the previous call stopped, and appends every frame completed to
// `frames` in stream order. The two bytes after a payload end the frame whatever their values.
// Returns false once the stream is broken (`parser.error` says why, as console-safe text, and
// the frames before the fault are still appended): a MSG count below 0 or above
// kMaxPayloadBytes, an HMSG header count outside 0 to its total count, or a control line longer
// than kMaxLineBytes. So the parser holds at most one
// control line of kMaxLineBytes and one payload of kMaxPayloadBytes.
bool parse_frames(NatsParser& parser, std::string_view bytes, std::vector<NatsFrame>& frames);

// True while a MSG header has been read and its payload has not all arrived.
inline bool awaiting_payload(const NatsParser& parser) { return parser.msg.has_value(); }
