#include "support/loopback_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"

namespace {

sockaddr_in loopback_address(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

}  // namespace

int pick_free_port() {
    int port = 0;
    const UniqueFd listener(listen_loopback(1, port));
    return port;
}

int connect_loopback(int port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return -1;
    const sockaddr_in address = loopback_address(port);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd.release();
}

int listen_loopback(int backlog, int& port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return -1;
    sockaddr_in address = loopback_address(0);
    socklen_t length = sizeof address;
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.get(), backlog) != 0 || getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd.release();
}

bool send_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

ssize_t read_within(int fd, std::string& into, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return -1;
    char buffer[65536];
    ssize_t n;
    do {
        n = recv(fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) into.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno == ECONNRESET) return 0;  // the peer is gone either way
    return n;
}
