#include "pool/job_message.h"

#include <cmath>
#include "common/decimal.h"

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
