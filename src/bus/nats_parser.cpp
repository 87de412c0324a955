#include "bus/nats_parser.h"

#include <algorithm>

#include "common/console_text.h"

namespace {

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool fail(NatsParser& parser, std::string why) {
    parser.error = std::move(why);
    parser.line.clear();
    parser.msg.reset();
    parser.payload.clear();
    return false;
}

// The frame a whole control line makes, or, for a MSG header, the payload it announces.
bool take_line(NatsParser& parser, std::string line, std::vector<NatsFrame>& frames) {
    NatsFrame frame;
    const bool hmsg = starts_with(line, "HMSG ");
    if (hmsg || starts_with(line, "MSG ")) {
        std::optional<MsgHeader> header = hmsg ? parse_hmsg_line(line) : parse_msg_line(line);
        if (header) {
            const bool counts_fit = header->count >= 0 && header->count <= kMaxPayloadBytes &&
                                    (!hmsg || (header->header_count >= 0 && header->header_count <= header->count));
            if (!counts_fit) return fail(parser, console_text(line, 200));
            parser.msg = std::move(header);
            return true;
        }
    } else if (line == "PING") {
        frame.kind = FrameKind::ping;
    } else if (line == "PONG") {
        frame.kind = FrameKind::pong;
    } else if (starts_with(line, "+OK")) {
        frame.kind = FrameKind::ok;
    } else if (starts_with(line, "INFO ")) {
        frame.kind = FrameKind::info;
    } else if (starts_with(line, "-ERR")) {
        frame.kind = FrameKind::err;
    }
    frame.line = std::move(line);
    frames.push_back(std::move(frame));
    return true;
}

// Position of the LF that ends the pending line (a CR before it, maybe received earlier), or
// npos when `bytes` does not end it. A bare LF is part of the line.
size_t line_end(const NatsParser& parser, std::string_view bytes) {
    for (size_t lf = bytes.find('\n'); lf != std::string_view::npos; lf = bytes.find('\n', lf + 1)) {
        const char before = lf > 0 ? bytes[lf - 1] : (parser.line.empty() ? '\0' : parser.line.back());
        if (before == '\r') return lf;
    }
    return std::string_view::npos;
}

// Takes payload bytes from the front of `bytes`; a frame when the payload is complete.
void take_payload(NatsParser& parser, std::string_view& bytes, std::vector<NatsFrame>& frames) {
    const size_t whole = static_cast<size_t>(parser.msg->count) + 2;
    const size_t take = std::min(whole - parser.payload.size(), bytes.size());
    parser.payload.append(bytes.data(), take);
    bytes.remove_prefix(take);
    if (parser.payload.size() < whole) return;
    parser.payload.resize(whole - 2);
    NatsFrame frame;
    frame.kind = FrameKind::msg;
    frame.subject = std::move(parser.msg->subject);
    frame.sid = parser.msg->sid;
    frame.reply = std::move(parser.msg->reply);
    if (parser.msg->header_count > 0) {
        const size_t header_bytes = static_cast<size_t>(parser.msg->header_count);
        frame.headers = parser.payload.substr(0, header_bytes);
        parser.payload.erase(0, header_bytes);
    }
    frame.payload = std::move(parser.payload);
    frames.push_back(std::move(frame));
    parser.msg.reset();
    parser.payload = std::string();
}

}  // namespace

bool parse_frames(NatsParser& parser, std::string_view bytes, std::vector<NatsFrame>& frames) {
    if (!parser.error.empty()) return false;
    while (!bytes.empty()) {
        if (parser.msg) {
            take_payload(parser, bytes, frames);
            continue;
        }
        const size_t lf = line_end(parser, bytes);
        const bool ended = lf != std::string_view::npos;
        const size_t take = ended ? lf + 1 : bytes.size();
        // The line without its CR LF; unfinished, without a last CR that may start the CR LF.
        const size_t length = parser.line.size() + take - (ended ? 2 : (bytes[take - 1] == '\r' ? 1 : 0));
        if (length > kMaxLineBytes) return fail(parser, "line longer than " + std::to_string(kMaxLineBytes) + " bytes");
        parser.line.append(bytes.data(), take);
        bytes.remove_prefix(take);
        if (!ended) break;
        parser.line.resize(length);
        std::string line = std::move(parser.line);
        parser.line = std::string();
        if (!take_line(parser, std::move(line), frames)) return false;
    }
    return true;
}
