#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <vector>

// Blocking socket steps that a stop request can cut short. `wake_fd` is an eventfd that turns
// readable once the owner is stopping and stays readable.

// Connects `fd` to `address` within `timeout`. Returns false on failure, on time-out and when
// `wake_fd` fires first. The socket is blocking again afterwards.
bool connect_until(int fd, const sockaddr* address, socklen_t length,
                   std::chrono::milliseconds timeout, int wake_fd);

// Sleeps for `duration`, resuming after signals, and returns early once `wake_fd` fires.
void sleep_unless_woken(std::chrono::milliseconds duration, int wake_fd);

// recv into `chunk`, retried when a signal interrupts it. Result and errno as recv.
ssize_t receive_some(int fd, std::vector<char>& chunk);

void set_socket_timeout(int fd, int option, std::chrono::milliseconds timeout);
