#include "support/nats_server_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/unique_fd.h"
#include "support/loopback_socket.h"
#include "support/wait_until.h"

namespace {

constexpr const char* kServerBinary = "/usr/sbin/nats-server";

bool exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// True once the server greets a client with its INFO line.
bool greets(int port) {
    const UniqueFd fd(connect_loopback(port));
    if (!fd) return false;
    std::string greeting;
    read_within(fd.get(), greeting, std::chrono::milliseconds(1000));
    return greeting.rfind("INFO ", 0) == 0;
}

nlohmann::json connections(const NatsServerProcess& server) {
    const nlohmann::json connz = nlohmann::json::parse(server.monitor_get("/connz?subs=detail"), nullptr, false);
    if (!connz.is_object() || !connz.contains("connections")) return nlohmann::json::array();
    return connz["connections"];
}

}  // namespace

NatsServerProcess::NatsServerProcess(std::vector<std::string> more_options) : options(std::move(more_options)) {
    client_port = pick_free_port();
    http_port = pick_free_port();
}

NatsServerProcess::~NatsServerProcess() { stop(); }

std::string NatsServerProcess::address() const { return "127.0.0.1:" + std::to_string(client_port); }

std::string NatsServerProcess::url() const { return "nats://" + address(); }

void NatsServerProcess::start() {
    if (pid > 0) return;
    // Another process may grab a picked port between picking and binding: pick anew, unless the
    // server ran already and clients expect it back on its port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (spawn_and_wait()) {
            ever_started = true;
            return;
        }
        if (!ever_started) {
            client_port = pick_free_port();
            http_port = pick_free_port();
        }
    }
    throw std::runtime_error("nats-server did not start on port " + std::to_string(client_port));
}

bool NatsServerProcess::spawn_and_wait() {
    const std::string port_text = std::to_string(client_port);
    const std::string http_text = std::to_string(http_port);
    std::vector<const char*> argv = {kServerBinary,     "-a", "127.0.0.1",      "-p",
                                     port_text.c_str(), "-m", http_text.c_str()};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execv(kServerBinary, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    pid = child;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (exited(pid)) {
            pid = -1;
            return false;
        }
        if (greets(client_port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void NatsServerProcess::stop() {
    if (pid <= 0) return;
    kill(pid, SIGCONT);  // a paused server could not act on SIGTERM
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!exited(pid)) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
}

void NatsServerProcess::kill_hard() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

void NatsServerProcess::pause() {
    if (pid <= 0) return;
    kill(pid, SIGSTOP);
    // kill() returns before the process has stopped; until then it may still handle traffic.
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    wait_until([&] {
        std::ifstream stat(stat_path);
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t name_end = text.rfind(')');
        return name_end != std::string::npos && text.compare(name_end, 4, ") T ") == 0;
    });
}

void NatsServerProcess::resume() {
    if (pid > 0) kill(pid, SIGCONT);
}

void NatsServerProcess::restart() {
    stop();
    start();
}

std::string NatsServerProcess::monitor_get(const std::string& path) const {
    const UniqueFd fd(connect_loopback(http_port));
    if (!fd) return "";
    std::string response;
    if (send_all(fd.get(), "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) {
        while (read_within(fd.get(), response, std::chrono::milliseconds(5000)) > 0) {
        }
    }
    const size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
}

std::vector<NatsServerProcess::Subscription> NatsServerProcess::subscriptions_of(
    const std::string& connection_name) const {
    std::vector<Subscription> result;
    for (const nlohmann::json& connection : connections(*this)) {
        if (connection.value("name", "") != connection_name) continue;
        for (const nlohmann::json& s : connection.value("subscriptions_list_detail", nlohmann::json::array())) {
            result.push_back({s.value("subject", ""), s.value("sid", "")});
        }
        break;
    }
    return result;
}

int NatsServerProcess::connections_named(const std::string& connection_name) const {
    int count = 0;
    for (const nlohmann::json& connection : connections(*this)) {
        if (connection.value("name", "") == connection_name) ++count;
    }
    return count;
}
