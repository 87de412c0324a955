#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A real nats-server (/usr/sbin/nats-server) on 127.0.0.1 for tests: a free client port, a
// monitoring port (-m), and stop/start on the same ports to simulate outages. The server dies
// with the test process (parent-death signal) and is stopped by the destructor.
//
//   NatsServerProcess server;
//   server.start();                          // returns once it accepts clients
//   client.set_servers({server.url()});      // "nats://127.0.0.1:<port>"
//   server.subscriptions_of("drevik-miner"); // what the server saw, via /connz?subs=detail
//   server.restart();                        // same port: clients see a lost connection
//
// More server options (TLS, authentication: see support/test_certificates.h) are given to the
// constructor.
class NatsServerProcess {
public:
    // Picks the ports; does not start.
    explicit NatsServerProcess(std::vector<std::string> more_options = {});
    ~NatsServerProcess();
    NatsServerProcess(const NatsServerProcess&) = delete;
    NatsServerProcess& operator=(const NatsServerProcess&) = delete;

    // Throws std::runtime_error when the server does not come up within 10 s.
    void start();
    void stop();
    void restart();
    void kill_hard();  // SIGKILL: the connections end without a goodbye
    void pause();      // SIGSTOP: returns once the server is frozen with its connections open
    void resume();     // SIGCONT
    bool is_running() const { return pid > 0; }

    int port() const { return client_port; }
    int monitor_port() const { return http_port; }
    std::string address() const;  // "127.0.0.1:<port>", as NatsClient names its server
    std::string url() const;      // "nats://127.0.0.1:<port>"

    // Body of an HTTP GET on the monitoring port; empty on failure.
    std::string monitor_get(const std::string& path) const;

    struct Subscription {
        std::string subject;
        std::string sid;
        bool operator==(const Subscription& other) const { return subject == other.subject && sid == other.sid; }
    };
    // Subscriptions of the first client connection named `connection_name`, in the server's
    // order; empty when there is no such connection.
    std::vector<Subscription> subscriptions_of(const std::string& connection_name) const;
    // Number of client connections with that name.
    int connections_named(const std::string& connection_name) const;

private:
    bool spawn_and_wait();

    std::vector<std::string> options;
    int client_port = 0;
    int http_port = 0;
    bool ever_started = false;
    pid_t pid = -1;
};
