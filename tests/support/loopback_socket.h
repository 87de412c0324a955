#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

// Small blocking-socket helpers for tests that talk TCP on 127.0.0.1. The sockets they return
// are the caller's: hold them in a UniqueFd (common/unique_fd.h).

// A port that was free a moment ago.
int pick_free_port();

// A connected socket, or -1.
int connect_loopback(int port);

// A listening socket on an ephemeral port (stored in `port`), or -1.
int listen_loopback(int backlog, int& port);

bool send_all(int fd, const std::string& bytes);

// Waits up to `timeout` for data and appends one read's worth to `into`. Returns the number of
// bytes appended, 0 when the peer closed or reset, -1 on time-out or error.
ssize_t read_within(int fd, std::string& into, std::chrono::milliseconds timeout);
