#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/console.h"
#include "common/unique_fd.h"
#include "log_capture.h"
#include "common/log.h"
#include "support/console_capture.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ConsoleLog, PrefixCarriesUtcTimeClientIdAndLevel) {
    set_log_client_id("rig-07");
    setenv("TZ", "America/New_York", 1);  // NOLINT(concurrency-mt-unsafe): no other thread runs
    tzset();
    // The log's own clock: std::time() reads a coarser one that can lag a second boundary behind.
    const std::time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    capture_console();
    log_line("INFO", "  %s=%d", "value", 42);
    log_line("DEBUG", "[h=%lld] Stale job (best=%lld), skipped", 100LL, 101LL);
    const std::string out = captured_console();
    const std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

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
    unsetenv("TZ");  // NOLINT(concurrency-mt-unsafe): no other thread runs
    tzset();
}

TEST(ConsoleLog, ConcurrentLinesNeverInterleave) {
    set_log_client_id("c");
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    capture_console();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(100, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) log_line("INFO", "%s", payload.c_str());
        });
    }
    for (std::thread& th : threads) th.join();
    const std::vector<std::string> lines = lines_of(captured_console());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex whole(R"(\[[^\]]+ UTC\]\[c\]\[INFO\] (a{100}|b{100}|c{100}|d{100}))");
    for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

// A cause that repeats itself gets its first lines of a window logged; the rest are counted,
// and the count is logged at the same level once the window is over.
TEST(ConsoleLog, LinesOfOneCauseBeyondTheirBudgetAreCounted) {
    set_log_client_id("c");
    LogBudget budget("WARN", "GPU hardware error", std::chrono::milliseconds(1000));
    LogCapture log;
    for (int i = 0; i < 8; ++i) log_within(budget, "GPU 0 hardware error: %d", i);
    log_held_back(budget);  // the window is not over: nothing yet
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log_held_back(budget);
    log_held_back(budget);
    log_within(budget, "GPU 0 hardware error: %d", 8);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"WARN GPU 0 hardware error: 0", "WARN GPU 0 hardware error: 1",
                                        "WARN GPU 0 hardware error: 2", "WARN GPU 0 hardware error: 3",
                                        "WARN GPU 0 hardware error: 4", "WARN GPU hardware error: 3 more not shown",
                                        "WARN GPU 0 hardware error: 8"}));
}

// Standard error is made a sequenced-packet socket, which delivers every write(2) as one
// message: a message that is not exactly one whole line is a line written in pieces or two
// lines sharing a write. Log lines, bus lines and CUDA error lines race from many threads,
// some longer than a pipe's atomic write size.
TEST(ConsoleLog, EveryConsoleLineLeavesInOneWrite) {
    set_log_client_id("rig");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    UniqueFd written_end(pair[0]);
    const UniqueFd read_end(pair[1]);
    UniqueFd saved_stderr(dup(STDERR_FILENO));
    ASSERT_TRUE(saved_stderr);
    ASSERT_EQ(dup2(written_end.get(), STDERR_FILENO), STDERR_FILENO);
    written_end.reset();  // standard error is the only writer now

    std::vector<std::string> messages;
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const ssize_t n = recv(read_end.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0) return;
            messages.emplace_back(buffer.data(), static_cast<size_t>(n));
        }
    });

    constexpr int kThreads = 8;
    constexpr int kRounds = 150;
    const std::string long_text(6000, 'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                log_line("INFO", "[h=%d] Mining on %d GPU(s)...", i, t);
                console_print("[NATS] Connected: 127.0.0.1:%d\n", 4000 + t);
                console_print("CUDA error src/gpu_miner:%d: %s\n", 42, "invalid argument");
                if (i % 10 == 0) log_line("ERROR", "Job parse error: %s", long_text.c_str());
                // Within what the console's queue holds: a line dropped would miss below.
                console_flush(std::chrono::seconds(10));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    dup2(saved_stderr.get(), STDERR_FILENO);
    saved_stderr.reset();
    reader.join();

    const std::vector<std::pair<std::string, std::regex>> kinds = {
        {"log", std::regex(R"(\[[^\]]+ UTC\]\[rig\]\[INFO\] \[h=\d+\] Mining on \d GPU\(s\)\.\.\.\n)")},
        {"long", std::regex(R"(\[[^\]]+ UTC\]\[rig\]\[ERROR\] Job parse error: x{6000}\n)")},
        {"nats", std::regex(R"(\[NATS\] Connected: 127\.0\.0\.1:400\d\n)")},
        {"cuda", std::regex(R"(CUDA error src/gpu_miner:42: invalid argument\n)")},
    };
    std::map<std::string, int> counts;
    for (const std::string& message : messages) {
        bool matched = false;
        for (const auto& [kind, pattern] : kinds) {
            if (std::regex_match(message, pattern)) {
                ++counts[kind];
                matched = true;
                break;
            }
        }
        ASSERT_TRUE(matched) << "not one whole line: " << message.substr(0, 200);
    }
    EXPECT_EQ(counts["log"], kThreads * kRounds);
    EXPECT_EQ(counts["nats"], kThreads * kRounds);
    EXPECT_EQ(counts["cuda"], kThreads * kRounds);
    EXPECT_EQ(counts["long"], kThreads * kRounds / 10);
}

// A line written to standard error by any other means could split the console's lines again.
TEST(ConsoleLog, OnlyTheConsoleWritesToStandardError) {
    const std::regex direct(R"(\bstderr\b|std::cerr|STDERR_FILENO|std::clog|\bperror\s*\()");
    std::vector<std::string> offenders;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(DREVIK_SOURCE_DIR "/src")) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.size() < 3 || path.find("/src/common/console.") != std::string::npos)
            continue;
        std::ifstream in(path);
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (std::regex_search(line, direct)) offenders.push_back(path + ":" + std::to_string(number) + ": " + line);
        }
    }
    EXPECT_TRUE(offenders.empty()) << ::testing::PrintToString(offenders);
}

}  // namespace
