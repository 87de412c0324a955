#include "bus/nats_protocol.h"

#include <cctype>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/decimal.h"
#include "common/json_text.h"

namespace {

// No digits read as 0; out of range, as the nearest 64-bit limit.
int64_t leading_decimal(const std::string& text) { return read_leading_decimal(text).value; }

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

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

ServerCredentials parse_credentials(const std::string& userinfo) {
    ServerCredentials credentials;
    const size_t colon = userinfo.find(':');
    if (colon == std::string::npos) {
        credentials.token = percent_decoded(userinfo);
    } else {
        credentials.has_user = true;
        credentials.user = percent_decoded(userinfo.substr(0, colon));
        credentials.password = percent_decoded(userinfo.substr(colon + 1));
    }
    return credentials;
}

}  // namespace

std::string percent_decoded(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

namespace {

std::string percent_encoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

}  // namespace

std::string userinfo_text(const ServerCredentials& credentials) {
    if (credentials.has_user)
        return percent_encoded(credentials.user) + ":" + percent_encoded(credentials.password) + "@";
    if (!credentials.token.empty()) return percent_encoded(credentials.token) + "@";
    return "";
}

std::string masked_server_entry(const std::string& entry) {
    const size_t scheme_end = entry.find("://");
    const size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    const size_t at = entry.rfind('@');
    if (at == std::string::npos || at < start) return entry;
    const size_t colon = entry.find(':', start);
    const size_t secret_from = colon != std::string::npos && colon < at ? colon + 1 : start;
    return entry.substr(0, secret_from) + "***" + entry.substr(at);
}

std::optional<ServerAddress> parse_server_entry(const std::string& entry) {
    std::string rest = entry;
    ServerAddress address;
    const size_t scheme_end = rest.find("://");
    if (scheme_end != std::string::npos) {
        address.tls = lowercase(rest.substr(0, scheme_end)) == "tls";
        rest.erase(0, scheme_end + 3);
    }
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        address.credentials = parse_credentials(rest.substr(0, at));
        rest.erase(0, at + 1);
    }
    // An IPv6 literal in brackets, as URLs and connect_urls write one: the port follows the ']'.
    size_t colon = rest.rfind(':');
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || (close + 1 < rest.size() && rest[close + 1] != ':')) return std::nullopt;
        address.host = rest.substr(1, close - 1);
        colon = close + 1 < rest.size() ? close + 1 : std::string::npos;
    } else {
        address.host = rest.substr(0, colon);
    }
    address.port = 4222;
    if (colon != std::string::npos) {
        const int64_t port = leading_decimal(rest.substr(colon + 1));
        // A port outside the TCP range is unusable rather than wrapped into it by the resolver.
        if (port < 1 || port > 65535) return std::nullopt;
        address.port = static_cast<int32_t>(port);
    }
    if (address.host.empty()) return std::nullopt;
    return address;
}

namespace {

// MSG and HMSG alike: subject, sid, an optional reply, then `counts` numbers, the last the total.
std::optional<MsgHeader> parse_delivery_line(const std::string& line, size_t counts) {
    const std::vector<std::string> tokens = split_whitespace(line);
    if (tokens.size() < 3 + counts) return std::nullopt;
    MsgHeader header;
    header.subject = tokens[1];
    header.sid = leading_decimal(tokens[2]);
    if (tokens.size() > 3 + counts) header.reply = tokens[3];
    if (counts == 2) header.header_count = leading_decimal(tokens[tokens.size() - 2]);
    header.count = leading_decimal(tokens.back());
    return header;
}

}  // namespace

std::optional<MsgHeader> parse_msg_line(const std::string& line) { return parse_delivery_line(line, 1); }

std::optional<MsgHeader> parse_hmsg_line(const std::string& line) { return parse_delivery_line(line, 2); }

int header_status(std::string_view headers) {
    static constexpr std::string_view kVersion = "NATS/1.0";
    if (headers.substr(0, kVersion.size()) != kVersion) return 0;
    const std::string_view first = headers.substr(kVersion.size(), headers.find('\r') - kVersion.size());
    size_t at = first.find_first_not_of(' ');
    int status = 0;
    int digits = 0;
    for (; at < first.size() && digits < 3 && first[at] >= '0' && first[at] <= '9'; ++at, ++digits) {
        status = status * 10 + (first[at] - '0');
    }
    return digits == 3 ? status : 0;
}

std::string server_key(const ServerAddress& address) {
    const bool ipv6 = address.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
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
    const auto flag = [&](const char* key) {
        const auto value = json.find(key);
        return value != json.end() && value->is_boolean() && value->get<bool>();
    };
    info.tls_required = flag("tls_required");
    info.tls_available = flag("tls_available");
    info.auth_required = flag("auth_required");
    info.headers = flag("headers");
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

namespace {

// Headers let a stream deduplicate results by their id; no_responders makes the server say at
// once when nobody, not even a stream, takes a message sent with a reply subject.
std::string connect_start(const std::string& client_name) {
    return "CONNECT {\"verbose\":false,\"pedantic\":false,\"name\":\"" + client_name +
           "\",\"headers\":true,\"no_responders\":true";
}

}  // namespace

std::string connect_line(const std::string& client_name) { return connect_start(client_name) + "}\r\n"; }

std::string connect_line(const std::string& client_name, const ServerCredentials& credentials, bool tls) {
    std::string line = connect_start(client_name);
    if (tls) line += ",\"tls_required\":true";
    // compact_json replaces a stray byte rather than refusing it: the CONNECT line never throws.
    if (credentials.has_user) {
        line += ",\"user\":" + compact_json(credentials.user) + ",\"pass\":" + compact_json(credentials.password);
    } else if (!credentials.token.empty()) {
        line += ",\"auth_token\":" + compact_json(credentials.token);
    }
    return line + "}\r\n";
}

std::string sub_line(const std::string& subject, int32_t sid) {
    return "SUB " + subject + " " + std::to_string(sid) + "\r\n";
}

std::string msg_id_headers(const std::string& msg_id) { return "NATS/1.0\r\nNats-Msg-Id: " + msg_id + "\r\n\r\n"; }

std::string hpub_text(const std::string& subject, const std::string& reply, const std::string& msg_id,
                      const std::string& payload) {
    const std::string headers = msg_id_headers(msg_id);
    std::string text = "HPUB " + subject + " " + reply + " " + std::to_string(headers.size()) + " " +
                       std::to_string(headers.size() + payload.size()) + "\r\n";
    text.reserve(text.size() + headers.size() + payload.size() + 2);
    text += headers;
    text += payload;
    text += "\r\n";
    return text;
}

std::string pub_text(const std::string& subject, const std::string& payload) { return pub_text(subject, "", payload); }

std::string pub_text(const std::string& subject, const std::string& reply, const std::string& payload) {
    std::string text = "PUB " + subject + " ";
    if (!reply.empty()) text += reply + " ";
    text += std::to_string(payload.size()) + "\r\n";
    text.reserve(text.size() + payload.size() + 2);
    text += payload;
    text += "\r\n";
    return text;
}
