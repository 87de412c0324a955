#include "client_id.h"

#include <algorithm>

namespace {

bool allowed(char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    return c > ' ' && c != 0x7f && c != '.' && c != '*' && c != '>';
}

}  // namespace

bool is_valid_client_id(const std::string& id) {
    return !id.empty() && id.size() <= kMaxClientIdBytes && std::all_of(id.begin(), id.end(), allowed);
}

std::string sanitized_client_id(const std::string& name) {
    if (name.empty()) return "miner";
    std::string id = name.substr(0, kMaxClientIdBytes);
    for (char& c : id) {
        if (!allowed(c)) c = '_';
    }
    return id;
}
