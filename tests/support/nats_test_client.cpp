#include "support/nats_test_client.h"

#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/loopback_socket.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

NatsTestClient::NatsTestClient(int port, const std::string& name) {
    fd.reset(connect_loopback(port));
    if (!fd) throw std::runtime_error("test client: cannot connect");
    std::string info;
    if (!read_line(Clock::now() + std::chrono::seconds(5), info) || info.rfind("INFO ", 0) != 0) {
        throw std::runtime_error("test client: no INFO greeting");
    }
    send_all(fd.get(), "CONNECT {\"verbose\":false,\"pedantic\":false,\"name\":\"" + name + "\"}\r\n");
    if (!flush()) throw std::runtime_error("test client: handshake failed");
}

NatsTestClient::~NatsTestClient() = default;

void NatsTestClient::subscribe(const std::string& subject, int sid) {
    send_all(fd.get(), "SUB " + subject + " " + std::to_string(sid) + "\r\n");
}

void NatsTestClient::publish(const std::string& subject, const std::string& payload) {
    send_all(fd.get(), "PUB " + subject + " " + std::to_string(payload.size()) + "\r\n" + payload + "\r\n");
}

bool NatsTestClient::flush(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    pong_seen = false;
    send_all(fd.get(), "PING\r\n");
    std::string line;
    while (!pong_seen) {
        if (!read_line(deadline, line) || !handle(line, deadline)) return false;
    }
    return true;
}

std::optional<NatsTestClient::Message> NatsTestClient::next_message(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::string line;
    while (messages.empty()) {
        if (!read_line(deadline, line) || !handle(line, deadline)) return std::nullopt;
    }
    Message message = messages.front();
    messages.pop_front();
    return message;
}

std::optional<std::string> NatsTestClient::request(const std::string& subject, const std::string& payload,
                                                   std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    const int sid = 100000 + ++requests;
    const std::string inbox = "_TEST_INBOX." + std::to_string(sid);
    send_all(fd.get(), "SUB " + inbox + " " + std::to_string(sid) + "\r\nPUB " + subject + " " + inbox + " " +
                           std::to_string(payload.size()) + "\r\n" + payload + "\r\n");
    std::optional<std::string> answer;
    std::string line;
    while (!answer) {
        for (auto it = messages.begin(); it != messages.end(); ++it) {
            if (it->subject != inbox) continue;
            answer = it->data;
            messages.erase(it);
            break;
        }
        if (!answer && (!read_line(deadline, line) || !handle(line, deadline))) break;
    }
    send_all(fd.get(), "UNSUB " + std::to_string(sid) + "\r\n");
    return answer;
}

bool NatsTestClient::fill_to(size_t size, Clock::time_point deadline) {
    while (buffer.size() < size) {
        if (read_within(fd.get(), buffer, time_left(deadline)) <= 0) return false;
    }
    return true;
}

bool NatsTestClient::read_line(Clock::time_point deadline, std::string& line) {
    for (;;) {
        const size_t end = buffer.find("\r\n");
        if (end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 2);
            return true;
        }
        if (read_within(fd.get(), buffer, time_left(deadline)) <= 0) return false;
    }
}

bool NatsTestClient::handle(const std::string& line, Clock::time_point deadline) {
    if (line == "PING") return send_all(fd.get(), "PONG\r\n");
    if (line == "PONG") {
        pong_seen = true;
        return true;
    }
    if (line.rfind("-ERR", 0) == 0) throw std::runtime_error("test client: server said " + line);
    if (line.rfind("MSG ", 0) != 0) return true;

    std::istringstream fields(line);
    std::vector<std::string> tokens;
    for (std::string token; fields >> token;) tokens.push_back(token);
    const size_t count = std::stoul(tokens.back());
    if (!fill_to(count + 2, deadline)) return false;
    Message message;
    message.subject = tokens[1];
    message.sid = tokens[2];
    message.data = buffer.substr(0, count);
    if (tokens.size() == 5) message.reply = tokens[3];
    messages.push_back(std::move(message));
    buffer.erase(0, count + 2);
    return true;
}
