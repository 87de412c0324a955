#include "mining/control_messages.h"

#include <nlohmann/json.hpp>

#include "pool/job_message.h"
#include "common/log.h"

void handle_cancel_message(MinerState& state, const NatsMsg& message) {
    std::string previous;
    try {
        previous = nlohmann::json::parse(message.data).value("previous_blockhash", std::string());
    } catch (const std::exception&) {
        return;  // malformed control messages are ignored silently
    }
    if (previous.empty()) return;
    MutexLock lock(state.job_mutex);
    if (previous != state.mining_prev_hash) return;
    // Under the lock: the main thread takes the next job under it, and a cancel of the job it
    // leaves must not stop the one it takes.
    state.stop.set();
    state.jobs_cancelled.fetch_add(1);
}

void handle_config_message(MinerState& state, const NatsMsg& message) {
    int64_t divisor = 0;
    try {
        divisor = read_int_field(nlohmann::json::parse(message.data), "share_divisor");
    } catch (const std::exception&) {
        return;
    }
    if (divisor < kMinShareDivisor || divisor > kMaxShareDivisor) return;
    if (divisor == state.share_divisor.load()) return;
    const int64_t previous = state.share_divisor.exchange(divisor);
    log_line("INFO", "Share divisor updated: %lld -> %lld", static_cast<long long>(previous),
             static_cast<long long>(divisor));
}
