#pragma once
// The local status API: GET /status (JSON) and GET /metrics (Prometheus text) over HTTP, on
// a few threads of its own that never hold a lock the miner waits for. Each connection
// carries one request, whose line and headers are limited in size and number (request_head.h),
// and ends within a fixed time, however slowly its client reads or writes; at most a few
// connections wait for a thread, and further ones wait in the kernel's listen queue.

#include <functional>
#include <memory>
#include <string>

class StatusApi {
public:
    using Render = std::function<std::string()>;

    StatusApi();
    ~StatusApi();
    StatusApi(const StatusApi&) = delete;
    StatusApi& operator=(const StatusApi&) = delete;

    // Binds `address` and `port` (0 picks a free port). False when they cannot be bound.
    bool bind(const std::string& address, int port);
    // The bound port.
    int port() const;
    // True when bound to every address of the host (0.0.0.0 or ::): reachable from the network.
    bool on_every_address() const;
    // Serves from now on: /status with `status`, /metrics with `metrics`, called on the
    // API's threads for each request.
    void start(Render status, Render metrics);
    // Ends every connection at once, stops listening and joins the API's threads.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
