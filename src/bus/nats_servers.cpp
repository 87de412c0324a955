#include "bus/nats_servers.h"

#include <algorithm>
#include <optional>

#include "bus/nats_protocol.h"

namespace {

bool plain_text(const std::string& url) {
    if (url.empty() || url.size() > 255) return false;
    return std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 127; });
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
