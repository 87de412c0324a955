// What ends a search ends the launch running then, not the next one: the dispatch loop mines a
// job on the host device with launches of twenty seconds and more (the most loops per thread,
// one lane per call), and once the host device's trace (DREVIK_HOST_TRACE) shows the launch
// running, a newer job, a cancel, shutdown or a block found on another device stops the
// search. A launch that ran on would meet the watchdog's five seconds and take the device out
// of service; instead it ends, no other starts, and it is counted and its finds published once.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mining/control_messages.h"
#include "mining/dispatch.h"
#include "host_devices.h"
#include "mining/job_intake.h"
#include "log_capture.h"
#include "pool/subjects.h"
#include "support/wait_until.h"

namespace {

// Tuning that sees every launch take 1 ms settles on the most loops there are (524288 per
// thread); the watchdog's deadline stays at its five-second floor.
double one_millisecond(int32_t, int32_t) { return 1.0; }

MiningJob job_at(int64_t height, char previous) {
    MiningJob job;
    job.height = height;
    job.previous_blockhash = "060a24181e4000" + std::string(64, previous);
    job.difficulty = int64_t{1} << 62;  // no block
    job.share_difficulty = 1;           // every candidate a share
    job.miner = "m";
    return job;
}

// The messages the miner would publish; workers publish from their own threads.
class Published {
public:
    Publisher publisher() {
        return {[](const std::string&, const std::string&) {},
                [this](const std::string& subject, const std::string&, KeptKind, const std::string&) {
                    std::lock_guard<std::mutex> lock(mutex);
                    subjects.push_back(subject);
                }};
    }
    size_t on(const std::string& subject) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<size_t>(std::count(subjects.begin(), subjects.end(), subject));
    }

private:
    std::mutex mutex;
    std::vector<std::string> subjects;
};

// Search launches (more than one thread) of `device` in the trace.
size_t search_launches(const std::string& trace, int device) {
    std::ifstream in(trace);
    size_t count = 0;
    long long stamp = 0;
    int launched_on = 0;
    unsigned long long threads = 0;
    while (in >> stamp >> launched_on >> threads) count += launched_on == device && threads > 1 ? 1 : 0;
    return count;
}

MiningJob mined_job() { return job_at(42, 'a'); }

struct Stopper {
    const char* name;
    // Stops the search of mined_job(); null: the other slot finds a block.
    std::function<void(MinerState& state)> stop;
};

void PrintTo(const Stopper& stopper, std::ostream* out) { *out << stopper.name; }

class JobSwitch : public testing::TestWithParam<Stopper> {
protected:
    void SetUp() override {
        char directory[] = "/tmp/drevik-job-switch-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        trace_path = std::string(directory) + "/launches";
        trace.emplace(&host_runtime::HostConfig::trace, trace_path);
        simd.emplace("scalar");
        settings.client_id = "rig1";
        GpuSlot host;
        host.engine = std::make_unique<GpuMiner>(one_millisecond);
        testing::internal::CaptureStderr();
        host.engine->init(0);
        testing::internal::GetCapturedStderr();
        hashes_per_launch = static_cast<uint64_t>(host.engine->describe().hashes_per_launch);
        state.gpus.push_back(std::move(host));
        GpuSlot other;
        other.device = 1;
        other.engine = std::make_unique<GpuMiner>();  // searched by a script
        state.gpus.push_back(std::move(other));
    }
    void TearDown() override {
        std::remove(trace_path.c_str());
        std::remove(trace_path.substr(0, trace_path.rfind('/')).c_str());
    }

    // Slot 0 searches on the host device; slot 1 waits for the stop, or, for a block found on
    // another device, finds one once slot 0's launch runs.
    MinerEnv env() {
        return {state, settings, published.publisher(),
                [this](GpuSlot& slot, const MiningJob& job, StopFlag& stop, SearchOutcome& outcome,
                       FindCallback callback, void* context) {
                    if (slot.device == 0) return slot.engine->search(job, stop, outcome, callback, context);
                    if (GetParam().stop) {
                        while (!stop.is_set()) std::this_thread::yield();
                        return false;
                    }
                    launch_running();
                    outcome = {true, "00000000000000b1", "0000000000aaaa" + std::string(64, '1'), 1, 1};
                    callback(outcome.nonce, outcome.timestamp, slot.device, context);
                    return true;
                }};
    }

    void launch_running() {
        EXPECT_TRUE(wait_until([&] { return search_launches(trace_path, 0) > 0; }, std::chrono::seconds(60)));
    }

    std::string trace_path;
    std::optional<HostSetting> trace;
    std::optional<HostSimd> simd;
    MinerSettings settings;
    MinerState state;
    Published published;
    uint64_t hashes_per_launch = 0;
};

TEST_P(JobSwitch, EndsTheRunningLaunchAndKeepsWhatItDid) {
    {
        MutexLock lock(state.job_mutex);
        state.mining_prev_hash = mined_job().previous_blockhash;  // as taking the job records it
    }
    LogCapture log;
    bool in_service = false;
    std::thread dispatch([&] { in_service = mine(env(), mined_job()); });
    if (GetParam().stop) {
        launch_running();
        GetParam().stop(state);
    }
    dispatch.join();

    EXPECT_TRUE(in_service);
    GpuMiner& engine = *state.gpus[0].engine;
    EXPECT_EQ(engine.state(), DeviceState::idle);  // not taken out of service by the watchdog
    EXPECT_EQ(search_launches(trace_path, 0), 1u);
    // Counted, never beyond a whole launch. Every candidate is a share: the one the launch took
    // before the abort (unless the abort came before its first candidate) is published once.
    EXPECT_GT(engine.hashes_counted(), 0u);
    EXPECT_LE(engine.hashes_counted(), hashes_per_launch);
    const size_t other_shares = GetParam().stop ? 0 : 1;  // the block found on the other device
    EXPECT_GE(published.on(kShareSubject), other_shares);
    EXPECT_LE(published.on(kShareSubject), other_shares + 1);
    EXPECT_EQ(published.on(kResultSubject), GetParam().stop ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, JobSwitch,
    testing::Values(Stopper{"NewerJob", [](MinerState& state) { accept_job(state, job_at(43, 'b')); }},
                    Stopper{"Cancel",
                            [](MinerState& state) {
                                handle_cancel_message(
                                    state, {"drevik.mining.cancel",
                                            R"({"previous_blockhash":")" + mined_job().previous_blockhash + R"("})"});
                            }},
                    Stopper{"Shutdown", [](MinerState& state) { request_shutdown(state); }},
                    Stopper{"BlockOnAnotherDevice", nullptr}),
    [](const testing::TestParamInfo<Stopper>& info) { return std::string(info.param.name); });

}  // namespace
