#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The servers the client tries: the operator's entries in their order, then the ones the
// cluster announced in INFO "connect_urls", the way the standard NATS clients extend their list.
struct ServerList {
    std::vector<std::string> entries;  // the operator's first, then the discovered ones
    size_t given = 0;                  // how many entries the operator gave
};

// At most this many discovered entries are kept: a hostile INFO cannot grow the list at will.
inline constexpr size_t kMaxDiscoveredServers = 64;

ServerList make_server_list(std::vector<std::string> given);

// Replaces the discovered part with the usable `urls` that name no server already listed, in
// their order; a URL with bytes outside printable ASCII or longer than 255 bytes is ignored.
// Returns the entries that were not listed before.
std::vector<std::string> update_discovered(ServerList& list, const std::vector<std::string>& urls);

// Index of the entry that names the server `key` ("host:port"); entries.size() when none does.
size_t find_server(const ServerList& list, const std::string& key);

// The entries as the console may show them, each secret masked (masked_server_entry), also
// where a comma in a secret that was not percent-encoded cut an entry in two: the piece after
// the comma then has the '@' and no scheme, and nothing of the secret before that '@' is
// shown, in whichever pieces it fell.
std::vector<std::string> masked_server_list(const std::vector<std::string>& entries);
