#include "mining/job_intake.h"

#include <exception>
#include <utility>

#include "common/console_text.h"
#include "common/log.h"
#include "pool/job_message.h"

void accept_job(MinerState& state, MiningJob job) {
    state.jobs_received.fetch_add(1);
    {
        MutexLock lock(state.job_mutex);
        if (job.previous_blockhash == state.mining_prev_hash || job.previous_blockhash == state.last_prev_hash) {
            state.jobs_skipped.fetch_add(1);
            return;
        }
        const int64_t best = state.best_height.load();
        // Unsigned: the distance between any two 64-bit heights, without overflow.
        const uint64_t below = static_cast<uint64_t>(best) - static_cast<uint64_t>(job.height);
        if (job.height < best && below > static_cast<uint64_t>(kStaleWindow)) {
            log_line("INFO", "[h=%lld] Height far below best (best=%lld): best height reset",
                     static_cast<long long>(job.height), static_cast<long long>(best));
        } else if (job.height < best) {
            state.jobs_skipped.fetch_add(1);
            log_within(state.noise.stale_jobs, "[h=%lld] Stale job (best=%lld), skipped",
                       static_cast<long long>(job.height), static_cast<long long>(best));
            return;
        }
        // The running launches are aborted first; the line and the hand-over follow.
        state.stop.set();
        state.best_height.store(job.height);
        log_line("INFO", "[h=%lld] Job: diff=%lld share_diff=%lld prev=%s...", static_cast<long long>(job.height),
                 static_cast<long long>(job.difficulty), static_cast<long long>(job.share_difficulty),
                 console_text(job.previous_blockhash.substr(0, 16), 16).c_str());
        state.last_prev_hash = job.previous_blockhash;
        state.pending_job = std::move(job);
    }
    state.job_ready.notify_one();
}

void handle_job_message(MinerState& state, const NatsMsg& message) {
    MiningJob job;
    try {
        job = parse_job_message(message.data, state.share_divisor.load());
    } catch (const std::exception& error) {
        log_within(state.noise.job_errors, "Job parse error: %s",
                   console_text(error.what(), kMaxErrorTextBytes).c_str());
        return;
    }
    accept_job(state, std::move(job));
}
