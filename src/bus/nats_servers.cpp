#include "bus/nats_servers.h"

#include <algorithm>
#include <optional>

#include "bus/nats_protocol.h"

namespace {

bool plain_text(const std::string& url) {
    if (url.empty() || url.size() > 255) return false;
    return std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 127; });
}

size_t after_scheme(const std::string& entry) {
    const size_t scheme_end = entry.find("://");
    return scheme_end == std::string::npos ? 0 : scheme_end + 3;
}

bool has_scheme(const std::string& entry) { return after_scheme(entry) > 0; }

bool has_userinfo(const std::string& entry) {
    const size_t at = entry.rfind('@');
    return at != std::string::npos && at >= after_scheme(entry);
}

// A piece before such a cut: its scheme and user stay, the rest is the secret's start.
std::string cut_secret_head(const std::string& piece) {
    const size_t start = after_scheme(piece);
    if (start == 0) return "***";
    const size_t colon = piece.find(':', start);
    return piece.substr(0, colon == std::string::npos ? start : colon + 1) + "***";
}

std::string key_of(const std::string& entry) {
    const std::optional<ServerAddress> address = parse_server_entry(entry);
    return address ? server_key(*address) : std::string();
}

}  // namespace

ServerList make_server_list(std::vector<std::string> given) {
    ServerList list;
    list.given = given.size();
    list.entries = std::move(given);
    return list;
}

std::vector<std::string> update_discovered(ServerList& list, const std::vector<std::string>& urls) {
    const std::vector<std::string> before(list.entries.begin() + static_cast<std::ptrdiff_t>(list.given),
                                          list.entries.end());
    list.entries.resize(list.given);
    std::vector<std::string> added;
    for (const std::string& url : urls) {
        if (list.entries.size() - list.given >= kMaxDiscoveredServers) break;
        if (!plain_text(url)) continue;
        const std::string key = key_of(url);
        if (key.empty() || find_server(list, key) < list.entries.size()) continue;
        list.entries.push_back(url);
        if (std::find(before.begin(), before.end(), url) == before.end()) added.push_back(url);
    }
    return added;
}

size_t find_server(const ServerList& list, const std::string& key) {
    for (size_t i = 0; i < list.entries.size(); ++i) {
        if (key_of(list.entries[i]) == key) return i;
    }
    return list.entries.size();
}

std::vector<std::string> masked_server_list(const std::vector<std::string>& entries) {
    std::vector<std::string> shown;
    shown.reserve(entries.size());
    for (const std::string& entry : entries) shown.push_back(masked_server_entry(entry));
    for (size_t i = 1; i < entries.size(); ++i) {
        if (has_scheme(entries[i]) || !has_userinfo(entries[i]) || has_userinfo(entries[i - 1])) continue;
        shown[i] = "***" + entries[i].substr(entries[i].rfind('@'));
        // Back to the piece the entry began with, the one with a scheme; without one, as far
        // as the pieces go that could be part of the secret.
        for (size_t j = i; j-- > 0 && !has_userinfo(entries[j]);) {
            shown[j] = cut_secret_head(entries[j]);
            if (has_scheme(entries[j])) break;
        }
    }
    return shown;
}
