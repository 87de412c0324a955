#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The NATS text protocol subset the miner speaks, as pure functions over plain values.

// Largest payload a MSG line may announce. NATS servers cap max_payload at 64 MiB, so a larger
// count can only come from a broken or hostile peer.
inline constexpr int64_t kMaxPayloadBytes = 64LL * 1024 * 1024;
// Longest pending line without CR LF before the peer is treated as broken.
inline constexpr size_t kMaxLineBytes = size_t{1024} * 1024;
// One receive reads at most this many bytes.
inline constexpr size_t kReceiveChunkBytes = 65535;

// Credentials from a server entry, percent-decoded: "user:password@" or "token@".
struct ServerCredentials {
    std::string user, password, token;
    bool has_user = false;  // a user, maybe with an empty password; otherwise maybe a token
    bool empty() const { return !has_user && token.empty(); }
};

struct ServerAddress {
    std::string host;
    int32_t port = 0;
    bool tls = false;  // the scheme was "tls": never a plain-text connection
    ServerCredentials credentials;
};

// Interprets one server list entry: an optional "scheme://" prefix is taken off ("tls" asks
// for TLS), then an optional "userinfo@" up to the last '@', then the text is split at its
// last ':' (no ':' means port 4222), or after the ']' of an IPv6 literal in brackets. Returns
// nothing for an empty host or a port outside 1-65535.
std::optional<ServerAddress> parse_server_entry(const std::string& entry);

// The entry as it may be shown: a password or token is replaced by "***".
std::string masked_server_entry(const std::string& entry);

// "user:password@" or "token@" percent-encoded for an entry; empty without credentials.
std::string userinfo_text(const ServerCredentials& credentials);

// "%XX" sequences decoded; a '%' not followed by two hex digits stays as it is.
std::string percent_decoded(const std::string& text);

struct MsgHeader {
    std::string subject;
    int64_t sid = 0;
    std::string reply;  // empty without one
    int64_t count = 0;  // may be negative or huge: the caller checks it against kMaxPayloadBytes
    // HMSG only: the bytes of the header block at the start of the `count` bytes; -1 for MSG.
    int64_t header_count = -1;
};

// Parses "MSG <subject> <sid> [reply] <count>". Returns nothing with fewer than four tokens; the
// reply is the fourth token of a longer line.
// Numbers are read like strtol: leading digits only, none gives 0.
std::optional<MsgHeader> parse_msg_line(const std::string& line);
// Parses "HMSG <subject> <sid> [reply] <header count> <total count>" the same way; nothing with
// fewer than five tokens.
std::optional<MsgHeader> parse_hmsg_line(const std::string& line);

// The status code a header block carries on its first line ("NATS/1.0 503" gives 503); 0 when
// it carries none.
int header_status(std::string_view headers);

// "host:port" of a usable entry ("[host]:port" for an IPv6 address): two entries with the same
// key name the same server.
std::string server_key(const ServerAddress& address);

// What the miner uses of a server's INFO line. Members the line lacks, or holds in a form that
// cannot be trusted, stay empty.
struct ServerInfo {
    std::optional<int64_t> max_payload;                    // positive
    std::optional<std::vector<std::string>> connect_urls;  // as announced, possibly empty
    bool tls_required = false;
    bool tls_available = false;  // TLS offered, plain text allowed too
    bool auth_required = false;
    bool headers = false;  // HPUB and HMSG understood
};
ServerInfo parse_info_line(const std::string& line);

std::string connect_line(const std::string& client_name);
// With the credentials of the entry and, on a TLS link, "tls_required" as the standard clients
// send it. Without either it is the plain line above.
std::string connect_line(const std::string& client_name, const ServerCredentials& credentials, bool tls);
std::string sub_line(const std::string& subject, int32_t sid);
// The header block with the one header a stream uses to store a message once: "Nats-Msg-Id".
// A server's max_payload counts it with the payload.
std::string msg_id_headers(const std::string& msg_id);
// A publish with those headers and a reply subject for the stream's acknowledgement.
std::string hpub_text(const std::string& subject, const std::string& reply, const std::string& msg_id,
                      const std::string& payload);
std::string pub_text(const std::string& subject, const std::string& payload);
// A publish that asks for an answer on `reply`.
std::string pub_text(const std::string& subject, const std::string& reply, const std::string& payload);
