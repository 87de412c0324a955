#include "job_message.h"

#include <cmath>
#include <utility>

#include "common/console_text.h"
#include "common/decimal.h"
#include "heap_release.h"
#include "log.h"

namespace {

int64_t read_decimal_text(const std::string& text) {
    const LeadingDecimal read = read_leading_decimal(text);
    return read.has_digits && read.in_range ? read.value : 0;
}

int64_t read_float(double value) {
    // Truncation toward zero; values a 64-bit integer cannot hold read as 0 like out-of-range text.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) return 0;
    return static_cast<int64_t>(value);
}

std::string read_text_field(const nlohmann::json& object, const char* key) { return object.value(key, std::string()); }

}  // namespace

int64_t read_int_field(const nlohmann::json& value, const char* key) {
    if (!value.is_object()) return 0;
    const auto member = value.find(key);
    if (member == value.end()) return 0;
    switch (member->type()) {
        case nlohmann::json::value_t::number_integer:
            return member->get<int64_t>();
        case nlohmann::json::value_t::number_unsigned: {
            const uint64_t u = member->get<uint64_t>();
            return u > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(u);
        }
        case nlohmann::json::value_t::number_float:
            return read_float(member->get<double>());
        case nlohmann::json::value_t::string:
            return read_decimal_text(member->get_ref<const std::string&>());
        default:
            return 0;
    }
}

int64_t share_difficulty_for(int64_t difficulty, int64_t share_divisor) {
    const int64_t divisor = share_divisor > 0 ? share_divisor : kDefaultShareDivisor;
    const int64_t quotient = difficulty / divisor;
    return quotient > 0 ? quotient : 1;
}

MiningJob parse_job_message(const std::string& payload, int64_t share_divisor) {
    const nlohmann::json json = nlohmann::json::parse(payload);
    MiningJob job;
    job.height = read_int_field(json, "height");
    job.timestamp = read_int_field(json, "timestamp");
    job.main_height = read_int_field(json, "main_height");
    job.main_blockhash = read_text_field(json, "main_blockhash");
    job.previous_blockhash = read_text_field(json, "previous_blockhash");
    job.nonce = read_text_field(json, "nonce");
    job.validator = read_text_field(json, "validator");
    job.miner = read_text_field(json, "miner");
    job.difficulty = read_int_field(json, "difficulty");
    const auto receipts = json.find("receipts");
    if (receipts != json.end() && receipts->is_array()) {
        for (const nlohmann::json& receipt : *receipts) job.receipts.push_back(receipt.get<std::string>());
    }
    job.share_difficulty = share_difficulty_for(job.difficulty, share_divisor);
    return job;
}

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

void on_job_message(const NatsMsg& message) {
    handle_job_message(g_state, message);
    // The message's JSON, and a pending job it replaced, are freed by now.
    release_heap_after(message.data.size());
}
