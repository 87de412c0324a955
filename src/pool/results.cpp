#include "pool/results.h"

#include <nlohmann/json.hpp>

#include "common/json_text.h"

std::string share_message(const MiningJob& job, const std::string& nonce, int64_t timestamp,
                          const MinerSettings& settings) {
    const nlohmann::json share = {
        {"client_id", settings.client_id},
        {"difficulty", job.difficulty},
        {"height", job.height},
        {"main_blockhash", job.main_blockhash},
        {"main_height", job.main_height},
        {"miner", job.miner},
        {"nonce", nonce},
        {"previous_blockhash", job.previous_blockhash},
        {"receipts", job.receipts},
        {"share_difficulty", job.share_difficulty},
        {"timestamp", timestamp},
        {"validator", job.validator},
        {"wallet", settings.wallet},
    };
    return compact_json(share);
}

std::string result_message(const MiningJob& found, const MinerSettings& settings) {
    const nlohmann::json result = {
        {"blockhash", found.blockhash},
        {"client_id", settings.client_id},
        {"difficulty", std::to_string(found.difficulty)},
        {"height", found.height},
        {"main_blockhash", found.main_blockhash},
        {"main_height", found.main_height},
        {"miner", found.miner},
        {"nonce", found.nonce},
        {"previous_blockhash", found.previous_blockhash},
        {"receipts", found.receipts},
        {"timestamp", found.timestamp},
        {"validator", found.validator},
    };
    return compact_json(result);
}

std::string result_msg_id(KeptKind kind, int64_t height, const std::string& nonce) {
    return std::string(kind == KeptKind::block ? "block-" : "share-") + std::to_string(height) + "-" + nonce;
}
