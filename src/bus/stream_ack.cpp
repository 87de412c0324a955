#include "bus/stream_ack.h"

#include <nlohmann/json.hpp>

#include "common/console_text.h"
#include "bus/nats_protocol.h"

StreamAck parse_stream_ack(const std::string& headers, const std::string& payload) {
    const int status = header_status(headers);
    if (status == 503) return {AckKind::no_responders, ""};
    if (status != 0) return {AckKind::refused, "status " + std::to_string(status)};
    const nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    if (!json.is_object()) return {};
    const auto error = json.find("error");
    if (error != json.end()) {
        const auto description = error->is_object() ? error->find("description") : error->end();
        const std::string text = description != error->end() && description->is_string()
                                     ? description->get<std::string>()
                                     : error->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return {AckKind::refused, console_text(text, 200)};
    }
    const auto stream = json.find("stream");
    const auto seq = json.find("seq");
    if (stream != json.end() && stream->is_string() && seq != json.end() && seq->is_number_unsigned() &&
        seq->get<uint64_t>() > 0) {
        return {AckKind::stored, ""};
    }
    return {};
}
