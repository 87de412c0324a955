#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/nats_test_client.h"

// JetStream administration for tests through the server's $JS.API subjects, on a raw test
// connection of its own (`admin`, subscribed to nothing else): streams made and read back
// message by message, so that what a stream holds can be counted by sequence and message id.

// The answer to a request on `subject`, or null after a time-out.
nlohmann::json js_request(NatsTestClient& admin, const std::string& subject, const nlohmann::json& body);

// Creates a stream; retries while a new cluster has no JetStream leader yet. Throws with the
// server's answer when it cannot.
void create_stream(NatsTestClient& admin, const nlohmann::json& config);

// The results stream a pool keeps: both results subjects, file storage, the given replicas.
nlohmann::json results_stream(int replicas = 1);

struct StoredMessage {
    uint64_t seq = 0;
    std::string subject;
    std::string msg_id;  // its Nats-Msg-Id header
    std::string data;
};
std::vector<StoredMessage> stored_messages(NatsTestClient& admin, const std::string& stream);

// The name of the server that leads `stream`; empty when the answer does not say.
std::string stream_leader(NatsTestClient& admin, const std::string& stream);
