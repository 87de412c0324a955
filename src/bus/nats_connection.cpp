// NatsClient life cycle: server passes, connecting, handshake, disconnect and back-off.

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>


#include "bus/nats_client.h"
#include "bus/nats_protocol.h"
#include "bus/socket_wait.h"
#include "console.h"

namespace {

long whole_seconds(std::chrono::milliseconds duration) {
    return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(duration).count());
}

}  // namespace

NatsClient::NatsClient(std::string name, NatsTimings timings)
    : name(std::move(name)), timings(timings), wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

NatsClient::~NatsClient() {
    stop();
    if (wake_fd >= 0) close(wake_fd);
}

void NatsClient::set_servers(std::vector<std::string> list) { servers = std::move(list); }

void NatsClient::start() {
    running.exchange(true);
    reader = std::thread(&NatsClient::run, this);
}

void NatsClient::stop() {
    running.exchange(false);
    connected.exchange(false);
    // The eventfd stays readable from now on, so every later wait of the reader ends at once.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_fd, &one, sizeof one);
    {
        std::lock_guard<std::mutex> lock(sock_mutex);
        if (sock >= 0) shutdown(sock, SHUT_RDWR);
        sock = -1;
    }
    if (reader.joinable()) reader.join();
}

bool NatsClient::is_connected() const { return connected.load(); }

std::string NatsClient::current_server_copy() const {
    std::lock_guard<std::mutex> lock(current_server_mutex);
    return current_server;
}

void NatsClient::set_current_server(std::string server) {
    std::lock_guard<std::mutex> lock(current_server_mutex);
    current_server = std::move(server);
}

bool NatsClient::connect_to(const std::string& host, int port) {
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0) return false;

    int fd = -1;
    for (const addrinfo* a = addresses; a != nullptr && running.load(); a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect_until(fd, a->ai_addr, a->ai_addrlen, timings.connect_timeout, wake_fd)) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(addresses);
    if (fd < 0) return false;

    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_socket_timeout(fd, SO_SNDTIMEO, timings.connect_timeout);
    set_socket_timeout(fd, SO_RCVTIMEO, timings.receive_timeout);

    // stop() clears `running` before it looks at `sock`: checking under the same lock means a
    // stop either sees this descriptor and shuts it down, or is seen here.
    std::lock_guard<std::mutex> lock(sock_mutex);
    if (!running.load()) {
        close(fd);
        return false;
    }
    sock = fd;
    reader_sock = fd;
    return true;
}

void NatsClient::close_connection() {
    if (reader_sock < 0) return;
    {
        std::lock_guard<std::mutex> send_lock(send_mutex);
        std::lock_guard<std::mutex> sock_lock(sock_mutex);
        sock = -1;
    }
    close(reader_sock);
    reader_sock = -1;
}

void NatsClient::handshake() {
    send_raw(connect_line(name));
    // A subscribe() racing with this block is either in the SUB text or sees `connected`.
    std::lock_guard<std::mutex> lock(subscriptions_mutex);
    resubscribe_all();
    send_raw("PING\r\n");
    connected.exchange(true);
}

void NatsClient::back_off() { sleep_unless_woken(timings.backoff, wake_fd); }

void NatsClient::run() {
    std::vector<char> chunk(kReceiveChunkBytes);
    while (running.load()) {
        bool had_connection = false;
        for (const std::string& entry : servers) {
            if (!running.load()) return;
            const std::optional<ServerAddress> address = parse_server_entry(entry);
            if (!address) continue;
            const char* host = address->host.c_str();
            console_print("[NATS] Connecting to %s:%d...\n", host, address->port);
            if (!connect_to(address->host, address->port)) {
                if (running.load()) console_print("[NATS] Failed: %s:%d\n", host, address->port);
                continue;
            }
            const std::string server = address->host + ":" + std::to_string(address->port);
            set_current_server(server);
            rx_buffer.clear();
            // The greeting (INFO) only proves the server is alive; its content is not used.
            if (receive_some(reader_sock, chunk) <= 0) {
                connected.exchange(false);
                close_connection();
                set_current_server("");
                continue;
            }
            handshake();
            console_print("[NATS] Connected: %s\n", server.c_str());
            rx_buffer.clear();
            receive_loop(chunk);
            had_connection = true;
            break;
        }

        if (had_connection) {
            connected.exchange(false);
            close_connection();
            set_current_server("");
            if (!running.load()) return;
            console_print("[NATS] Disconnected, reconnecting in %lds...\n",
                         whole_seconds(timings.backoff));
        } else {
            if (!running.load()) return;
            console_print("[NATS] All servers failed, retrying in %lds...\n",
                         whole_seconds(timings.backoff));
        }
        back_off();
    }
}
