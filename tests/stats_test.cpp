#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "stats.h"

namespace {

TEST(StatsTicks, HeartbeatEveryTenTicksReportEveryInterval) {
    StatsTicks ticks;
    std::vector<int> heartbeats;
    std::vector<int> reports;
    for (int tick = 1; tick <= 60; ++tick) {
        const TickDue due = advance_tick(ticks, 60);
        if (due.heartbeat) heartbeats.push_back(tick);
        if (due.report) reports.push_back(tick);
    }
    EXPECT_EQ(heartbeats, (std::vector<int>{10, 20, 30, 40, 50, 60}));
    EXPECT_EQ(reports, std::vector<int>{60});

    for (const int32_t interval : {1, 0, -5}) {
        StatsTicks t;
        for (int tick = 1; tick <= 3; ++tick) EXPECT_TRUE(advance_tick(t, interval).report) << interval;
    }
}

TEST(Heartbeat, ExactBytes) {
    MinerSettings settings;
    settings.client_id = "rig1";
    const HeartbeatCounts counts{12, 0, 0, 3};
    GpuRate failed{0, "GPU-A", 1234.5678, {}, 3, DeviceState::failed};
    EXPECT_EQ(heartbeat_text(settings, {failed}, counts),
              R"({"client_id":"rig1","found_session":0,"gpus":[{"fan_pct":0,"hw_errors":3,"index":0,)"
              R"("mem_total_mb":0,"mem_used_mb":0,"name":"GPU-A","power_w":0,"state":"failed","temp_c":0,)"
              R"("util_pct":0}],"hashrate_mhs":1234.57,)"
              R"("hostname":"rig1","jobs_received":3,"shares_session":0,"uptime_seconds":12,"version":"3.0.0",)"
              R"("wallet":""})");

    settings.wallet = "W";
    EXPECT_EQ(heartbeat_text(settings, {}, {5, 1, 2, 3}),
              R"({"client_id":"rig1","found_session":1,"gpus":[],"hashrate_mhs":0.0,"hostname":"rig1",)"
              R"("jobs_received":3,"shares_session":2,"uptime_seconds":5,"version":"3.0.0","wallet":"W"})");

    // Two GPUs: only the total carries the rates, rounded half away from zero.
    GpuRate b;
    b.device = 1;
    b.name = "B";
    b.mhs = 0.125;
    GpuRate a;
    a.name = "A";
    const std::string two = heartbeat_text(settings, {b, a}, {});
    EXPECT_NE(two.find(R"("hashrate_mhs":0.13)"), std::string::npos) << two;
    EXPECT_LT(two.find(R"("index":1)"), two.find(R"("index":0)"));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(StatsFile, ReplacedWholeAndPlantedSymlinkIsNotFollowed) {
    char dir_template[] = "/tmp/drevik-stats-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string path = dir + "/stats.json";
    const std::string victim = dir + "/victim";
    { std::ofstream(victim) << "precious"; }
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);

    ASSERT_TRUE(write_stats_file(path, "{\"a\":1}"));
    EXPECT_EQ(read_file(path), "{\"a\":1}");
    EXPECT_EQ(read_file(victim), "precious");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    ASSERT_TRUE(write_stats_file(path, "{}"));
    EXPECT_EQ(read_file(path), "{}");
    EXPECT_FALSE(write_stats_file(dir + "/missing/stats.json", "{}"));

    unlink(path.c_str());
    unlink(victim.c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "temporary files were left behind";
}

TEST(Heartbeat, SentThroughThePublisherAndWrittenToTheStatsFile) {
    char dir_template[] = "/tmp/drevik-stats-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    MinerSettings settings;
    settings.client_id = "rig1";
    settings.stats_file = std::string(dir_template) + "/stats.json";
    MinerState state;
    state.start_time = steady_seconds() - 30.0;  // uptime 30 s, unless a second passes before the send
    state.jobs_found = 2;
    state.shares_sent = 5;
    state.jobs_received = 9;
    std::vector<std::pair<std::string, std::string>> sent;
    const MinerEnv env{
        state,
        settings,
        {[&sent](const std::string& subject, const std::string& payload) { sent.emplace_back(subject, payload); },
         nullptr}};
    send_heartbeat(env);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, "drevik.monitor.heartbeat.rig1");
    EXPECT_EQ(sent[0].second, heartbeat_text(settings, {}, {30, 2, 5, 9}));
    EXPECT_EQ(read_file(settings.stats_file), sent[0].second);
    unlink(settings.stats_file.c_str());
    EXPECT_EQ(rmdir(dir_template), 0);
}

TEST(StatsReport, RowsInOrder) {
    MinerSettings settings;
    MinerState state;
    state.start_time = steady_seconds() - 7200.0;
    for (const int32_t device : {1, 0}) {
        GpuSlot slot;
        slot.device = device;
        slot.info.name = device == 1 ? "GPU-B" : "GPU-A";
        state.gpus.push_back(std::move(slot));
    }
    state.jobs_received = 20;
    state.jobs_found = 3;
    state.jobs_cancelled = 1;
    state.jobs_skipped = 4;
    state.shares_sent = 41;
    LogCapture log;
    print_report(state);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO --------------------------------------------",
                               "INFO STATS (uptime 2.0h)",
                               "INFO   GPU 1: GPU-B | 0.0 MH/s | 0C 0W | hw_errors=0 | idle",
                               "INFO   GPU 0: GPU-A | 0.0 MH/s | 0C 0W | hw_errors=0 | idle",
                               "INFO   Total: 0.0 MH/s",
                               "INFO   Jobs: recv=20 found=3 cancel=1 skip=4 shares=41",
                               "INFO   Rate: 10.0 jobs/h | 1.50 found/h | 20.5 shares/h",
                               "INFO   Share divisor: 4096 (default)",
                               "INFO   NATS: disconnected ()",
                               "INFO --------------------------------------------",
                           }));

    state.share_divisor = 1000;
    LogCapture again;
    print_report(state);
    EXPECT_EQ(again.lines()[7], "INFO   Share divisor: 1000 (dynamic)");
}

}  // namespace
