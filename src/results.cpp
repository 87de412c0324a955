#include "results.h"

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

void publish_share(const MinerEnv& env, const MiningJob& job, const std::string& nonce, int64_t timestamp) {
    env.publisher.publish_kept(kShareSubject, share_message(job, nonce, timestamp, env.settings), KeptKind::share,
                               result_msg_id(KeptKind::share, job.height, nonce));
    env.state.shares_sent.fetch_add(1);
}

void publish_block(const MinerEnv& env, const MiningJob& job, const std::string& nonce, const std::string& block_hash,
                   int64_t timestamp) {
    MiningJob found = job;
    found.timestamp = timestamp;
    found.nonce = nonce;
    found.blockhash = block_hash;
    env.publisher.publish_kept(kResultSubject, result_message(found, env.settings), KeptKind::block,
                               result_msg_id(KeptKind::block, job.height, nonce));
}
