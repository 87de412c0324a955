#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/console_capture.h"

// Captures standard error and yields the logged lines as "LEVEL message", time stamp and
// client id stripped; lines that do not come from the console log are kept whole.
class LogCapture {
public:
    LogCapture() { capture_console(); }
    ~LogCapture() {
        if (!taken_) captured_console();
    }
    std::vector<std::string> lines() {
        taken_ = true;
        std::vector<std::string> out;
        std::istringstream in(captured_console());
        static const std::regex logged(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\]\[[^\]]*\]\[([A-Z]+)\] (.*)$)");
        std::smatch m;
        for (std::string line; std::getline(in, line);) {
            out.push_back(std::regex_match(line, m, logged) ? m[1].str() + " " + m[2].str() : line);
        }
        return out;
    }

private:
    bool taken_ = false;
};
