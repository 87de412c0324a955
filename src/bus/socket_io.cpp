#include "bus/socket_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

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

// Waits until `fd` is ready for `events`: true, or false with errno ECANCELED (woken through
// `wake_fd`), EINTR (nudged through `nudge_fd`, which poll skips when negative), EAGAIN (the
// deadline passed) or poll's own error.
bool wait_ready(int fd, short events, int wake_fd, int nudge_fd, Clock::time_point deadline) {
    pollfd fds[3] = {{fd, events, 0}, {wake_fd, POLLIN, 0}, {nudge_fd, POLLIN, 0}};
    const int ready = poll_until(fds, 3, deadline);
    if (ready < 0) return false;
    if (fds[1].revents != 0) {
        errno = ECANCELED;
        return false;
    }
    if (fds[2].revents != 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(nudge_fd, &count, sizeof count);
        errno = EINTR;
        return false;
    }
    if (ready == 0) {
        errno = EAGAIN;
        return false;
    }
    return true;
}

ssize_t receive_plain(int fd, std::vector<char>& chunk, std::chrono::milliseconds timeout, int wake_fd, int nudge_fd) {
    if (!wait_ready(fd, POLLIN, wake_fd, nudge_fd, Clock::now() + timeout)) return -1;
    for (;;) {
        const ssize_t received = recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (received >= 0 || errno != EINTR) return received;
    }
}

bool send_plain(int fd, const std::string& text) {
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

// One call into the SSL object under the link's lock. Returns the call's result and stores
// SSL_get_error's verdict for it in `error`.
template <typename Call>
int tls_call(BusLink& link, int& error, Call call) {
    MutexLock lock(link.tls_mutex);
    ERR_clear_error();
    const int result = call(link.tls);
    // Read before the lock goes: the verdict depends on the session's state.
    error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(link.tls, result);
    return result;
}

bool has_pending(BusLink& link) {
    MutexLock lock(link.tls_mutex);
    return SSL_has_pending(link.tls) == 1;
}

// The TLS socket never blocks: a record that is not complete yet must not keep the lock from
// a writer, so waiting happens in poll with the lock released.
ssize_t receive_tls(BusLink& link, std::vector<char>& chunk, std::chrono::milliseconds timeout, int wake_fd,
                    int nudge_fd) {
    const Clock::time_point deadline = Clock::now() + timeout;
    // Bytes OpenSSL already holds make no poll event: read them first.
    bool read_now = has_pending(link);
    short wanted = POLLIN;
    for (;;) {
        if (!read_now && !wait_ready(link.fd.get(), wanted, wake_fd, nudge_fd, deadline)) return -1;
        read_now = false;
        int error = SSL_ERROR_NONE;
        const int n = tls_call(
            link, error, [&](ssl_st* ssl) { return SSL_read(ssl, chunk.data(), static_cast<int>(chunk.size())); });
        if (n > 0) return n;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            wanted = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            continue;
        }
        if (error == SSL_ERROR_ZERO_RETURN) return 0;  // the peer's close_notify
        const unsigned long code = ERR_peek_last_error();
        const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
        link.failure = reason != nullptr ? reason : "connection closed by the server";
        errno = ECONNRESET;
        return -1;
    }
}

bool send_tls(BusLink& link, const std::string& text, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    size_t sent = 0;
    while (sent < text.size()) {
        int error = SSL_ERROR_NONE;
        const int n = tls_call(link, error, [&](ssl_st* ssl) {
            return SSL_write(ssl, text.data() + sent, static_cast<int>(std::min<size_t>(text.size() - sent, 1 << 30)));
        });
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) return false;
        // Repeated with the same bytes once the socket can take more (or, for WANT_READ, once
        // the reader had a chance to take in what the session waits for).
        pollfd fds[1] = {{link.fd.get(), static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0}};
        const Clock::time_point wait_until = std::min(deadline, Clock::now() + std::chrono::milliseconds(20));
        if (poll_until(fds, 1, error == SSL_ERROR_WANT_WRITE ? deadline : wait_until) < 0) return false;
        if (Clock::now() >= deadline) return false;
    }
    return true;
}

}  // namespace

bool set_blocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

bool connect_until(int fd, const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout, int wake_fd) {
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

ssize_t receive_within(BusLink& link, std::vector<char>& chunk, std::chrono::milliseconds timeout, int wake_fd,
                       int nudge_fd) {
    if (link.tls != nullptr) return receive_tls(link, chunk, timeout, wake_fd, nudge_fd);
    return receive_plain(link.fd.get(), chunk, timeout, wake_fd, nudge_fd);
}

bool send_whole(BusLink& link, const std::string& text, std::chrono::milliseconds timeout) {
    // A plain socket blocks in send, bounded by its SO_SNDTIMEO.
    if (link.tls == nullptr) return send_plain(link.fd.get(), text);
    return send_tls(link, text, timeout);
}

void set_socket_timeout(int fd, int option, std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}
