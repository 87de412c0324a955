#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "settings.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ConsoleLog, PrefixCarriesUtcTimeClientIdAndLevel) {
    g_settings.client_id = "rig-07";
    setenv("TZ", "America/New_York", 1);
    tzset();
    const std::time_t before = std::time(nullptr);
    testing::internal::CaptureStderr();
    log_line("INFO", "  %s=%d", "value", 42);
    log_line("DEBUG", "[h=%lld] Stale job (best=%lld), skipped", 100LL, 101LL);
    const std::string out = testing::internal::GetCapturedStderr();
    const std::time_t after = std::time(nullptr);

    const std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(out.back(), '\n');
    const std::regex first(R"(\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) UTC\]\[rig-07\]\[INFO\]   value=42)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, first)) << lines[0];
    EXPECT_EQ(lines[1].substr(25), "[rig-07][DEBUG] [h=100] Stale job (best=101), skipped");

    // The stamp is UTC whatever the local zone is.
    std::tm stamp{};
    ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
    const std::time_t logged = timegm(&stamp);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
    unsetenv("TZ");
    tzset();
}

TEST(ConsoleLog, ConcurrentLinesNeverInterleave) {
    g_settings.client_id = "c";
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(100, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) log_line("INFO", "%s", payload.c_str());
        });
    }
    for (std::thread& th : threads) th.join();
    const std::vector<std::string> lines = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex whole(R"(\[[^\]]+ UTC\]\[c\]\[INFO\] (a{100}|b{100}|c{100}|d{100}))");
    for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

}  // namespace
