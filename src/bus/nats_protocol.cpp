#include "bus/nats_protocol.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

int64_t leading_decimal(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int64_t>(value);
}

std::vector<std::string> split_whitespace(const std::string& line) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    for (;;) {
        while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        if (pos == line.size()) return tokens;
        const size_t start = pos;
        while (pos < line.size() && !std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        tokens.push_back(line.substr(start, pos - start));
    }
}

}  // namespace

std::optional<ServerAddress> parse_server_entry(const std::string& entry) {
    std::string rest = entry;
    const size_t scheme_end = rest.find("://");
    if (scheme_end != std::string::npos) rest.erase(0, scheme_end + 3);

    ServerAddress address;
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
        address.host = rest;
        address.port = 4222;
    } else {
        address.host = rest.substr(0, colon);
        const int64_t port = leading_decimal(rest.substr(colon + 1));
        // A port outside the TCP range is unusable rather than wrapped into it by the resolver.
        if (port < 1 || port > 65535) return std::nullopt;
        address.port = static_cast<int32_t>(port);
    }
    if (address.host.empty() || address.port <= 0) return std::nullopt;
    return address;
}

std::optional<MsgHeader> parse_msg_line(const std::string& line) {
    const std::vector<std::string> tokens = split_whitespace(line);
    if (tokens.size() < 4) return std::nullopt;
    MsgHeader header;
    header.subject = tokens[1];
    header.sid = leading_decimal(tokens[2]);
    header.count = leading_decimal(tokens.back());
    return header;
}

std::string server_key(const ServerAddress& address) {
    return address.host + ":" + std::to_string(address.port);
}

ServerInfo parse_info_line(const std::string& line) {
    ServerInfo info;
    if (line.rfind("INFO ", 0) != 0) return info;
    const nlohmann::json json = nlohmann::json::parse(line.begin() + 5, line.end(), nullptr, false);
    if (!json.is_object()) return info;
    const auto max_payload = json.find("max_payload");
    if (max_payload != json.end() && max_payload->is_number_integer() && max_payload->get<int64_t>() > 0) {
        info.max_payload = max_payload->get<int64_t>();
    }
    const auto urls = json.find("connect_urls");
    if (urls != json.end() && urls->is_array()) {
        std::vector<std::string> list;
        for (const nlohmann::json& url : *urls) {
            if (url.is_string()) list.push_back(url.get<std::string>());
        }
        info.connect_urls = std::move(list);
    }
    return info;
}

std::string connect_line(const std::string& client_name) {
    return "CONNECT {\"verbose\":false,\"pedantic\":false,\"name\":\"" + client_name + "\"}\r\n";
}

std::string sub_line(const std::string& subject, int32_t sid) {
    return "SUB " + subject + " " + std::to_string(sid) + "\r\n";
}

std::string pub_text(const std::string& subject, const std::string& payload) {
    return pub_text(subject, "", payload);
}

std::string pub_text(const std::string& subject, const std::string& reply, const std::string& payload) {
    std::string text = "PUB " + subject + " ";
    if (!reply.empty()) text += reply + " ";
    text += std::to_string(payload.size()) + "\r\n";
    text.reserve(text.size() + payload.size() + 2);
    text += payload;
    text += "\r\n";
    return text;
}
