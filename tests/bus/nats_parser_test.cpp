// The frame parser fed byte slices, without a socket: every stream must give the same frames
// however the receives split it, and a hostile stream must end in an error with bounded memory.

#include "bus/nats_parser.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>

namespace {

struct Frame {
    FrameKind kind;
    std::string line;
    std::string subject;
    int64_t sid;
    std::string reply;
    std::string payload;
    std::string headers;
    bool operator==(const Frame& other) const {
        return kind == other.kind && line == other.line && subject == other.subject && sid == other.sid &&
               reply == other.reply && payload == other.payload && headers == other.headers;
    }
};

std::ostream& operator<<(std::ostream& out, const Frame& f) {
    return out << "{kind " << static_cast<int>(f.kind) << " line [" << f.line << "] " << f.subject << " " << f.sid
               << " [" << f.reply << "] [" << f.headers << "] [" << f.payload << "]}";
}

Frame line_frame(FrameKind kind, std::string line) { return {kind, std::move(line), "", 0, "", "", ""}; }
Frame msg_frame(std::string subject, int64_t sid, std::string reply, std::string payload, std::string headers = "") {
    return {FrameKind::msg, "", std::move(subject), sid, std::move(reply), std::move(payload), std::move(headers)};
}

struct Parsed {
    std::vector<Frame> frames;
    std::string error;
    bool operator==(const Parsed& other) const { return frames == other.frames && error == other.error; }
};

std::ostream& operator<<(std::ostream& out, const Parsed& p) {
    for (const Frame& f : p.frames) out << f << "\n";
    return out << "error [" << p.error << "]";
}

// Feeds `stream` in the pieces that start at `cuts`, checking what each call reports.
Parsed parse_in_pieces(const std::string& stream, const std::vector<size_t>& cuts) {
    NatsParser parser;
    std::vector<NatsFrame> frames;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : stream.size();
        const bool ok = parse_frames(parser, std::string_view(stream).substr(from, to - from), frames);
        EXPECT_EQ(ok, parser.error.empty());
        from = to;
    }
    Parsed parsed{{}, parser.error};
    for (NatsFrame& f : frames) {
        parsed.frames.push_back({f.kind, f.line, f.subject, f.sid, f.reply, f.payload, f.headers});
    }
    return parsed;
}

Parsed parse_whole(const std::string& stream) { return parse_in_pieces(stream, {}); }

std::string msg(const std::string& subject, const std::string& sid, const std::string& payload) {
    return "MSG " + subject + " " + sid + " " + std::to_string(payload.size()) + "\r\n" + payload + "\r\n";
}

struct StreamCase {
    const char* what;
    std::string stream;
    Parsed expected;
};

std::vector<StreamCase> stream_cases() {
    return {
        {"message", msg("drevik.mining.job", "1", "hello"), {{msg_frame("drevik.mining.job", 1, "", "hello")}, ""}},
        {"reply subject",
         "MSG drevik.mining.job 1 inbox.7 5\r\nhello\r\n",
         {{msg_frame("drevik.mining.job", 1, "inbox.7", "hello")}, ""}},
        {"CR LF inside the payload",
         msg("a", "2", "a\r\nb\r\nc") + msg("b", "3", "\r\n"),
         {{msg_frame("a", 2, "", "a\r\nb\r\nc"), msg_frame("b", 3, "", "\r\n")}, ""}},
        {"empty payload",
         "MSG a 1 0\r\n\r\nPING\r\n",
         {{msg_frame("a", 1, "", ""), line_frame(FrameKind::ping, "PING")}, ""}},
        // The count rules: the two bytes after the payload end it whatever they are.
        {"payload end unchecked",
         "MSG a 1 3\r\nabcXYPONG\r\n",
         {{msg_frame("a", 1, "", "abc"), line_frame(FrameKind::pong, "PONG")}, ""}},
        {"numbers as strtol reads them",
         "MSG a x 2\r\nab\r\nMSG b 7z 0x\r\n\r\nMSG c 1  \t 2 \r\nxy\r\n",
         {{msg_frame("a", 0, "", "ab"), msg_frame("b", 7, "", ""), msg_frame("c", 1, "", "xy")}, ""}},
        {"control lines",
         "PING\r\nPONG\r\n+OK\r\n-ERR 'Unknown Protocol Operation'\r\nINFO {\"max_payload\":5}\r\n",
         {{line_frame(FrameKind::ping, "PING"), line_frame(FrameKind::pong, "PONG"), line_frame(FrameKind::ok, "+OK"),
           line_frame(FrameKind::err, "-ERR 'Unknown Protocol Operation'"),
           line_frame(FrameKind::info, "INFO {\"max_payload\":5}")},
          ""}},
        {"near misses are other lines",
         "PING \r\nping\r\nINFO\r\nMSG a 1\r\nMSGa 1 2\r\n\r\n",
         {{line_frame(FrameKind::other, "PING "), line_frame(FrameKind::other, "ping"),
           line_frame(FrameKind::other, "INFO"), line_frame(FrameKind::other, "MSG a 1"),
           line_frame(FrameKind::other, "MSGa 1 2"), line_frame(FrameKind::other, "")},
          ""}},
        {"bare LF and CR stay in the line",
         "-ERR 'a\n[FORGED] FOUND'\r\n-ERR a\rb\r\r\n",
         {{line_frame(FrameKind::err, "-ERR 'a\n[FORGED] FOUND'"), line_frame(FrameKind::err, "-ERR a\rb\r")}, ""}},
        {"garbage bytes",
         std::string("\x00\xff\x7f junk\r\n", 10) + "PING\r\n",
         {{line_frame(FrameKind::other, std::string("\x00\xff\x7f junk", 8)), line_frame(FrameKind::ping, "PING")},
          ""}},
        {"unfinished line", "PING\r\nPON", {{line_frame(FrameKind::ping, "PING")}, ""}},
        {"unfinished payload", "MSG a 1 10\r\nabc", {{}, ""}},
        {"largest count is a header", "MSG a 1 67108864\r\n", {{}, ""}},
        // A hostile count ends the stream: frames before it stand, nothing after it is read.
        {"negative count", "PING\r\nMSG a 1 -1\r\nPONG\r\n", {{line_frame(FrameKind::ping, "PING")}, "MSG a 1 -1"}},
        {"count above the limit", "MSG a 1 67108865\r\nabc\r\n", {{}, "MSG a 1 67108865"}},
        {"count beyond 64 bits", "MSG a 1 99999999999999999999999\r\n", {{}, "MSG a 1 99999999999999999999999"}},
        {"error text console-safe", "MSG a\x01\\ 1 -5\r\n", {{}, "MSG a\\x01\\\\ 1 -5"}},
        // HMSG: the header block leads the counted bytes.
        {"status without payload",
         "HMSG _INBOX.x.4 0 16 16\r\nNATS/1.0 503\r\n\r\n\r\nPONG\r\n",
         {{msg_frame("_INBOX.x.4", 0, "", "", "NATS/1.0 503\r\n\r\n"), line_frame(FrameKind::pong, "PONG")}, ""}},
        {"headers, reply and payload",
         "HMSG s 2 r.1 12 16\r\nNATS/1.0\r\n\r\na\r\nb\r\n",
         {{msg_frame("s", 2, "r.1", "a\r\nb", "NATS/1.0\r\n\r\n")}, ""}},
        {"no header bytes", "HMSG s 2 0 3\r\nabc\r\n", {{msg_frame("s", 2, "", "abc")}, ""}},
        {"HMSG with too few tokens", "HMSG s 1 2\r\n", {{line_frame(FrameKind::other, "HMSG s 1 2")}, ""}},
        {"headers beyond the total", "HMSG s 1 5 4\r\nabcd\r\n", {{}, "HMSG s 1 5 4"}},
        {"negative header count", "HMSG s 1 -1 4\r\nabcd\r\n", {{}, "HMSG s 1 -1 4"}},
        {"HMSG total above the limit", "HMSG s 1 0 67108865\r\n", {{}, "HMSG s 1 0 67108865"}},
    };
}

TEST(NatsParser, GivesTheSameFramesForEverySplitOfTheStream) {
    for (const StreamCase& c : stream_cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse_whole(c.stream), c.expected);
        for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
            ASSERT_EQ(parse_in_pieces(c.stream, {cut}), c.expected) << "split at " << cut;
        }
        std::vector<size_t> every_byte;
        for (size_t cut = 1; cut < c.stream.size(); ++cut) every_byte.push_back(cut);
        EXPECT_EQ(parse_in_pieces(c.stream, every_byte), c.expected);
    }
}

TEST(NatsParser, AcceptsALineOfTheLimitAndRefusesOneByteMore) {
    const std::string longest(kMaxLineBytes, 'x');
    const std::string too_long = longest + "y";
    const Parsed accepted{{line_frame(FrameKind::other, longest), line_frame(FrameKind::ping, "PING")}, ""};
    const Parsed refused{{line_frame(FrameKind::ping, "PING")}, "line longer than 1048576 bytes"};
    // Splits inside the CR LF, just before it, and in receive-sized pieces.
    const std::vector<std::vector<size_t>> splits = {
        {}, {kMaxLineBytes}, {kMaxLineBytes + 1}, {65535, 131070, 1048575}, {1, kMaxLineBytes + 2}};
    for (const std::vector<size_t>& cuts : splits) {
        EXPECT_EQ(parse_in_pieces(longest + "\r\nPING\r\n", cuts), accepted);
        EXPECT_EQ(parse_in_pieces("PING\r\n" + too_long + "\r\n", cuts), refused);
        // Without any line end the refusal comes as soon as the limit is passed.
        EXPECT_EQ(parse_in_pieces("PING\r\n" + too_long, cuts), refused);
    }
    // A CR at the limit may still be the start of the line end.
    EXPECT_EQ(parse_in_pieces(longest + "\r", {}).error, "");
}

TEST(NatsParser, BuffersNoMoreThanOneLineWhateverThePeerSends) {
    NatsParser parser;
    std::vector<NatsFrame> frames;
    const std::string chunk(kReceiveChunkBytes, 'x');
    int calls = 0;
    while (parse_frames(parser, chunk, frames)) {
        ASSERT_LE(parser.line.size(), kMaxLineBytes + 1);
        ASSERT_LT(++calls, 100);
    }
    EXPECT_EQ(parser.error, "line longer than 1048576 bytes");
    EXPECT_TRUE(frames.empty());
    // A broken stream stays broken: nothing more is parsed or kept.
    EXPECT_FALSE(parse_frames(parser, "PING\r\n", frames));
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(parser.line.size(), 0u);

    // The largest count allowed reserves nothing ahead of the bytes that actually come.
    NatsParser announced;
    ASSERT_TRUE(parse_frames(announced, "MSG a 1 67108864\r\nab", frames));
    EXPECT_TRUE(awaiting_payload(announced));
    EXPECT_LT(announced.payload.capacity(), size_t{1024} * 1024);
}

TEST(NatsParser, RandomStreamsOfFramesAndGarbageParseAlikeInAnyPieces) {
    std::mt19937 random(20261210);
    const std::vector<std::string> pieces = {msg("drevik.mining.job", "1", "{\"height\":7}"),
                                             msg("s", "2", "a\r\nb"),
                                             "MSG s 3 r 2\r\nxy\r\n",
                                             "HMSG s 4 12 13\r\nNATS/1.0\r\n\r\nz\r\n",
                                             "PING\r\n",
                                             "PONG\r\n",
                                             "+OK\r\n",
                                             "-ERR 'x'\r\n",
                                             "INFO {}\r\n",
                                             "\r\n",
                                             "\n",
                                             "\r",
                                             "MSG",
                                             " ",
                                             "7",
                                             std::string("\x00\xff", 2),
                                             "MSG s 1 -3\r\n",
                                             std::string(300, 'z')};
    for (int round = 0; round < 200; ++round) {
        std::string stream;
        const int count = 1 + static_cast<int>(random() % 20);
        for (int i = 0; i < count; ++i) stream += pieces[random() % pieces.size()];
        const Parsed whole = parse_whole(stream);
        std::vector<size_t> cuts;
        for (size_t at = 1 + random() % 7; at < stream.size(); at += 1 + random() % 40) cuts.push_back(at);
        ASSERT_EQ(parse_in_pieces(stream, cuts), whole) << stream;
    }
}

}  // namespace
