#pragma once
// The job dispatch loop's steps: take the newest job, search it on every slot, publish the block.

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "common/thread_annotations.h"
#include "mining/miner_env.h"
#include "common/mining_job.h"

// Searches `job` on one slot; a block find fills `result` and sets `stop` for all slots, which
// ends their running launches. A search that throws is logged, and this slot's work on the job
// ends without a result.
void gpu_worker(const MinerEnv& env, int slot, const MiningJob& job, StopFlag& stop, GpuResult& result);

// Starts gpu_worker on every slot of `env`'s state at once, each with `job`, the state's stop
// flag and its own entry of `results` (sized here). A thread that cannot be started throws;
// those started before it are in `workers`, for the caller to join.
void start_workers(const MinerEnv& env, const MiningJob& job, std::vector<GpuResult>& results,
                   std::vector<std::thread>& workers);

// Ends the dispatch loop and the running search: clears `running`, sets `stop` and wakes every
// waiter (the main loop, the statistics thread's sleep).
void request_shutdown(MinerState& state) EXCLUDES(state.job_mutex, state.tick_mutex);

// Sleeps `seconds` (none when not positive), cut short by a shutdown request. False on shutdown.
bool sleep_unless_shutdown(MinerState& state, double seconds) EXCLUDES(state.tick_mutex);

// Waits for the next job; empty when shutdown was requested, even with a job pending.
std::optional<MiningJob> take_job(MinerState& state) EXCLUDES(state.job_mutex);

// The slots whose device is not out of service.
int gpus_in_service(const MinerState& state);

// Searches `job` on every slot at once and publishes the first block found in slot order.
// False when no device is left in service afterwards.
bool mine(const MinerEnv& env, const MiningJob& job);
