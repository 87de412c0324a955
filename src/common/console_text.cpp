#include "common/console_text.h"

#include <cstdio>

std::string console_text(const std::string& text, size_t max_bytes) {
    const bool cut = text.size() > max_bytes;
    const size_t length = cut ? max_bytes : text.size();
    std::string out;
    out.reserve(length + 8);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (cut) out += "...";
    return out;
}
