#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The wire form of every message the miner sends: compact, keys in byte order (the object
// type is an ordered map), UTF-8 unescaped, invalid UTF-8 replaced by U+FFFD.
inline std::string compact_json(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
