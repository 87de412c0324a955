#pragma once

#include <string>

// What a reply to a result published with a reply subject says. A stream that captures the
// subject answers once it has stored the message ({"stream":...,"seq":...}) or with why it did
// not ({"error":{...}}); the server itself answers a status 503 when nobody takes the subject.
enum class AckKind {
    stored,         // a stream holds it (also when it was a duplicate of one it holds)
    refused,        // a stream would not store it: kept and sent again later
    no_responders,  // nothing subscribes to the subject, no stream either
    unknown,        // some other answer: not a stream's, so it proves nothing
};

struct StreamAck {
    AckKind kind = AckKind::unknown;
    std::string reason;  // refused: the stream's own words, console-safe and cut
};

StreamAck parse_stream_ack(const std::string& headers, const std::string& payload);
