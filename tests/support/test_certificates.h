#pragma once

#include <string>
#include <vector>

// Throw-away TLS material made by tests/support/make_tls_certs in a fresh directory under /tmp,
// removed again by the destructor: a CA, a server certificate for 127.0.0.1, ::1 and localhost,
// a client certificate, a certificate for another host name signed by the same CA, and an
// unrelated CA.
//
//   TestCertificates certs;
//   NatsServerProcess server(tls_server_options(certs));          // TLS
//   NatsServerProcess mutual(tls_server_options(certs, true));    // client certificates required
//   NatsServerProcess secret({"--user", "pool", "--pass", "pw"}); // or {"--auth", "token"}
struct TestCertificates {
    TestCertificates();  // throws std::runtime_error when the certificates cannot be made
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    std::string directory;
    std::string ca, server_cert, server_key, client_cert, client_key;
    std::string wrong_host_cert, wrong_host_key, other_ca;
};

// nats-server options for TLS with `cert`/`key` (the server certificate when empty), and with
// `verify_clients`, for mutual TLS: a client certificate signed by the test CA is required.
std::vector<std::string> tls_server_options(const TestCertificates& certs, bool verify_clients = false,
                                            const std::string& cert = "", const std::string& key = "");
