#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One mining job as received on the job subject (text fields byte for byte).
struct MiningJob {
    int64_t height = 0;
    int64_t timestamp = 0;
    std::vector<std::string> receipts;
    int64_t main_height = 0;
    std::string main_blockhash;
    std::string previous_blockhash;
    std::string blockhash;  // empty in a received job; set only in the copy a block result is built from
    std::string nonce;
    std::string validator;
    std::string miner;
    int64_t difficulty = 0;
    int64_t share_difficulty = 0;
};
