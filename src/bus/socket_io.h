#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/unique_fd.h"

struct ssl_st;

// Every byte the bus client reads from or writes to its connection passes through here, over
// the plain socket or the TLS session on it (set up in tls_session.cpp). Blocking steps
// can be cut short by a stop request: `wake_fd` is an eventfd that turns readable once the
// owner is stopping and stays readable.

// Connects `fd` to `address` within `timeout`. Returns false on failure, on time-out and when
// `wake_fd` fires first. The socket is blocking again afterwards.
bool connect_until(int fd, const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout, int wake_fd);

// Sleeps for `duration`, resuming after signals, and returns early once `wake_fd` fires.
void sleep_unless_woken(std::chrono::milliseconds duration, int wake_fd);

// One connection's byte stream: the plain socket, or TLS over it once upgraded. The reader
// thread receives while a writer sends; an SSL object must not see both at once, so every call
// into it holds `tls_mutex`, and nobody holds it while waiting for the socket.
struct BusLink {
    UniqueFd fd;
    // Set before writers can reach the link, freed after they cannot. The pointer itself is not
    // guarded (every call tests it); the session it points to is, but the analysis cannot follow
    // a pointer handed to OpenSSL, so tls_call() in socket_io.cpp is the one way into it.
    ssl_st* tls = nullptr;
    Mutex tls_mutex;
    std::string failure;  // why the last TLS receive failed, in OpenSSL's words (reader only)
};

// Receives into `chunk` what arrives within `timeout`. Result and errno as recv, except that
// a time-out gives -1 with EAGAIN, a stop request -1 with ECANCELED, and `nudge_fd` (an eventfd,
// drained here; -1 for none) turning readable -1 with EINTR.
ssize_t receive_within(BusLink& link, std::vector<char>& chunk, std::chrono::milliseconds timeout, int wake_fd,
                       int nudge_fd = -1);

// Writes all of `text`, resuming after signals and partial writes. False when the connection
// failed or a write could not go on within `timeout`.
bool send_whole(BusLink& link, const std::string& text, std::chrono::milliseconds timeout);

// Turns `fd` blocking or not; false when the descriptor refuses.
bool set_blocking(int fd, bool blocking);

void set_socket_timeout(int fd, int option, std::chrono::milliseconds timeout);
