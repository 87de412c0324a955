#pragma once

#include <cstdint>
#include <string_view>

// A decimal integer read the way strtoll reads one in base 10: leading white space, an optional
// sign, then digits; whatever follows the digits is ignored. The callers decide what no digits
// or a number out of range means to them.
struct LeadingDecimal {
    bool has_digits = false;
    bool in_range = true;
    // 0 without digits; out of range, the 64-bit limit on the number's side, as strtoll gives.
    int64_t value = 0;
};

LeadingDecimal read_leading_decimal(std::string_view text);
