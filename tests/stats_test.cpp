#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "log_capture.h"
#include "monitor/stats.h"
#include "monitor/stats_file.h"

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

// A scratch directory, removed with what is left in it.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/drevik-stats-test.XXXXXX";
        if (mkdtemp(name) != nullptr) path = name;
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string path;
};

bool make_socket(const std::string& path) {
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return fd && bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// What the rename would replace, or a directory that cannot take the file, fails the start
// with one line; a regular file, a symbolic link or nothing at the path passes.
TEST(StatsFile, StartUpRefusesWhatIsNoFileAndDirectoriesThatTakeNone) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string socket_path = dir.path + "/socket";
    ASSERT_TRUE(make_socket(socket_path));
    const std::string link_to_fifo = dir.path + "/link";
    ASSERT_EQ(symlink(fifo.c_str(), link_to_fifo.c_str()), 0);
    const std::string make_none = ": cannot make a file in its directory: ";
    const struct {
        std::string path;
        std::string error;  // empty: accepted
    } cases[] = {
        {"/dev/null", "/dev/null: is a character device, not a regular file"},
        {fifo, fifo + ": is a FIFO, not a regular file"},
        {socket_path, socket_path + ": is a socket, not a regular file"},
        {dir.path, dir.path + ": is a directory, not a regular file"},
        {dir.path + "/", dir.path + "/: is a directory, not a regular file"},
        {dir.path + "/missing/stats.json", dir.path + "/missing/stats.json" + make_none + "No such file or directory"},
        {"/sys/drevik-stats.json", "/sys/drevik-stats.json" + make_none + "Permission denied"},
        {dir.path + "/" + std::string(256, 'n'), dir.path + "/" + std::string(256, 'n') + ": File name too long"},
        // Room for the name, not for the temporary one beside it.
        {dir.path + "/" + std::string(250, 'n'),
         dir.path + "/" + std::string(250, 'n') + make_none + "File name too long"},
        // Shown escaped: a line of its own cannot be forged.
        {dir.path + "/\n[x][ERROR] /s", dir.path + "/\\n[x][ERROR] /s" + make_none + "No such file or directory"},
        {dir.path + "/stats.json", ""},
        {link_to_fifo, ""},
    };
    for (const auto& c : cases) {
        LogCapture log;
        const bool accepted = check_stats_file(c.path);
        const std::vector<std::string> lines = log.lines();
        EXPECT_EQ(accepted, c.error.empty()) << c.path;
        if (c.error.empty()) {
            EXPECT_TRUE(lines.empty()) << c.path;
        } else {
            ASSERT_EQ(lines.size(), 1u) << c.path;
            EXPECT_EQ(lines[0], "ERROR Statistics file " + c.error) << c.path;
        }
    }
    struct stat info {};
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << "/dev/null was replaced";
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "link", "socket"})) << "the check left files behind";
}

// A symbolic link is replaced by the file; its target is left alone. What is no regular file
// when a heartbeat comes is left alone too.
TEST(StatsFile, ReplacesALinkNotItsTargetAndNeverWhatIsNoFile) {
    ScratchDir dir;
    const std::string path = dir.path + "/stats.json";
    const std::string victim = dir.path + "/victim";
    const std::string fifo = dir.path + "/fifo";
    { std::ofstream(victim) << "precious"; }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string why;
    for (const std::string& target : {victim, fifo}) {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        ASSERT_TRUE(write_stats_file(path, "{\"a\":1}", why)) << why;
        EXPECT_EQ(read_file(path), "{\"a\":1}");
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0644u);
        ASSERT_TRUE(write_stats_file(path, "{}", why)) << why;
        EXPECT_EQ(read_file(path), "{}");
        unlink(path.c_str());
    }
    EXPECT_EQ(read_file(victim), "precious");

    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(write_stats_file(path, "{}", why));
    EXPECT_EQ(why, "is a FIFO, not a regular file");
    EXPECT_FALSE(write_stats_file(dir.path + "/missing/stats.json", "{}", why));
    EXPECT_EQ(why, "cannot make a file in its directory: No such file or directory");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fifo", "stats.json", "victim"})) << "temporary files left";
}

// A file that cannot be written any more is reported once, and once again when it can.
TEST(StatsFile, FailingAndRecoveringAreLoggedOnceEach) {
    ScratchDir dir;
    const std::string sub = dir.path + "/sub";
    const std::string path = sub + "/stats.json";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    StatsFileLog file_log;
    LogCapture log;
    store_stats_file(file_log, path, "1");
    std::filesystem::remove_all(sub);
    for (const char* text : {"2", "3", "4"}) store_stats_file(file_log, path, text);
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    for (const char* text : {"5", "6"}) store_stats_file(file_log, path, text);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "ERROR Statistics file " + path +
                                   ": cannot make a file in its directory: No such file or directory (tried again at "
                                   "every heartbeat)",
                               "INFO Statistics file " + path + ": written again",
                           }));
    EXPECT_EQ(read_file(path), "6");
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
    StatsFileLog file_log;
    send_heartbeat(env, file_log);
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
