#pragma once

#include <cstddef>
#include <string>

// The client id ends the heartbeat subject "drevik.monitor.heartbeat.<id>", so it must be one
// NATS subject token: 1 to kMaxClientIdBytes bytes, no white space, no '.', '*' or '>', no
// control characters. Longer ids would also push the PUB line past the server's control line
// limit.
inline constexpr size_t kMaxClientIdBytes = 128;

bool is_valid_client_id(const std::string& id);

// A valid id made from `name`: each byte that may not stand in a token becomes '_', the text is
// cut to the longest allowed length, and an empty name becomes "miner".
std::string sanitized_client_id(const std::string& name);

// The id used without --id: the host name, or when that is no valid id its sanitised form,
// announced by a warning on standard error.
std::string client_id_for_host(const std::string& host_name);
