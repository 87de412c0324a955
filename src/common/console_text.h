#pragma once

#include <cstddef>
#include <string>

// Text from the network on its way to the console: cut to `max_bytes` (then "..." follows) and
// with control characters and backslashes escaped, so it can neither flood the console nor
// start a line of its own.
std::string console_text(const std::string& text, size_t max_bytes);
