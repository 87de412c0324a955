#include "support/nats_cluster.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "support/loopback_socket.h"
#include "support/wait_until.h"

namespace {

int route_count(const NatsServerProcess& node) {
    const nlohmann::json routez = nlohmann::json::parse(node.monitor_get("/routez"), nullptr, false);
    return routez.is_object() ? routez.value("num_routes", 0) : 0;
}

}  // namespace

NatsCluster::NatsCluster(const std::vector<std::string>& more_options, const std::string& jetstream_dir) {
    std::vector<int> route_ports;
    for (int i = 0; i < kNodes; ++i) route_ports.push_back(pick_free_port());
    for (int i = 0; i < kNodes; ++i) {
        std::string routes;
        for (int j = 0; j < kNodes; ++j) {
            if (j == i) continue;
            if (!routes.empty()) routes += ",";
            routes += "nats://127.0.0.1:" + std::to_string(route_ports[static_cast<size_t>(j)]);
        }
        std::vector<std::string> options = {
            "--cluster_name", "drevik-test",
            "--cluster",      "nats://127.0.0.1:" + std::to_string(route_ports[static_cast<size_t>(i)]),
            "--routes",       routes};
        if (!jetstream_dir.empty()) {
            const std::string name = "n" + std::to_string(i);
            options.insert(options.end(), {"--server_name", name, "-js", "-sd", jetstream_dir + "/" + name});
        }
        options.insert(options.end(), more_options.begin(), more_options.end());
        nodes.push_back(std::make_unique<NatsServerProcess>(std::move(options)));
    }
}

void NatsCluster::start() {
    for (auto& node : nodes) node->start();
    const bool routed = wait_until(
        [&] {
            for (auto& node : nodes) {
                if (route_count(*node) < kNodes - 1) return false;
            }
            return true;
        },
        std::chrono::milliseconds(15000));
    if (!routed) throw std::runtime_error("nats cluster: routes did not form");
}

int NatsCluster::node_index(const std::string& server_name) {
    for (int i = 0; i < kNodes; ++i) {
        if (server_name == "n" + std::to_string(i)) return i;
    }
    return -1;
}

std::vector<std::string> NatsCluster::urls() const {
    std::vector<std::string> list;
    for (const auto& node : nodes) list.push_back(node->url());
    return list;
}
