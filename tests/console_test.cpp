#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/console.h"
#include "common/line_budget.h"
#include "common/unique_fd.h"

namespace {

constexpr int kThreads = 4;
constexpr int kLinesEach = 2000;

std::string numbered_line(int thread, int line) {
    char text[128];
    std::snprintf(text, sizeof text, "thread %d line %05d %s\n", thread, line, std::string(80, 'x').c_str());
    return text;
}

// Standard error into a pipe that nobody reads, as under a paused pager: no writer waits, what
// the queue cannot hold is dropped and counted, and once the pipe is read again one line says
// how many went missing, ahead of the next line. Every line arrives whole and in order.
TEST(Console, AStandardErrorThatTakesNothingBlocksNoWriter) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    fcntl(write_end.get(), F_SETPIPE_SZ, 4096);
    ASSERT_TRUE(console_flush(std::chrono::seconds(10)));
    const UniqueFd saved(dup(STDERR_FILENO));
    dup2(write_end.get(), STDERR_FILENO);
    const uint64_t dropped_before = console_dropped_lines();

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i) console_write(numbered_line(t, i));
        });
    }
    for (std::thread& writer : writers) writer.join();
    const uint64_t dropped = console_dropped_lines() - dropped_before;
    EXPECT_GT(dropped, 0u);
    EXPECT_FALSE(console_flush(std::chrono::milliseconds(100))) << "the pipe took everything";

    std::string text;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = read(read_end.get(), buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    });
    // Once the queue has room again, the next line is preceded by the count of those missing.
    EXPECT_TRUE(console_flush(std::chrono::seconds(30)));
    console_write("reading again\n");
    EXPECT_TRUE(console_flush(std::chrono::seconds(30)));
    dup2(saved.get(), STDERR_FILENO);
    write_end.reset();
    reader.join();

    const std::regex numbered(R"(thread (\d) line (\d{5}) x{80})");
    const std::regex report(R"(Console: (\d+) lines dropped while standard error was blocked)");
    std::vector<int> next(kThreads, 0);
    std::vector<std::string> others;
    uint64_t written = 0;
    uint64_t reported = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, report)) {
            reported += std::stoull(m[1]);
        } else if (std::regex_match(line, m, numbered)) {
            const int thread = std::stoi(m[1]);
            const int number = std::stoi(m[2]);
            EXPECT_GE(number, next[thread]) << "out of order: " << line;
            next[thread] = number + 1;
            ++written;
        } else {
            others.push_back(line);
        }
    }
    // Drops during the burst, while the writer still had room in the pipe, are reported
    // where the queue took lines again; the rest ahead of the line after the pipe was read.
    EXPECT_EQ(reported, dropped);
    EXPECT_EQ(written + dropped, uint64_t{kThreads} * kLinesEach);
    EXPECT_EQ(others, std::vector<std::string>{"reading again"});
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(lines dropped while standard error was blocked\nreading again\n$)")));
}

// A standard error whose reader has gone (a log collector that died) loses lines; it does not
// end the process with SIGPIPE.
TEST(Console, ABrokenPipeLosesLinesOnly) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    close(ends[0]);
    UniqueFd write_end(ends[1]);
    ASSERT_TRUE(console_flush(std::chrono::seconds(10)));
    const UniqueFd saved(dup(STDERR_FILENO));
    dup2(write_end.get(), STDERR_FILENO);
    console_write("into a broken pipe\n");
    EXPECT_TRUE(console_flush(std::chrono::seconds(10)));
    dup2(saved.get(), STDERR_FILENO);
}

// The first lines of a window are written, the rest counted; the count comes first with the
// next line after the window, or on its own once the window is over.
TEST(LineBudget, AFewLinesAWindowThenTheirCount) {
    using std::chrono::milliseconds;
    LineBudget budget("[NATS] Server error", milliseconds(1000));
    const LineBudget::Clock::time_point start{};
    const auto at = [&](int ms) { return start + milliseconds(ms); };
    const struct {
        int ms;
        bool write;
        uint64_t held_back;
    } lines[] = {
        {0, true, 0},    {1, true, 0},    {2, true, 0},    {3, true, 0},    {4, true, 0},
        {5, false, 0},   {999, false, 0}, {1000, true, 2}, {1001, true, 0},  // a new window, with the last one's count
        {5000, true, 0},                                                     // nothing was held back
    };
    for (const auto& line : lines) {
        const LineBudget::Verdict verdict = budget.take(at(line.ms));
        EXPECT_EQ(verdict.write, line.write) << line.ms;
        EXPECT_EQ(verdict.held_back, line.held_back) << line.ms;
    }
    for (int i = 0; i < 1000; ++i) budget.take(at(5100));
    EXPECT_EQ(budget.take_overdue(at(5999)), 0u) << "before the window is over";
    EXPECT_EQ(budget.take_overdue(at(6000)), 996u);
    EXPECT_EQ(budget.take_overdue(at(6001)), 0u) << "reported twice";
    EXPECT_EQ(budget.take(at(6002)).held_back, 0u);
    EXPECT_EQ(budget.held_back_text(996), "[NATS] Server error: 996 more not shown");
}

}  // namespace
