#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "log_capture.h"
#include "monitor/request_head.h"
#include "monitor/status_api.h"
#include "monitor/status_page.h"
#include "monitor/status_report.h"
#include "support/loopback_socket.h"
#include "support/wait_until.h"

namespace {

using std::chrono::milliseconds;

MinerSnapshot two_gpu_snapshot() {
    MinerSnapshot s;
    GpuRate mining{1, "GPU \"B\"\\x", 1234.5678, {}};
    mining.telemetry.temp_c = 71;
    mining.telemetry.power_w = 220;
    mining.hw_errors = 2;
    mining.state = DeviceState::mining;
    GpuRate failed{0, "A", 0.0, {}};
    failed.state = DeviceState::failed;
    s.gpus = {mining, failed};
    s.counts = {12, 1, 7, 3};
    s.jobs_cancelled = 2;
    s.jobs_skipped = 4;
    s.height = 500;
    s.share_divisor = 4096;
    s.connected = true;
    s.server = "127.0.0.1:4222";
    s.outbox_size = 3;
    s.outbox_dropped = 5;
    s.refused_oversized = 1;
    s.console_dropped = 6;
    return s;
}

TEST(StatusReport, JsonIsTheHeartbeatWithRatesConnectionAndOutbox) {
    MinerSettings settings;
    settings.client_id = "rig1";
    EXPECT_EQ(status_json(settings, two_gpu_snapshot()),
              R"({"client_id":"rig1","connected":true,"console_dropped":6,"found_session":1,"gpus":[)"
              R"({"fan_pct":0,"hashrate_mhs":1234.57,"hw_errors":2,"index":1,"mem_total_mb":0,"mem_used_mb":0,)"
              R"("name":"GPU \"B\"\\x","power_w":220,"state":"mining","temp_c":71,"util_pct":0},)"
              R"({"fan_pct":0,"hashrate_mhs":0.0,"hw_errors":0,"index":0,"mem_total_mb":0,"mem_used_mb":0,"name":"A",)"
              R"("power_w":0,"state":"failed","temp_c":0,"util_pct":0}],"hashrate_mhs":1234.57,"height":500,)"
              R"("hostname":"rig1","jobs_cancelled":2,"jobs_received":3,"jobs_skipped":4,"outbox_dropped":5,)"
              R"("outbox_size":3,"refused_oversized":1,"server":"127.0.0.1:4222",)"
              R"("share_divisor":4096,"shares_session":7,"uptime_seconds":12,"version":"3.0.0","wallet":""})");
}

TEST(StatusReport, MetricsInTextExpositionFormat) {
    MinerSettings settings;
    settings.client_id = "rig\n1";
    MinerSnapshot status = two_gpu_snapshot();
    status.connected = false;
    status.server.clear();
    EXPECT_EQ(status_metrics(settings, status),
              "# HELP drevik_miner_info Client id of this miner; the value is always 1.\n"
              "# TYPE drevik_miner_info gauge\n"
              "drevik_miner_info{client_id=\"rig\\n1\"} 1\n"
              "# HELP drevik_uptime_seconds Seconds since the miner started.\n"
              "# TYPE drevik_uptime_seconds gauge\n"
              "drevik_uptime_seconds 12\n"
              "# HELP drevik_gpu_info Name of each selected GPU; the value is always 1.\n"
              "# TYPE drevik_gpu_info gauge\n"
              "drevik_gpu_info{gpu=\"1\",name=\"GPU \\\"B\\\"\\\\x\"} 1\n"
              "drevik_gpu_info{gpu=\"0\",name=\"A\"} 1\n"
              "# HELP drevik_gpu_state 1 for the state each GPU is in, 0 for the others.\n"
              "# TYPE drevik_gpu_state gauge\n"
              "drevik_gpu_state{gpu=\"1\",state=\"idle\"} 0\n"
              "drevik_gpu_state{gpu=\"1\",state=\"mining\"} 1\n"
              "drevik_gpu_state{gpu=\"1\",state=\"failed\"} 0\n"
              "drevik_gpu_state{gpu=\"0\",state=\"idle\"} 0\n"
              "drevik_gpu_state{gpu=\"0\",state=\"mining\"} 0\n"
              "drevik_gpu_state{gpu=\"0\",state=\"failed\"} 1\n"
              "# HELP drevik_hashrate_hashes_per_second Hash rate of each GPU over the last 30 seconds.\n"
              "# TYPE drevik_hashrate_hashes_per_second gauge\n"
              "drevik_hashrate_hashes_per_second{gpu=\"1\"} 1234567800\n"
              "drevik_hashrate_hashes_per_second{gpu=\"0\"} 0\n"
              "# HELP drevik_gpu_hardware_errors_total Finds of each GPU that failed the host re-check.\n"
              "# TYPE drevik_gpu_hardware_errors_total counter\n"
              "drevik_gpu_hardware_errors_total{gpu=\"1\"} 2\n"
              "drevik_gpu_hardware_errors_total{gpu=\"0\"} 0\n"
              "# HELP drevik_gpu_temperature_celsius Temperature of each GPU; 0 without telemetry.\n"
              "# TYPE drevik_gpu_temperature_celsius gauge\n"
              "drevik_gpu_temperature_celsius{gpu=\"1\"} 71\n"
              "drevik_gpu_temperature_celsius{gpu=\"0\"} 0\n"
              "# HELP drevik_gpu_power_watts Power draw of each GPU; 0 without telemetry.\n"
              "# TYPE drevik_gpu_power_watts gauge\n"
              "drevik_gpu_power_watts{gpu=\"1\"} 220\n"
              "drevik_gpu_power_watts{gpu=\"0\"} 0\n"
              "# HELP drevik_jobs_received_total Jobs received from the pool.\n"
              "# TYPE drevik_jobs_received_total counter\n"
              "drevik_jobs_received_total 3\n"
              "# HELP drevik_jobs_skipped_total Jobs skipped as duplicates or stale.\n"
              "# TYPE drevik_jobs_skipped_total counter\n"
              "drevik_jobs_skipped_total 4\n"
              "# HELP drevik_jobs_cancelled_total Jobs cancelled by the pool.\n"
              "# TYPE drevik_jobs_cancelled_total counter\n"
              "drevik_jobs_cancelled_total 2\n"
              "# HELP drevik_blocks_found_total Blocks found and published.\n"
              "# TYPE drevik_blocks_found_total counter\n"
              "drevik_blocks_found_total 1\n"
              "# HELP drevik_shares_sent_total Shares published.\n"
              "# TYPE drevik_shares_sent_total counter\n"
              "drevik_shares_sent_total 7\n"
              "# HELP drevik_bus_outbox_dropped_total Shares and blocks that fell out of the full outbox.\n"
              "# TYPE drevik_bus_outbox_dropped_total counter\n"
              "drevik_bus_outbox_dropped_total 5\n"
              "# HELP drevik_bus_refused_oversized_total Publishes refused as larger than the server's max_payload.\n"
              "# TYPE drevik_bus_refused_oversized_total counter\n"
              "drevik_bus_refused_oversized_total 1\n"
              "# HELP drevik_console_dropped_lines_total Console lines dropped while standard error was blocked.\n"
              "# TYPE drevik_console_dropped_lines_total counter\n"
              "drevik_console_dropped_lines_total 6\n"
              "# HELP drevik_job_height Height of the job taken last; 0 before the first.\n"
              "# TYPE drevik_job_height gauge\n"
              "drevik_job_height 500\n"
              "# HELP drevik_share_divisor Share divisor in force.\n"
              "# TYPE drevik_share_divisor gauge\n"
              "drevik_share_divisor 4096\n"
              "# HELP drevik_bus_connected 1 while connected to a NATS server.\n"
              "# TYPE drevik_bus_connected gauge\n"
              "drevik_bus_connected 0\n"
              "# HELP drevik_bus_outbox_messages Shares and blocks kept until the server confirms them.\n"
              "# TYPE drevik_bus_outbox_messages gauge\n"
              "drevik_bus_outbox_messages 3\n");
}

// Sends `request` on a new connection and returns everything the server sends until it closes.
std::string exchange(int port, const std::string& request) {
    const UniqueFd fd(connect_loopback(port));
    if (!fd) return "no connection";
    std::string response;
    if (send_all(fd.get(), request)) {
        while (read_within(fd.get(), response, milliseconds(15000)) > 0) {
        }
    }
    return response;
}

std::string status_line(const std::string& response) { return response.substr(0, response.find("\r\n")); }

class StatusApiTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(api.bind("127.0.0.1", 0));
        api.start([] { return std::string("{\"s\":1}"); }, [] { return std::string("m 1\n"); });
    }
    StatusApi api;
};

TEST_F(StatusApiTest, ServesThreeResourcesAndRefusesTheRest) {
    const struct {
        std::string request;
        std::string status;
        std::vector<std::string> contains;
    } cases[] = {
        {"GET /status HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 200 OK",
         {"Content-Type: application/json\r\n", "Connection: close\r\n", "\r\n\r\n{\"s\":1}"}},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK",
         {"Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n", "\r\n\r\nm 1\n"}},
        {"HEAD /status HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", {"Content-Length: 7\r\n"}},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 200 OK",
         {"Content-Type: text/html; charset=utf-8\r\n",
          "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
          "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n",
          "\r\n\r\n<!DOCTYPE html>"}},
        {"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found", {"\r\n\r\nnot found\n"}},
        {"GET /status/ HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found", {}},
        {"GET /etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found", {}},
        {"POST /status HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}",
         "HTTP/1.1 405 Method Not Allowed",
         {"Allow: GET, HEAD\r\n"}},
        {"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", {}},
        {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", {}},
        {"BREW /status HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request", {}},
        {"garbage\r\n\r\n", "HTTP/1.1 400 Bad Request", {}},
    };
    for (const auto& c : cases) {
        const std::string response = exchange(api.port(), c.request);
        EXPECT_EQ(status_line(response), c.status) << c.request;
        for (const std::string& part : c.contains) {
            EXPECT_NE(response.find(part), std::string::npos) << c.request << " lacks " << part << ":\n" << response;
        }
    }
    // HEAD sends the headers only.
    const std::string head = exchange(api.port(), "HEAD /status HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
}

// Clients that connect and then say nothing hold the API's threads for a bounded time only;
// stopping the API ends their connections at once.
TEST_F(StatusApiTest, SilentClientsAreCutOffAndStopEndsThem) {
    std::vector<UniqueFd> silent;
    for (int i = 0; i < 4; ++i) silent.emplace_back(connect_loopback(api.port()));
    for (const UniqueFd& fd : silent) ASSERT_TRUE(fd);
    // Served once the silent connections' time is up.
    EXPECT_EQ(status_line(exchange(api.port(), "GET /status HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 200 OK");
    for (const UniqueFd& fd : silent) {
        std::string ignored;
        EXPECT_EQ(read_within(fd.get(), ignored, milliseconds(15000)), 0) << "a silent connection was kept open";
    }

    silent.clear();
    for (int i = 0; i < 3; ++i) silent.emplace_back(connect_loopback(api.port()));
    std::thread stopper([&] { api.stop(); });
    for (const UniqueFd& fd : silent) {
        std::string ignored;
        EXPECT_EQ(read_within(fd.get(), ignored, milliseconds(15000)), 0);
    }
    stopper.join();
    EXPECT_FALSE(UniqueFd(connect_loopback(api.port()))) << "still listening after stop";
}

// A client that sends its request a byte at a time, each within the per-read time-out of a
// plain HTTP server, is still cut off: the connection has one deadline for all of it.
TEST_F(StatusApiTest, TricklingClientIsCutOff) {
    const UniqueFd fd(connect_loopback(api.port()));
    ASSERT_TRUE(fd);
    const std::string request = "GET /status HTTP/1.1\r\nX-Slow: " + std::string(400, 'a') + "\r\n\r\n";
    size_t sent = 0;
    std::string reply;
    // 40 s of trickling if nothing cuts it off; the server's deadline is a few seconds.
    while (sent < request.size() && send_all(fd.get(), request.substr(sent, 1))) {
        ++sent;
        if (read_within(fd.get(), reply, milliseconds(100)) == 0) break;
    }
    EXPECT_LT(sent, request.size()) << "the whole trickled request was taken";
    EXPECT_EQ(reply.find("200 OK"), std::string::npos);
}

TEST(RequestHead, EndsAtTheEmptyLineWithinItsLimits) {
    const std::string line(kMaxRequestLineBytes - 2, 'a');  // with its CR LF: at the limit
    std::string many_headers = "GET / HTTP/1.1\r\n";
    for (size_t i = 0; i < kMaxHeaderLines; ++i) many_headers += "A:1\r\n";
    std::string large_head = "GET / HTTP/1.1\r\nX: ";
    large_head += std::string(kMaxRequestHeadBytes - large_head.size() - 4, 'x') + "\r\n";  // at the limit with CR LF
    const struct {
        std::string bytes;
        HeadVerdict verdict;
        size_t used;  // of a complete head
    } cases[] = {
        {"GET /status HTTP/1.1\r\nHost: x\r\n\r\nBODY", HeadVerdict::complete, 33},
        {"GET /status HTTP/1.0\n\nnext", HeadVerdict::complete, 22},
        {"\r\n", HeadVerdict::complete, 2},
        {"GET /status HTTP/1.1\r\nHost: x\r\n", HeadVerdict::more, 0},
        {"GET /status HTTP/1.1\r\nX: \r\r\n", HeadVerdict::more, 0},  // a CR inside a line ends nothing
        {line + "\r\n\r\n", HeadVerdict::complete, line.size() + 4},
        {line + "a\r", HeadVerdict::request_line_too_long, 0},
        {many_headers + "\r\n", HeadVerdict::complete, many_headers.size() + 2},
        {many_headers + "A:1\r\n", HeadVerdict::headers_too_large, 0},
        {large_head + "\r\n", HeadVerdict::complete, kMaxRequestHeadBytes},
        {large_head + "x\r\n", HeadVerdict::headers_too_large, 0},
    };
    for (const auto& c : cases) {
        // Whole, then a byte at a time, as a trickling client sends it.
        RequestHead whole;
        size_t used = 0;
        EXPECT_EQ(feed_request_head(whole, c.bytes, used), c.verdict) << c.bytes.substr(0, 40);
        if (c.verdict == HeadVerdict::complete) {
            EXPECT_EQ(used, c.used) << c.bytes.substr(0, 40);
        }
        RequestHead trickled;
        HeadVerdict verdict = HeadVerdict::more;
        for (size_t i = 0; i < c.bytes.size() && verdict == HeadVerdict::more; ++i) {
            verdict = feed_request_head(trickled, std::string_view(c.bytes).substr(i, 1), used);
        }
        EXPECT_EQ(verdict, c.verdict) << c.bytes.substr(0, 40);
    }
}

// Sends `first`, then `repeated` over and over until the server stops taking it (or 64 MiB);
// returns the answer, and whether the server cut the connection off before then.
std::pair<std::string, bool> flood(int port, const std::string& first, const std::string& repeated) {
    const UniqueFd fd(connect_loopback(port));
    if (!fd) return {"no connection", false};
    std::string block;
    while (block.size() < 65536) block += repeated;
    bool cut_off = false;
    std::thread sender([&] {
        bool ok = send_all(fd.get(), first);
        for (size_t sent = 0; ok && sent < (size_t{64} << 20); sent += block.size()) ok = send_all(fd.get(), block);
        cut_off = !ok;
        shutdown(fd.get(), SHUT_WR);
    });
    std::string response;
    while (read_within(fd.get(), response, milliseconds(15000)) > 0) {
    }
    sender.join();
    return {response, cut_off};
}

// A request line or header lines beyond the limits are answered 414 or 431 as soon as the limit
// is passed, and the connection is cut off: no client can make the process hold more.
TEST_F(StatusApiTest, OversizedRequestHeadsAreRefusedAsTheyArrive) {
    const std::string get = "GET /status HTTP/1.1\r\n";
    const std::string too_large = "HTTP/1.1 431 Request Header Fields Too Large";
    const struct {
        std::string first;
        std::string repeated;
        std::string status;
    } cases[] = {
        {"GET /", "a", "HTTP/1.1 414 URI Too Long"},
        {get, "X-Flood: 0123456789abcdef\r\n", too_large},
        {get, "a:\r\n", too_large},
        {get + "X-Long: ", "a", too_large},
    };
    for (const auto& c : cases) {
        const auto [response, cut_off] = flood(api.port(), c.first, c.repeated);
        EXPECT_EQ(status_line(response), c.status) << c.repeated;
        EXPECT_NE(response.find("\r\nConnection: close\r\n"), std::string::npos) << response;
        EXPECT_TRUE(cut_off) << "the server read on after its answer: " << c.repeated;
    }
    // At the limits a request is served.
    std::string request = "GET /status?" + std::string(kMaxRequestLineBytes - 25, 'q') + " HTTP/1.1\r\n";
    for (size_t i = 1; i < kMaxHeaderLines; ++i) request += "X-" + std::to_string(i) + ": 1\r\n";
    request += "Host: x\r\n\r\n";
    EXPECT_EQ(status_line(exchange(api.port(), request)), "HTTP/1.1 200 OK");
}

// A burst of clients is taken into the listen queue at once: none of them has to send its SYN
// again, and each is answered.
TEST_F(StatusApiTest, BurstOfClientsIsQueuedAndServed) {
    constexpr int kClients = 200;
    std::vector<UniqueFd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(api.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Non-blocking: the connection is under way (EINPROGRESS) when this returns.
        (void)connect(clients.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    // Blocking from here on: a send waits until its connection is made.
    for (const UniqueFd& fd : clients) fcntl(fd.get(), F_SETFL, 0);
    int answered = 0;
    unsigned retransmitted = 0;
    for (const UniqueFd& fd : clients) {
        std::string response;
        if (send_all(fd.get(), "GET /status HTTP/1.1\r\nHost: x\r\n\r\n")) {
            while (read_within(fd.get(), response, milliseconds(30000)) > 0) {
            }
        }
        if (status_line(response) == "HTTP/1.1 200 OK") ++answered;
        tcp_info info{};
        socklen_t length = sizeof info;
        if (getsockopt(fd.get(), IPPROTO_TCP, TCP_INFO, &info, &length) == 0) retransmitted += info.tcpi_total_retrans;
    }
    EXPECT_EQ(answered, kClients);
    EXPECT_EQ(retransmitted, 0u) << "connection attempts were dropped and sent again";
}

TEST(StatusApi, WildcardAddressesAreTold) {
    for (const auto& [address, every] : {std::pair<const char*, bool>{"127.0.0.1", false},
                                         {"0", true},
                                         {"0.0.0.0", true},
                                         {"::", true},
                                         {"::1", false}}) {
        StatusApi api;
        if (!api.bind(address, 0)) {
            EXPECT_NE(std::string(address).find(':'), std::string::npos) << address << " (IPv6 may be off)";
            continue;
        }
        EXPECT_EQ(api.on_every_address(), every) << address;
    }
}

// Rigs are often offline: the page fetches nothing but /status, and its links stay on the miner.
TEST(StatusPage, LoadsNothingFromElsewhere) {
    const std::string page(status_page_html());
    for (const char* fetching : {"src=", "<link", "@import", "url(", "<iframe", "<object", "<embed", "srcset"}) {
        EXPECT_EQ(page.find(fetching), std::string::npos) << fetching;
    }
    const std::regex href("href=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), href); it != std::sregex_iterator(); ++it) {
        const std::string target = (*it)[1];
        EXPECT_EQ(target.find_first_of(":/"), std::string::npos) << "not relative: " << target;
    }
    EXPECT_NE(page.find("fetch(\"status\""), std::string::npos);
}

TEST(StatusApi, AFailingReportIsAnsweredWith500AndLogged) {
    StatusApi api;
    ASSERT_TRUE(api.bind("127.0.0.1", 0));
    api.start([]() -> std::string { throw std::runtime_error("no rates"); }, []() -> std::string { throw 1; });
    LogCapture log;
    for (const char* path : {"/status", "/metrics", "/status"}) {
        const std::string response = exchange(api.port(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(status_line(response), "HTTP/1.1 500 Internal Server Error") << path;
        EXPECT_EQ(response.substr(response.find("\r\n\r\n")), "\r\n\r\ninternal error\n") << response;
        EXPECT_EQ(response.find("no rates"), std::string::npos) << "the error text stays in the log";
    }
    api.stop();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ERROR Status API: report failed: no rates",
                                                     "ERROR Status API: report failed: unknown error",
                                                     "ERROR Status API: report failed: no rates"}));
}

TEST(StatusApi, PortInUseIsRefused) {
    int port = 0;
    UniqueFd taken(listen_loopback(4, port));
    ASSERT_TRUE(taken);
    StatusApi api;
    EXPECT_FALSE(api.bind("127.0.0.1", port));
    taken.reset();
    // Nor does a second API share the port of a first.
    StatusApi first;
    ASSERT_TRUE(first.bind("127.0.0.1", 0));
    StatusApi second;
    EXPECT_FALSE(second.bind("127.0.0.1", first.port()));
    StatusApi unbindable;
    EXPECT_FALSE(unbindable.bind("no-such-host.invalid", 8080));
}

}  // namespace
