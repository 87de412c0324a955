#include "config/client_id.h"

#include <algorithm>
#include <cstdio>

#include "common/console_text.h"
#include "common/console.h"

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

std::string client_id_for_host(const std::string& host_name) {
    if (is_valid_client_id(host_name)) return host_name;
    std::string id = sanitized_client_id(host_name);
    console_print("WARNING: host name \"%s\" is no valid client id, using \"%s\" (set one with --id)\n",
                  console_text(host_name, 300).c_str(), id.c_str());
    return id;
}
