#pragma once
// The job dispatch loop's steps: take the newest job, search it on every slot, publish the block.

#include <atomic>
#include <optional>

#include "common/thread_annotations.h"
#include "miner_env.h"
#include "common/mining_job.h"

// Searches `job` on one slot; a block find fills `result` and sets `stop` for all slots, which
// ends their running launches. A search that throws is logged, and this slot's work on the job
// ends without a result.
void gpu_worker(const MinerEnv& env, int slot, const MiningJob& job, StopFlag& stop, GpuResult& result);

// Ends the dispatch loop and the running search: clears `running`, sets `stop` and wakes every
// waiter (the main loop, the statistics thread's sleep).
void request_shutdown(MinerState& state) EXCLUDES(state.job_mutex, state.tick_mutex);

// Waits for the next job; empty when shutdown was requested, even with a job pending.
std::optional<MiningJob> take_job(MinerState& state) EXCLUDES(state.job_mutex);

// The slots whose device is not out of service.
int gpus_in_service(const MinerState& state);

// Searches `job` on every slot at once and publishes the first block found in slot order.
// False when no device is left in service afterwards.
bool mine(const MinerEnv& env, const MiningJob& job);
