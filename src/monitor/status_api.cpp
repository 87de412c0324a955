#include "monitor/status_api.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include <httplib.h>

#include "common/mutex.h"
#include "common/run_reporting.h"
#include "common/unique_fd.h"
#include "common/thread_annotations.h"
#include "common/log.h"
#include "common/steady_clock.h"
#include "monitor/request_head.h"
#include "monitor/status_page.h"

namespace {

constexpr size_t kWorkerThreads = 2;
constexpr size_t kWaitingConnections = 8;
// The library listens with a queue of 5, which drops a burst of scrapes on the floor: the
// clients' connection attempts are retried only after a second or more.
constexpr int kListenBacklog = 256;
constexpr double kConnectionSeconds = 3.0;  // the whole life of one connection
constexpr size_t kRequestBodyLimit = 4096;

// A connection's socket with one deadline for all of its reads and writes, cut short when the
// API stops (`wake_fd` turns readable). Reads are buffered: the library reads request lines a
// byte at a time. The request head is read whole first, within its limits, so the library
// never sees one that exceeds them.
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(int sock, int wake_fd)
        : sock_(sock), wake_fd_(wake_fd), deadline_(steady_seconds() + kConnectionSeconds) {}

    // Reads until the request head is complete or breaks a limit. `more` when the client closed
    // the connection or its time is up first.
    HeadVerdict read_head() {
        RequestHead head;
        for (;;) {
            // A full buffer holds the most a head may be, and it goes on.
            if (buffered_ == sizeof buffer_) return HeadVerdict::headers_too_large;
            if (!wait_for(POLLIN)) return HeadVerdict::more;
            const ssize_t n = receive(buffer_ + buffered_, sizeof buffer_ - buffered_);
            if (n <= 0) return HeadVerdict::more;
            size_t used = 0;
            const HeadVerdict verdict =
                feed_request_head(head, std::string_view(buffer_ + buffered_, static_cast<size_t>(n)), used);
            buffered_ += static_cast<size_t>(n);
            if (verdict != HeadVerdict::more) return verdict;
        }
    }

    bool is_readable() const override { return consumed_ < buffered_ || wait_for(POLLIN); }
    bool is_writable() const override { return wait_for(POLLOUT); }

    ssize_t read(char* data, size_t size) override {
        if (consumed_ == buffered_) {
            if (!is_readable()) return -1;
            const ssize_t n = receive(buffer_, sizeof buffer_);
            if (n <= 0) return n;
            buffered_ = static_cast<size_t>(n);
            consumed_ = 0;
        }
        const size_t taken = std::min(size, buffered_ - consumed_);
        std::copy(buffer_ + consumed_, buffer_ + consumed_ + taken, data);
        consumed_ += taken;
        return static_cast<ssize_t>(taken);
    }

    ssize_t write(const char* data, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t n;
        do n = send(sock_, data, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address_of(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address_of(getsockname, ip, port); }
    int socket() const override { return sock_; }

private:
    ssize_t receive(char* data, size_t size) const {
        ssize_t n;
        do n = recv(sock_, data, size, 0);
        while (n < 0 && errno == EINTR);
        return n;
    }

    bool wait_for(short events) const {
        for (;;) {
            const double left = deadline_ - steady_seconds();
            if (left <= 0) return false;
            pollfd fds[2] = {{sock_, events, 0}, {wake_fd_, POLLIN, 0}};
            const int ready = poll(fds, 2, static_cast<int>(std::ceil(left * 1000)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || fds[1].revents != 0) return false;
            // An error or hang-up counts as ready: the read or write then reports it.
            return true;
        }
    }

    void address_of(int (*query)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ip.clear();
        port = 0;
        if (query(sock_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
        char text[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            port = ntohs(v4->sin_port);
        } else if (address.ss_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            port = ntohs(v6->sin6_port);
        }
        ip = text;
    }

    int sock_;
    int wake_fd_;
    double deadline_;
    char buffer_[kMaxRequestHeadBytes];
    size_t buffered_ = 0;
    size_t consumed_ = 0;
};

// The answer to a request head over the limits, which the library is never given.
std::string refusal(HeadVerdict verdict) {
    const bool line = verdict == HeadVerdict::request_line_too_long;
    const std::string body = line ? "request line too long\n" : "request header fields too large\n";
    return std::string(line ? "HTTP/1.1 414 URI Too Long" : "HTTP/1.1 431 Request Header Fields Too Large") +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// httplib's server with each accepted connection served through a DeadlineStream, one request
// per connection. (The library's own connection loop only bounds each single read, and it
// reads request lines and headers of any length and number.)
class DeadlineServer : public httplib::Server {
public:
    explicit DeadlineServer(int wake_fd) : wake_fd_(wake_fd) {}

    // Makes the listen queue long enough for a burst of clients. Linux takes a second listen()
    // on a listening socket as a new queue length.
    bool lengthen_listen_queue() { return ::listen(svr_sock_, kListenBacklog) == 0; }

    // True when bound to the wildcard address of its family (0.0.0.0, ::).
    bool on_every_address() const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockname(svr_sock_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
        if (address.ss_family == AF_INET) {
            return reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr == htonl(INADDR_ANY);
        }
        return address.ss_family == AF_INET6 &&
               IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
    }

private:
    // Runs on a worker of the task queue, where nothing may be thrown: a connection that
    // fails is logged and closed, and the worker takes the next one.
    bool process_and_close_socket(int sock) override {
        const UniqueFd owned(sock);
        bool ok = false;
        run_reporting(
            [&] {
                DeadlineStream stream(sock, wake_fd_);
                const HeadVerdict head = stream.read_head();
                if (head == HeadVerdict::complete) {
                    bool closed = false;
                    ok = process_request(stream, true, closed, nullptr);
                } else if (head != HeadVerdict::more) {
                    const std::string answer = refusal(head);
                    ok = stream.write(answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
                }
            },
            [](const char* what) { log_line("ERROR", "Status API: connection failed: %s", what); });
        shutdown(sock, SHUT_RDWR);
        return ok;
    }

    int wake_fd_;
};

// A fixed set of threads with a short queue. The accepting thread waits while the queue is
// full, so waiting connections stay in the kernel's listen queue, not in descriptors here.
class BoundedTaskQueue : public httplib::TaskQueue {
public:
    BoundedTaskQueue() {
        for (size_t i = 0; i < kWorkerThreads; ++i) threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> task) override EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (tasks_.size() >= kWaitingConnections) space_.wait(mutex_);
        tasks_.push_back(std::move(task));
        ready_.notify_one();
    }

    // Runs what is queued (each connection ends at once when the API stops), then joins.
    void shutdown() override EXCLUDES(mutex_) {
        {
            MutexLock lock(mutex_);
            closing_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

private:
    void work() EXCLUDES(mutex_) {
        for (;;) {
            std::function<void()> task;
            {
                MutexLock lock(mutex_);
                while (!closing_ && tasks_.empty()) ready_.wait(mutex_);
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            space_.notify_one();
            task();
        }
    }

    Mutex mutex_;
    CondVar ready_;
    CondVar space_;
    std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
    bool closing_ GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_;  // started in the constructor, joined by shutdown
};

void set_text(httplib::Response& response, int status, const char* text) {
    response.status = status;
    response.set_content(text, "text/plain; charset=utf-8");
}

// A report that cannot be made is answered with 500 and logged: nothing the miner's side
// throws reaches the library's threads.
void answer(httplib::Response& response, const StatusApi::Render& render, const char* type) {
    run_reporting([&] { response.set_content(render(), type); },
                  [&](const char* what) {
                      log_line("ERROR", "Status API: report failed: %s", what);
                      set_text(response, 500, "internal error\n");
                  });
}

}  // namespace

struct StatusApi::Impl {
    UniqueFd wake_fd{eventfd(0, EFD_CLOEXEC)};
    DeadlineServer server{wake_fd.get()};
    int port = 0;
    std::thread listener;
    std::atomic<bool> listen_returned{false};
};

StatusApi::StatusApi() : impl(std::make_unique<Impl>()) {}

StatusApi::~StatusApi() { stop(); }

bool StatusApi::bind(const std::string& address, int port) {
    if (!impl->wake_fd) return false;
    // Address reuse for a quick restart, but not the library's default port sharing, which
    // would let a second miner bind the same port and take half of the first one's requests.
    impl->server.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (port == 0) {
        impl->port = impl->server.bind_to_any_port(address);
    } else {
        impl->port = impl->server.bind_to_port(address, port) ? port : -1;
    }
    return impl->port > 0 && impl->server.lengthen_listen_queue();
}

int StatusApi::port() const { return impl->port; }

bool StatusApi::on_every_address() const { return impl->server.on_every_address(); }

namespace {

struct Route {
    const char* path;
    const char* type;
    StatusApi::Render render;
};

}  // namespace

void StatusApi::start(Render status, Render metrics) {
    // What the API serves, to GET and HEAD alone.
    std::vector<Route> routes = {
        {"/status", "application/json", std::move(status)},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", std::move(metrics)},
    };
    httplib::Server& server = impl->server;
    server.new_task_queue = [] { return new BoundedTaskQueue(); };
    server.set_payload_max_length(kRequestBodyLimit);
    // The status page and the routes; everything else is answered before any body is read.
    std::vector<std::string> paths = {"/"};
    for (const Route& route : routes) paths.emplace_back(route.path);
    server.set_pre_routing_handler([paths](const httplib::Request& request, httplib::Response& response) {
        if (std::find(paths.begin(), paths.end(), request.path) == paths.end()) {
            set_text(response, 404, "not found\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (request.method != "GET" && request.method != "HEAD") {
            set_text(response, 405, "method not allowed\n");
            response.set_header("Allow", "GET, HEAD");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        const std::string_view page = status_page_html();
        response.set_content(page.data(), page.size(), "text/html; charset=utf-8");
        response.set_header("Content-Security-Policy", kStatusPagePolicy);
    });
    for (Route& route : routes) {
        server.Get(route.path,
                   [type = route.type, render = std::move(route.render)](
                       const httplib::Request&, httplib::Response& response) { answer(response, render, type); });
    }
    impl->listener = std::thread([this] {
        // The listening thread ends here: a failure is logged, and the API stops serving.
        run_reporting([this] { impl->server.listen_after_bind(); },
                      [](const char* what) { log_line("ERROR", "Status API: listener failed: %s", what); });
        impl->listen_returned.store(true);
    });
    // stop() only reaches a server that is running: wait until it is (or has given up).
    while (!server.is_running() && !impl->listen_returned.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void StatusApi::stop() {
    if (!impl->listener.joinable()) return;
    const uint64_t one = 1;
    while (write(impl->wake_fd.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    impl->server.stop();
    impl->listener.join();
}
