// GpuMiner on the host device: set-up, runtime-error reports, and the search loop. Tuning
// takes scripted times here (3200 ms for every launch gives 512 loops), so searches run
// short launches.

#include "gpu_miner/gpu_miner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "gpu_miner/devices.h"
#include "host_devices.h"
#include "kernels/kernels.h"
#include "sha256_reference.h"
#include "support/console_capture.h"
#include "support/wait_until.h"

// What DREVIK_HOST_DEVICES and DREVIK_HOST_FAULT make the host device do, a GPU's runtime
// does not: a test that relies on them is skipped in a cuda build.
#define SKIP_UNLESS_HOST_DEVICE()                     \
    if (std::string(device_backend_name()) != "host") \
    GTEST_SKIP() << "needs the host device's DREVIK_HOST_DEVICES and DREVIK_HOST_FAULT"

namespace {

using namespace std::chrono_literals;

double scripted_3200ms(int32_t, int32_t) { return 3200.0; }

MiningJob make_job(char previous_hash_digit, int64_t difficulty, int64_t share_difficulty) {
    MiningJob job;
    job.height = 42;
    job.receipts = {"r1", "r2", "r3"};
    job.main_height = 7;
    job.main_blockhash = "mb";
    job.previous_blockhash = std::string(78, previous_hash_digit);
    job.validator = "v";
    job.miner = "m";
    job.difficulty = difficulty;
    job.share_difficulty = share_difficulty;
    return job;
}

struct Find {
    std::string nonce;
    int64_t timestamp;
    int32_t device;
};

// What the search reported through its callback.
struct Finds {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Find> list;

    static void record(const std::string& nonce, int64_t timestamp, int32_t device, void* context) {
        Finds& finds = *static_cast<Finds*>(context);
        std::lock_guard<std::mutex> lock(finds.mutex);
        finds.list.push_back({nonce, timestamp, device});
        finds.changed.notify_all();
    }
    std::vector<Find> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }
};

// The block a search reported, checked against OpenSSL over the pre-image it names.
void expect_valid_block(const MiningJob& job, const SearchOutcome& outcome) {
    ASSERT_TRUE(outcome.found);
    ASSERT_EQ(outcome.nonce.size(), 16u);
    MiningJob window_job = job;
    window_job.timestamp = outcome.timestamp;
    const Digest digest = sha256_digest(mining_prefix(window_job) + outcome.nonce);
    EXPECT_LE(digest_words(digest), difficulty_to_target(job.difficulty));
    EXPECT_EQ(outcome.hash.size(), 78u);
    EXPECT_EQ(outcome.hash, block_hash_text(outcome.timestamp, digest.data()));
}

TEST(GpuMinerInit, PrintsDeviceLineAndTunesTheGeometry) {
    cudaDeviceProp properties{};
    ASSERT_EQ(cudaGetDeviceProperties(&properties, 0), cudaSuccess);
    int occupancy = 0;
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&occupancy, kernel_mine_precomp, kThreadsPerBlock,
                                                                     0, cudaOccupancyDefault),
              cudaSuccess);
    // Equal times everywhere: the largest tested grid has the best rate.
    const int32_t grid = std::min(occupancy + 2, 16) * properties.multiProcessorCount;

    GpuMiner miner(scripted_3200ms);
    capture_console();
    miner.init(0);
    const std::string output = captured_console();

    const std::string head =
        "[GPU 0] " + std::string(properties.name) + ": " + std::to_string(properties.multiProcessorCount) + " SMs, " +
        std::to_string(occupancy) +
        " blks/SM (occupancy), grid=" + std::to_string(occupancy * properties.multiProcessorCount) +
        "\n[GPU 0] Auto-tuning v3.2.1 (target=100ms)...\n";
    EXPECT_EQ(output.substr(0, head.size()), head);
    const std::string tuned = "[GPU 0] Tuned: grid=" + std::to_string(grid) + " loops=512 kernel=3200.0ms";
    EXPECT_NE(output.find(tuned), std::string::npos) << output;

    const GpuInfo info = miner.describe();
    EXPECT_EQ(info.device, 0);
    EXPECT_EQ(info.name, properties.name);
    EXPECT_EQ(info.sm_count, properties.multiProcessorCount);
    EXPECT_EQ(info.grid, grid);
    EXPECT_EQ(info.threads_per_block, 256);
    EXPECT_EQ(info.loops, 512);
    EXPECT_EQ(info.hashes_per_launch, int64_t{grid} * 512 * 256);
}

TEST(GpuMinerInit, FailedSetUpReportsTheRuntimeErrorAndThrows) {
    SKIP_UNLESS_HOST_DEVICE();
    struct Case {
        const char* devices;
        int32_t ordinal;
        const char* error;
    };
    const Case cases[] = {
        {"1", 7, "invalid device ordinal"},
        {"1", -1, "invalid device ordinal"},
        {"0", 0, "no CUDA-capable device is detected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ordinal) + " of " + c.devices);
        HostDevices devices(c.devices);
        GpuMiner miner(scripted_3200ms);
        capture_console();
        try {
            miner.init(c.ordinal);
            ADD_FAILURE() << "init did not throw";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
        const std::string output = captured_console();
        EXPECT_TRUE(
            testing::internal::RE::FullMatch(output, std::string("CUDA error src/gpu_miner:[0-9]+: ") + c.error + "\n"))
            << output;
    }
}

TEST(UsableDevices, FollowTheDevicesTheRuntimePresents) {
    SKIP_UNLESS_HOST_DEVICE();
    {
        HostDevices devices("3");
        EXPECT_EQ(list_usable_devices(), (std::vector<int32_t>{0, 1, 2}));
    }
    {
        HostDevices devices("0");
        EXPECT_TRUE(list_usable_devices().empty());
    }
}

class GpuMinerSearch : public ::testing::Test {
protected:
    void SetUp() override {
        capture_console();
        miner.init(0);
        captured_console();
    }

    GpuMiner miner{scripted_3200ms};
    Finds finds;
};

TEST_F(GpuMinerSearch, BlockFindIsReportedThroughTheCallbackAndReturned) {
    // Difficulty 2: every other candidate is a block, so the first launch finds one.
    const MiningJob job = make_job('a', 2, 1);
    StopFlag stop;
    SearchOutcome outcome;
    ASSERT_TRUE(miner.search(job, stop, outcome, Finds::record, &finds));
    expect_valid_block(job, outcome);
    EXPECT_EQ(outcome.gpu, 0);
    const std::vector<Find> reported = finds.snapshot();
    ASSERT_EQ(reported.size(), 1u);  // the block, as its own share; no separate share
    EXPECT_EQ(reported[0].nonce, outcome.nonce);
    EXPECT_EQ(reported[0].timestamp, outcome.timestamp);
    EXPECT_EQ(reported[0].device, 0);
}

TEST_F(GpuMinerSearch, ASearchLeftByAnExceptionLeavesTheDeviceIdleAndUsable) {
    const MiningJob job = make_job('a', 2, 1);
    StopFlag stop;
    SearchOutcome outcome;
    const FindCallback failing = [](const std::string&, int64_t, int32_t, void*) {
        throw std::runtime_error("publish failed");
    };
    EXPECT_THROW(miner.search(job, stop, outcome, failing, nullptr), std::runtime_error);
    EXPECT_EQ(miner.state(), DeviceState::idle);
    EXPECT_TRUE(miner.search(job, stop, outcome, Finds::record, &finds));
}

TEST_F(GpuMinerSearch, StopSetBeforeTheStartBuildsNoPreimage) {
    // A malformed job shows whether a pre-image was built: its check would print.
    MiningJob job = make_job('b', 2, 1);
    job.previous_blockhash += "x";
    StopFlag stop;
    stop.set();
    SearchOutcome outcome;
    outcome.gpu = -1;
    capture_console();
    EXPECT_FALSE(miner.search(job, stop, outcome, Finds::record, &finds));
    EXPECT_EQ(captured_console(), "");
    EXPECT_FALSE(outcome.found);
    EXPECT_EQ(outcome.gpu, 0);
    EXPECT_TRUE(finds.snapshot().empty());
}

TEST_F(GpuMinerSearch, PrefixOfAnyOtherLengthThan142IsNotSearched) {
    struct Case {
        size_t previous_hash_length;
        const char* error;
    };
    const Case cases[] = {
        {79, "[GPU 0] ERROR: tail_len=15\n"},
        {142, "[GPU 0] ERROR: prefix_len=206 (expected 142)\n"},
    };
    for (const Case& c : cases) {
        MiningJob job = make_job('c', 2, 1);
        job.previous_blockhash = std::string(c.previous_hash_length, 'c');
        StopFlag stop;
        SearchOutcome outcome;
        capture_console();
        EXPECT_FALSE(miner.search(job, stop, outcome, Finds::record, &finds));
        EXPECT_EQ(captured_console(), c.error);
        EXPECT_FALSE(outcome.found);
    }
    EXPECT_TRUE(finds.snapshot().empty());
}

// Every launch meets the share target, yet each 5-second window reports one share: the two
// first shares carry window timestamps at least 5 s apart.
TEST_F(GpuMinerSearch, OneSharePerWindow) {
    const MiningJob job = make_job('d', INT64_MAX, 1);
    StopFlag stop;
    SearchOutcome outcome;
    bool found = true;
    std::thread search([&] { found = miner.search(job, stop, outcome, Finds::record, &finds); });
    {
        std::unique_lock<std::mutex> lock(finds.mutex);
        finds.changed.wait_for(lock, 60s, [&] { return finds.list.size() >= 2; });
    }
    stop.set();
    search.join();
    EXPECT_FALSE(found);
    const std::vector<Find> shares = finds.snapshot();
    ASSERT_GE(shares.size(), 2u);
    EXPECT_GE(shares[1].timestamp - shares[0].timestamp, 5'000'000);
    for (size_t i = 0; i + 1 < shares.size(); ++i) EXPECT_NE(shares[i].timestamp, shares[i + 1].timestamp);
    EXPECT_GT(miner.hashrate(), 0.0);
}

// Two devices searching different jobs at once keep their own constants and buffers.
TEST(GpuMinerMultiDevice, ConcurrentSearchesOnTwoDevicesFindTheirOwnBlocks) {
    HostDevices devices("2");
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    if (count < 2) GTEST_SKIP() << "needs two devices";
    GpuMiner first(scripted_3200ms);
    GpuMiner second(scripted_3200ms);
    capture_console();
    first.init(0);
    second.init(1);
    captured_console();

    const MiningJob jobs[] = {make_job('e', 64, 0), make_job('f', 64, 0)};
    StopFlag stop;
    SearchOutcome outcomes[2];
    bool found[2] = {};
    std::thread other([&] { found[1] = second.search(jobs[1], stop, outcomes[1], nullptr, nullptr); });
    found[0] = first.search(jobs[0], stop, outcomes[0], nullptr, nullptr);
    other.join();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(found[i]);
        EXPECT_EQ(outcomes[i].gpu, i);
        expect_valid_block(jobs[i], outcomes[i]);
    }
}

}  // namespace

namespace {

// Tuned at 512 loops and 100 ms: the watchdog's deadline is its five-second floor.
double scripted_proportional(int32_t, int32_t loops) { return 3200.0 * loops / 16384; }

// What the engine logged through its health log, as "LEVEL message".
struct HealthLines {
    static std::mutex mutex;
    static std::vector<std::string> lines;
    static void record(const char* level, const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::string(level) + " " + message);
    }
    static std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(lines, {});
    }
};
std::mutex HealthLines::mutex;
std::vector<std::string> HealthLines::lines;

void init_quietly(GpuMiner& miner, int32_t device) {
    miner.set_health_log(HealthLines::record);
    capture_console();
    miner.init(device);
    captured_console();
}

// Device 2 corrupts its first block find, device 3 its first share: each is counted and
// logged as a hardware error and never reported; the next find is, and it verifies.
TEST(GpuMinerHealth, CorruptFindIsAHardwareErrorAndNeverReported) {
    SKIP_UNLESS_HOST_DEVICE();
    HostDevices devices("8");
    HostFaults faults("corrupt:2:1,corrupt:3:1");
    struct Case {
        int32_t device;
        MiningJob job;
        const char* kind;
    };
    const Case cases[] = {{2, make_job('1', 2, 0), "block"}, {3, make_job('2', INT64_MAX, 2), "share"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        GpuMiner miner(scripted_proportional);
        init_quietly(miner, c.device);
        Finds finds;
        StopFlag stop;
        SearchOutcome outcome;
        bool found = false;
        std::thread search([&] { found = miner.search(c.job, stop, outcome, Finds::record, &finds); });
        if (std::string(c.kind) == "share") {
            std::unique_lock<std::mutex> lock(finds.mutex);
            finds.changed.wait_for(lock, 60s, [&] { return !finds.list.empty(); });
            stop.set();
        }
        search.join();

        const std::vector<Find> reported = finds.snapshot();
        ASSERT_EQ(reported.size(), 1u);
        MiningJob window_job = c.job;
        window_job.timestamp = reported[0].timestamp;
        const Digest digest = sha256_digest(mining_prefix(window_job) + reported[0].nonce);
        EXPECT_LE(digest_words(digest),
                  difficulty_to_target(std::string(c.kind) == "block" ? c.job.difficulty : c.job.share_difficulty));
        if (std::string(c.kind) == "block") {
            EXPECT_TRUE(found);
            expect_valid_block(c.job, outcome);
        }
        EXPECT_EQ(miner.hardware_errors(), 1);
        const std::vector<std::string> lines = HealthLines::take();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(testing::internal::RE::FullMatch(
            lines[0], "WARN GPU " + std::to_string(c.device) + " hardware error: " + c.kind +
                          " nonce=[0-9a-f]{16} rejected \\(SHA-256 of the pre-image differs from the device's "
                          "digest\\)"))
            << lines[0];
        EXPECT_EQ(lines[0].find(reported[0].nonce), std::string::npos);  // the reported one is another
        EXPECT_EQ(miner.state(), DeviceState::idle);
    }
}

// The 2nd search launch of the faulty device fails or hangs: that device leaves service with
// one ERROR line, its searches end at once from then on, and the healthy one keeps mining.
TEST(GpuMinerHealth, FailedOrHungLaunchTakesOnlyThatDeviceOutOfService) {
    SKIP_UNLESS_HOST_DEVICE();
    HostDevices devices("8");
    HostFaults faults("fail:4:2,hang:6:2");
    struct Case {
        int32_t faulty;
        int32_t healthy;
        const char* reason;
    };
    const Case cases[] = {{4, 5, "launch failed: unspecified launch failure"},
                          {6, 7, "launch did not complete within 5.0s"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        GpuMiner faulty(scripted_proportional);
        GpuMiner healthy(scripted_proportional);
        init_quietly(faulty, c.faulty);
        init_quietly(healthy, c.healthy);
        EXPECT_EQ(healthy.state(), DeviceState::idle);
        const MiningJob job = make_job('3', int64_t{1} << 62, 0);
        StopFlag stop;
        SearchOutcome outcomes[2];
        bool healthy_found = true;
        std::thread other([&] { healthy_found = healthy.search(job, stop, outcomes[1], nullptr, nullptr); });
        EXPECT_FALSE(faulty.search(job, stop, outcomes[0], nullptr, nullptr));
        EXPECT_EQ(faulty.state(), DeviceState::failed);
        EXPECT_EQ(healthy.state(), DeviceState::mining);
        EXPECT_EQ(HealthLines::take(),
                  std::vector<std::string>{"ERROR GPU " + std::to_string(c.faulty) + " out of service: " + c.reason});
        // A stop now ends the running launch, so let the healthy device finish one first.
        ASSERT_TRUE(wait_until([&] { return healthy.hashrate() > 0.0; }));
        stop.set();
        other.join();
        EXPECT_FALSE(healthy_found);
        EXPECT_EQ(healthy.state(), DeviceState::idle);
        EXPECT_GT(healthy.hashrate(), 0.0);

        StopFlag go;
        EXPECT_FALSE(faulty.search(job, go, outcomes[0], nullptr, nullptr));
        EXPECT_TRUE(HealthLines::take().empty());
    }
}

// The known-answer self-test on a device: it passes on a sound one, which stays idle and
// logs one INFO line; a search runs it again once its interval has passed.
TEST(GpuMinerSelfTest, SoundDevicePassesBeforeAndDuringSearches) {
    GpuMiner miner(scripted_proportional);
    init_quietly(miner, 0);
    const SelfTestResult result = miner.self_test();
    EXPECT_TRUE(result.passed) << result.failure;
    EXPECT_EQ(result.failure, "");
    EXPECT_GT(result.milliseconds, 0.0);
    EXPECT_EQ(miner.state(), DeviceState::idle);
    const std::string passed = "INFO GPU 0 self-test passed \\([0-9]+\\.[0-9] ms\\)";
    std::vector<std::string> lines = HealthLines::take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(testing::internal::RE::FullMatch(lines[0], passed)) << lines[0];

    const MiningJob job = make_job('4', 2, 0);
    StopFlag stop;
    SearchOutcome outcome;
    miner.set_self_test_interval(3600.0);
    ASSERT_TRUE(miner.search(job, stop, outcome, nullptr, nullptr));
    EXPECT_TRUE(HealthLines::take().empty());
    miner.set_self_test_interval(1e-6);
    ASSERT_TRUE(miner.search(job, stop, outcome, nullptr, nullptr));
    expect_valid_block(job, outcome);
    lines = HealthLines::take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(testing::internal::RE::FullMatch(lines[0], passed)) << lines[0];
}

// A device that misses the known nonce (miss: its launches report no find), reports another
// (corrupt: the nonce read back is altered) or whose launch fails leaves service with one
// ERROR line saying so, at the first launch that shows it; later searches end at once.
TEST(GpuMinerSelfTest, FaultyDeviceLeavesServiceNamingWhatItGotWrong) {
    SKIP_UNLESS_HOST_DEVICE();
    HostDevices devices("8");
    HostFaults faults("miss:1:1,miss:2:4,corrupt:3:1,corrupt:4:3,fail:5:2");
    const struct {
        int32_t device;
        const char* reason;
    } cases[] = {
        {1, "self-test: precomp kernel missed block nonce 3a7fc2e19b18f877"},
        {2, "self-test: fallback kernel missed share nonce b7e4aa0000007d58"},
        {3, "self-test: precomp kernel reported block nonce 3a7fc2e19b18f876, not 3a7fc2e19b18f877"},
        {4, "self-test: fallback kernel reported block nonce b7e4aa0000007d59, not b7e4aa0000007d58"},
        {5, "launch failed: unspecified launch failure"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        GpuMiner miner(scripted_proportional);
        init_quietly(miner, c.device);
        const SelfTestResult result = miner.self_test();
        EXPECT_FALSE(result.passed);
        EXPECT_EQ(result.failure, c.reason);
        EXPECT_EQ(miner.state(), DeviceState::failed);
        EXPECT_EQ(HealthLines::take(),
                  std::vector<std::string>{"ERROR GPU " + std::to_string(c.device) + " out of service: " + c.reason});
        StopFlag stop;
        SearchOutcome outcome;
        EXPECT_FALSE(miner.search(make_job('5', 2, 0), stop, outcome, nullptr, nullptr));
        EXPECT_EQ(miner.self_test().failure, c.reason);
        EXPECT_TRUE(HealthLines::take().empty());
    }
}

// A device that passes at start-up and goes bad later is caught by the next self-test of its
// search, which ends there.
TEST(GpuMinerSelfTest, DeviceThatGoesBadIsCaughtByTheSelfTestOfItsSearch) {
    SKIP_UNLESS_HOST_DEVICE();
    HostDevices devices("8");
    HostFaults faults("miss:6:5");  // from the first launch after the start-up test on
    GpuMiner miner(scripted_proportional);
    init_quietly(miner, 6);
    ASSERT_TRUE(miner.self_test().passed);
    HealthLines::take();
    miner.set_self_test_interval(1e-6);
    StopFlag stop;
    SearchOutcome outcome;
    EXPECT_FALSE(miner.search(make_job('6', int64_t{1} << 62, 0), stop, outcome, nullptr, nullptr));
    EXPECT_EQ(miner.state(), DeviceState::failed);
    EXPECT_EQ(HealthLines::take(), std::vector<std::string>{"ERROR GPU 6 out of service: self-test: precomp kernel "
                                                            "missed block nonce 3a7fc2e19b18f877"});
}

// A new job that arrives while a search runs its self-test ends the test's launch like any
// other: that says nothing of the device, which stays in service, and logs no verdict.
TEST(GpuMinerSelfTest, StopDuringTheSelfTestOfASearchIsNoVerdict) {
    GpuMiner miner(scripted_proportional);
    init_quietly(miner, 0);
    miner.set_self_test_interval(1e-6);
    const MiningJob job = make_job('7', int64_t{1} << 62, 0);
    for (int delay_ms = 0; delay_ms < 40; delay_ms += 2) {
        SCOPED_TRACE(delay_ms);
        StopFlag stop;
        SearchOutcome outcome;
        std::thread search([&] { miner.search(job, stop, outcome, nullptr, nullptr); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        stop.set();
        search.join();
        ASSERT_NE(miner.state(), DeviceState::failed);
        for (const std::string& line : HealthLines::take()) EXPECT_EQ(line.rfind("INFO GPU 0 self-test passed", 0), 0u);
    }
}

TEST(GpuMinerHealth, InterruptEndsSetUpBeforeTheNextTuningLaunch) {
    StopFlag interrupted;
    int launches = 0;
    GpuMiner miner([&](int32_t, int32_t) {
        if (++launches == 2) interrupted.set();
        return 100.0;
    });
    capture_console();
    EXPECT_FALSE(miner.init(0, &interrupted));
    const std::string output = captured_console();
    EXPECT_EQ(launches, 2);
    EXPECT_EQ(output.find("Tuned:"), std::string::npos) << output;
}

}  // namespace
