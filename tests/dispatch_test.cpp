// The dispatch loop's steps on their own: a recording publisher and scripted searches stand in
// for the bus and the engines, so each rule is checked in milliseconds.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "mining/dispatch.h"
#include "mining/job_intake.h"
#include "log_capture.h"
#include "pool/results.h"
#include "pool/subjects.h"

namespace {

struct Sent {
    std::string subject;
    std::string payload;
    KeptKind kind;
    std::string msg_id;
};

// Records what would go on the bus; workers publish from their own threads.
class Recorder {
public:
    Publisher publisher() {
        return {
            [this](const std::string& subject, const std::string& payload) {
                add({subject, payload, KeptKind::share, ""});
            },
            [this](const std::string& subject, const std::string& payload, KeptKind kind, const std::string& msg_id) {
                add({subject, payload, kind, msg_id});
            }};
    }
    std::vector<Sent> on(const std::string& subject) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Sent> matching;
        for (const Sent& one : sent) {
            if (one.subject == subject) matching.push_back(one);
        }
        return matching;
    }

private:
    void add(Sent one) {
        std::lock_guard<std::mutex> lock(mutex);
        sent.push_back(std::move(one));
    }
    std::mutex mutex;
    std::vector<Sent> sent;
};

// What a scripted search of one slot does with its job.
using Script = std::function<bool(StopFlag& stop, SearchOutcome& outcome)>;

SearchOutcome block_of(int32_t device, const std::string& nonce) {
    SearchOutcome outcome;
    outcome.found = true;
    outcome.nonce = nonce;
    outcome.hash = "0000000000aaaa" + std::string(64, static_cast<char>('0' + device));
    outcome.timestamp = 1700000000000000 + device;
    outcome.gpu = device;
    return outcome;
}

// Finds a block at once, reporting it as the engine does: through the find callback first.
Script finds(int32_t device, const std::string& nonce) {
    return [device, nonce](StopFlag&, SearchOutcome& outcome) {
        outcome = block_of(device, nonce);
        return true;
    };
}

// Searches until stopped, finding nothing.
bool until_stopped(StopFlag& stop, SearchOutcome&) {
    while (!stop.is_set()) std::this_thread::yield();
    return false;
}

MiningJob job_at(int64_t height, char previous) {
    MiningJob job;
    job.height = height;
    job.previous_blockhash = "060a24181e4000" + std::string(64, previous);
    job.difficulty = 1000;
    job.share_difficulty = 1;
    job.miner = "m";
    return job;
}

class Dispatch : public testing::Test {
protected:
    Dispatch() {
        settings.client_id = "rig1";
        settings.wallet = "W";
    }

    // One slot per device, in this order, each searched by its script.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the loop moves the scripts out (through a binding).
    void add_slots(std::vector<std::pair<int32_t, Script>> slots) {
        for (auto& [device, script] : slots) {
            GpuSlot slot;
            slot.device = device;
            slot.engine = std::make_unique<GpuMiner>();
            state.gpus.push_back(std::move(slot));
            scripts[device] = std::move(script);
        }
    }

    MinerEnv env() {
        return {state, settings, recorder.publisher(),
                [this](GpuSlot& slot, const MiningJob&, StopFlag& stop, SearchOutcome& outcome, FindCallback callback,
                       void* context) {
                    const bool found = scripts.at(slot.device)(stop, outcome);
                    if (found) callback(outcome.nonce, outcome.timestamp, slot.device, context);
                    return found;
                }};
    }

    MinerSettings settings;
    MinerState state;
    Recorder recorder;
    std::map<int32_t, Script> scripts;
};

TEST_F(Dispatch, TwoFindsInOneJobPublishTheFirstInSlotOrder) {
    // GPU 2 finds first in time; GPU 5, earlier in slot order, finds in the same search.
    add_slots({{7, until_stopped},
               {5,
                [](StopFlag& stop, SearchOutcome& outcome) {
                    while (!stop.is_set()) std::this_thread::yield();
                    outcome = block_of(5, "00000000000000b5");
                    return true;
                }},
               {2, finds(2, "00000000000000b2")}});
    const MiningJob job = job_at(42, 'a');
    LogCapture log;
    EXPECT_TRUE(mine(env(), job));

    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "INFO [h=42] Mining on 3 GPU(s)...");
    EXPECT_EQ(lines[1].rfind("INFO [h=42] FOUND by GPU 5! nonce=00000000000000b5... hash=0000000000aaaa55... (", 0), 0u)
        << lines[1];
    const std::vector<Sent> blocks = recorder.on(kResultSubject);
    ASSERT_EQ(blocks.size(), 1u);
    MiningJob found = job;
    found.nonce = "00000000000000b5";
    found.timestamp = block_of(5, "").timestamp;
    found.blockhash = block_of(5, "").hash;
    EXPECT_EQ(blocks[0].payload, result_message(found, settings));
    EXPECT_EQ(blocks[0].kind, KeptKind::block);
    // A stream stores each find once under its kind, height and nonce.
    EXPECT_EQ(blocks[0].msg_id, "block-42-00000000000000b5");
    EXPECT_EQ(state.jobs_found.load(), 1);
    // Both finds went out as shares, and counted.
    ASSERT_EQ(recorder.on(kShareSubject).size(), 2u);
    EXPECT_EQ(recorder.on(kShareSubject)[0].msg_id.rfind("share-42-00000000000000b", 0), 0u);
    EXPECT_EQ(state.shares_sent.load(), 2);
    EXPECT_TRUE(state.stop.is_set());
}

TEST_F(Dispatch, BlockFoundJustBeforeTheSignalIsPublishedAndThePendingJobIsNotMined) {
    add_slots({{0, until_stopped}, {1, [this](StopFlag&, SearchOutcome& outcome) {
                                        outcome = block_of(1, "00000000000000c1");
                                        // The signal arrives while the search is being wound up.
                                        accept_job(state, job_at(43, 'b'));
                                        request_shutdown(state);
                                        return true;
                                    }}});
    LogCapture log;
    EXPECT_TRUE(mine(env(), job_at(42, 'a')));
    ASSERT_EQ(recorder.on(kResultSubject).size(), 1u);
    EXPECT_EQ(state.jobs_found.load(), 1);

    // The job accepted before the signal stays pending and is never taken.
    EXPECT_FALSE(take_job(state).has_value());
    MutexLock lock(state.job_mutex);
    ASSERT_TRUE(state.pending_job.has_value());
    EXPECT_EQ(state.pending_job->height, 43);
}

TEST_F(Dispatch, TakingAJobRecordsItAndClearsTheStopFlag) {
    {
        MutexLock lock(state.job_mutex);
        state.mining_prev_hash = "old";
    }
    state.stop.set();
    std::thread pool([this] {
        LogCapture quiet;
        accept_job(state, job_at(9, 'c'));
    });
    const std::optional<MiningJob> job = take_job(state);  // waits for the job
    pool.join();
    ASSERT_TRUE(job.has_value());
    EXPECT_EQ(job->height, 9);
    EXPECT_FALSE(state.stop.is_set());
    EXPECT_EQ(state.mining_height.load(), 9);
    MutexLock lock(state.job_mutex);
    EXPECT_EQ(state.mining_prev_hash, job_at(9, 'c').previous_blockhash);
    EXPECT_FALSE(state.pending_job.has_value());
}

TEST_F(Dispatch, ShutdownWakesAnIdleLoop) {
    std::thread signal([this] { request_shutdown(state); });
    EXPECT_FALSE(take_job(state).has_value());
    signal.join();
}

TEST_F(Dispatch, ANewerJobStopsEverySlotAndNothingIsPublished) {
    add_slots({{0, until_stopped}, {1, until_stopped}});
    LogCapture log;
    std::thread pool([this] { accept_job(state, job_at(43, 'b')); });
    EXPECT_TRUE(mine(env(), job_at(42, 'a')));
    pool.join();
    EXPECT_TRUE(recorder.on(kResultSubject).empty());
    EXPECT_EQ(state.jobs_found.load(), 0);
    const std::optional<MiningJob> next = take_job(state);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->height, 43);
}

TEST_F(Dispatch, NoSlotsMinesNothing) {
    LogCapture log;
    EXPECT_TRUE(mine(env(), job_at(5, 'a')));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INFO [h=5] Mining on 0 GPU(s)..."});
    EXPECT_TRUE(recorder.on(kResultSubject).empty());
}

TEST_F(Dispatch, ASearchThatThrowsEndsOnlyItsOwnSlot) {
    add_slots({{3, [](StopFlag&, SearchOutcome&) -> bool { throw std::runtime_error("digest failed"); }},
               {4, [](StopFlag&, SearchOutcome&) -> bool { throw 17; }},
               {6, finds(6, "00000000000000d6")}});
    LogCapture log;
    EXPECT_TRUE(mine(env(), job_at(42, 'a')));
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR GPU 3 search failed: digest failed"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR GPU 4 search failed: unknown error"), lines.end());
    EXPECT_EQ(recorder.on(kResultSubject).size(), 1u);
    EXPECT_EQ(state.jobs_found.load(), 1);
}

TEST_F(Dispatch, AFailingShareDoesNotEndTheProcess) {
    add_slots({{0, finds(0, "00000000000000e0")}});
    MinerEnv failing = env();
    failing.publisher.publish_kept = [](const std::string&, const std::string&, KeptKind, const std::string&) {
        throw std::bad_alloc();
    };
    LogCapture log;
    EXPECT_TRUE(mine(failing, job_at(42, 'a')));
    const std::vector<std::string> lines = log.lines();
    EXPECT_EQ(lines.back(), "ERROR GPU 0 search failed: std::bad_alloc");
    EXPECT_EQ(state.jobs_found.load(), 0);
}

}  // namespace
