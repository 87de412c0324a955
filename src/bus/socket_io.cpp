#include "bus/socket_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Polls `fds` until one is ready, the deadline passes (returns 0) or poll fails (-1).
int poll_until(pollfd* fds, nfds_t count, Clock::time_point deadline) {
    for (;;) {
        const int ready = poll(fds, count, remaining_ms(deadline));
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

bool set_blocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

}  // namespace

bool connect_until(int fd, const sockaddr* address, socklen_t length,
                   std::chrono::milliseconds timeout, int wake_fd) {
    if (!set_blocking(fd, false)) return false;
    if (connect(fd, address, length) != 0) {
        if (errno != EINPROGRESS) return false;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
        if (poll_until(fds, 2, Clock::now() + timeout) <= 0) return false;
        if (fds[1].revents != 0) return false;
        int error = 0;
        socklen_t error_length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0 || error != 0) {
            return false;
        }
    }
    return set_blocking(fd, true);
}

void sleep_unless_woken(std::chrono::milliseconds duration, int wake_fd) {
    pollfd fds[1] = {{wake_fd, POLLIN, 0}};
    poll_until(fds, 1, Clock::now() + duration);
}

ssize_t receive_within(int fd, std::vector<char>& chunk, std::chrono::milliseconds timeout, int wake_fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = poll_until(fds, 2, Clock::now() + timeout);
    if (ready < 0) return -1;
    if (fds[1].revents != 0) {
        errno = ECANCELED;
        return -1;
    }
    if (ready == 0) {
        errno = EAGAIN;
        return -1;
    }
    for (;;) {
        const ssize_t received = recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (received >= 0 || errno != EINTR) return received;
    }
}

bool send_whole(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

void set_socket_timeout(int fd, int option, std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}
