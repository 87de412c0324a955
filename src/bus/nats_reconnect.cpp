// The reconnect loop: passes over the server list, one connection session at a time, the pause
// after a failed pass, and the least time between two attempts on one server.

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bus/nats_client.h"
#include "bus/nats_session.h"
#include "bus/socket_io.h"
#include "common/console.h"

namespace {

using Clock = std::chrono::steady_clock;

long whole_seconds(std::chrono::milliseconds duration) {
    return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(duration).count());
}

// When each server was last attempted, for those attempted within a back-off.
using LastAttempts = std::vector<std::pair<std::string, Clock::time_point>>;

void wait_before_retrying(LastAttempts& last_attempts, const std::string& key, std::chrono::milliseconds backoff,
                          int wake_fd) {
    const Clock::time_point now = Clock::now();
    // Attempts older than a back-off impose no wait and are forgotten.
    last_attempts.erase(std::remove_if(last_attempts.begin(), last_attempts.end(),
                                       [&](const auto& a) { return now - a.second >= backoff; }),
                        last_attempts.end());
    for (auto& [server, last] : last_attempts) {
        if (server != key) continue;
        // A server that dropped us right after the handshake is not hammered in a tight loop.
        sleep_unless_woken(std::chrono::ceil<std::chrono::milliseconds>(last + backoff - now), wake_fd);
        last = Clock::now();
        return;
    }
    last_attempts.emplace_back(key, now);
}

}  // namespace

std::chrono::milliseconds backoff_pause(const NatsTimings& timings, std::mt19937& generator) {
    std::uniform_int_distribution<long long> extra(0, timings.backoff_jitter.count());
    return timings.backoff + std::chrono::milliseconds(extra(generator));
}

void NatsClient::run() {
    std::vector<char> chunk(kReceiveChunkBytes);
    std::mt19937 generator{std::random_device{}()};
    LastAttempts last_attempts;
    size_t start = 0;
    while (running.load()) {
        // A pass tries every entry once, from `start` round the list. After a lost connection
        // it starts at the entry after the lost server; after a failed pass, at the first.
        bool lost = false;
        size_t count;
        {
            MutexLock lock(servers_mutex);
            count = servers.entries.size();
        }
        for (size_t k = 0; k < count && running.load(); ++k) {
            print_held_back(noise);
            const size_t index = (start + k) % count;
            std::optional<ServerAddress> address;
            {
                MutexLock lock(servers_mutex);
                address = parse_server_entry(servers.entries[index]);
            }
            if (!address) continue;
            const std::string key = server_key(*address);
            wait_before_retrying(last_attempts, key, timings.backoff, wake_fd.get());
            if (!running.load()) continue;
            if (NatsSession(*this, std::move(*address), chunk).run() == NatsSession::End::failed) continue;
            // The list may have changed while connected: go on after where the server is now.
            MutexLock lock(servers_mutex);
            const size_t now_at = find_server(servers, key);
            start = now_at < servers.entries.size() ? now_at + 1 : 0;
            lost = true;
            break;
        }
        if (!running.load()) return;
        if (lost) continue;
        start = 0;
        const std::chrono::milliseconds pause = backoff_pause(timings, generator);
        console_print("[NATS] All servers failed, retrying in %lds...\n", whole_seconds(timings.backoff));
        sleep_unless_woken(pause, wake_fd.get());
    }
}
