#include "common/decimal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(LeadingDecimal, ReadsAsStrtollDoes) {
    const struct {
        std::string text;
        bool has_digits;
        bool in_range;
        int64_t value;
    } cases[] = {
        {"", false, true, 0},
        {"   ", false, true, 0},
        {"-", false, true, 0},
        {"+-5", false, true, 0},
        {"- 5", false, true, 0},
        {"abc12", false, true, 0},
        {std::string("\0 5", 3), false, true, 0},
        {"42", true, true, 42},
        {"+42", true, true, 42},
        {"-0", true, true, 0},
        {"0007", true, true, 7},
        {" \t\n\v\f\r-17", true, true, -17},
        {"12abc", true, true, 12},
        {"1 2", true, true, 1},
        {"3.9", true, true, 3},
        {"0x1f", true, true, 0},
        {"9223372036854775807", true, true, INT64_MAX},
        {"9223372036854775808", true, false, INT64_MAX},
        {"99999999999999999999999", true, false, INT64_MAX},
        {"-9223372036854775808", true, true, INT64_MIN},
        {"-9223372036854775809", true, false, INT64_MIN},
        {"-99999999999999999999999x", true, false, INT64_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const LeadingDecimal read = read_leading_decimal(c.text);
        EXPECT_EQ(read.has_digits, c.has_digits);
        EXPECT_EQ(read.in_range, c.in_range);
        EXPECT_EQ(read.value, c.value);
        EXPECT_EQ(read.value, std::strtoll(c.text.c_str(), nullptr, 10));
    }
}

}  // namespace
