#include "common/decimal.h"

namespace {

// The C locale's white space, which strtoll skips.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

LeadingDecimal read_leading_decimal(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && is_space(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    LeadingDecimal read;
    // The magnitude of INT64_MIN is one more than INT64_MAX's.
    const uint64_t limit = static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0);
    uint64_t magnitude = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) {
        read.has_digits = true;
        const auto digit = static_cast<uint64_t>(text[at] - '0');
        if (magnitude > (limit - digit) / 10) {
            read.in_range = false;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (!read.in_range) {
        read.value = negative ? INT64_MIN : INT64_MAX;
    } else if (negative) {
        read.value = magnitude == limit ? INT64_MIN : -static_cast<int64_t>(magnitude);
    } else {
        read.value = static_cast<int64_t>(magnitude);
    }
    return read;
}
