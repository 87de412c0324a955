#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/nats_server_process.h"

// Three real nats-server processes on 127.0.0.1 joined by routes into one cluster: a message
// published on any node reaches subscribers on every other, and each node announces the
// others' client URLs to its clients (INFO "connect_urls").
//
//   NatsCluster cluster;
//   cluster.start();               // returns once every node has routes to both others
//   cluster.node(0).kill_hard();   // or pause(), stop()
class NatsCluster {
public:
    static constexpr int kNodes = 3;

    // `more_options` go to every node (client TLS, authentication: see support/test_certificates.h).
    // With a `jetstream_dir`, every node runs JetStream with its store in a folder of its own
    // there, under the server name "n<i>".
    explicit NatsCluster(const std::vector<std::string>& more_options = {}, const std::string& jetstream_dir = "");
    // Throws std::runtime_error when a node does not come up or the routes do not form in 15 s.
    void start();
    NatsServerProcess& node(int i) { return *nodes[static_cast<size_t>(i)]; }
    // The index of the node with that server name ("n1" is 1); -1 for none.
    static int node_index(const std::string& server_name);
    std::vector<std::string> urls() const;

private:
    std::vector<std::unique_ptr<NatsServerProcess>> nodes;
};
