#include "common/console_text.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleText, CutsAndEscapesWhatCouldForgeOrFloodALine) {
    const struct {
        std::string text;
        size_t max;
        std::string shown;
    } cases[] = {
        {"plain text", 100, "plain text"},
        {"p1\n[FORGED] FOUND", 100, "p1\\n[FORGED] FOUND"},
        {"a\r\tb\x01\x1b[31m\x7f", 100, "a\\r\\tb\\x01\\x1b[31m\\x7f"},
        {"back\\slash", 100, "back\\\\slash"},
        {"h\xc3\xa9llo", 100, "h\xc3\xa9llo"},  // UTF-8 passes
        {std::string(1000, 'x'), 300, std::string(300, 'x') + "..."},
        {"abc", 3, "abc"},
        {"abcd", 3, "abc..."},
        {std::string("a\0b", 3), 10, "a\\x00b"},
        {"", 5, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        EXPECT_EQ(console_text(c.text, c.max), c.shown);
    }
}

}  // namespace
