#include "support/jetstream.h"

#include <stdexcept>
#include <thread>

#include "support/wait_until.h"

namespace {

std::string base64_decoded(const std::string& text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const size_t value = kAlphabet.find(c);
        if (value == std::string::npos) continue;  // padding
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

std::string header_value(const std::string& headers, const std::string& name) {
    const std::string key = "\r\n" + name + ":";
    const size_t at = headers.find(key);
    if (at == std::string::npos) return "";
    size_t from = at + key.size();
    while (from < headers.size() && headers[from] == ' ') ++from;
    return headers.substr(from, headers.find("\r\n", from) - from);
}

}  // namespace

nlohmann::json js_request(NatsTestClient& admin, const std::string& subject, const nlohmann::json& body) {
    const std::optional<std::string> answer = admin.request(subject, body.dump());
    if (!answer) return nullptr;
    return nlohmann::json::parse(*answer, nullptr, false);
}

void create_stream(NatsTestClient& admin, const nlohmann::json& config) {
    const std::string subject = "$JS.API.STREAM.CREATE." + config.at("name").get<std::string>();
    nlohmann::json answer;
    const bool created = wait_until(
        [&] {
            answer = js_request(admin, subject, config);
            if (answer.is_object() && !answer.contains("error")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return false;
        },
        std::chrono::milliseconds(20000));
    if (!created) throw std::runtime_error("cannot create the stream: " + answer.dump());
}

nlohmann::json results_stream(int replicas) {
    return {{"name", "RESULTS"},
            {"subjects", {"drevik.mining.share", "drevik.mining.result"}},
            {"storage", "file"},
            {"num_replicas", replicas},
            {"duplicate_window", 120'000'000'000LL}};
}

std::vector<StoredMessage> stored_messages(NatsTestClient& admin, const std::string& stream) {
    const nlohmann::json info = js_request(admin, "$JS.API.STREAM.INFO." + stream, nlohmann::json::object());
    if (!info.is_object() || !info.contains("state")) throw std::runtime_error("no stream info: " + info.dump());
    const uint64_t first = info["state"].value("first_seq", uint64_t{0});
    const uint64_t last = info["state"].value("last_seq", uint64_t{0});
    std::vector<StoredMessage> stored;
    for (uint64_t seq = first; seq != 0 && seq <= last; ++seq) {
        const nlohmann::json got = js_request(admin, "$JS.API.STREAM.MSG.GET." + stream, {{"seq", seq}});
        if (!got.is_object() || !got.contains("message")) continue;  // deleted
        const nlohmann::json& message = got["message"];
        StoredMessage one;
        one.seq = seq;
        one.subject = message.value("subject", "");
        one.msg_id = header_value(base64_decoded(message.value("hdrs", "")), "Nats-Msg-Id");
        one.data = base64_decoded(message.value("data", ""));
        stored.push_back(std::move(one));
    }
    return stored;
}

std::string stream_leader(NatsTestClient& admin, const std::string& stream) {
    const nlohmann::json info = js_request(admin, "$JS.API.STREAM.INFO." + stream, nlohmann::json::object());
    if (!info.is_object() || !info.contains("cluster")) return "";
    return info["cluster"].value("leader", "");
}
