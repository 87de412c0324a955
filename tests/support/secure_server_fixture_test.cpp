// The TLS and authentication fixtures start the server they promise: its greeting says so.
// (Connections over each set-up are made by the pool's client in tests/e2e/test_secure_bus.py.)

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "support/loopback_socket.h"
#include "support/nats_server_process.h"
#include "support/test_certificates.h"

namespace {

nlohmann::json greeting_of(const NatsServerProcess& server) {
    const UniqueFd fd(connect_loopback(server.port()));
    std::string line;
    while (fd && line.find("\r\n") == std::string::npos &&
           read_within(fd.get(), line, std::chrono::milliseconds(2000)) > 0) {
    }
    if (line.rfind("INFO ", 0) != 0) return nullptr;
    return nlohmann::json::parse(line.substr(5, line.find("\r\n") - 5), nullptr, false);
}

TEST(SecureServerFixture, EachSetUpGreetsWithItsRequirements) {
    TestCertificates certs;
    for (const std::string& file : {certs.ca, certs.server_cert, certs.server_key, certs.client_cert, certs.client_key,
                                    certs.wrong_host_cert, certs.wrong_host_key, certs.other_ca}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(file)) << file;
    }
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool tls, verify, auth;
    };
    const std::vector<Case> cases = {
        {"plain", {}, false, false, false},
        {"tls", tls_server_options(certs), true, false, false},
        {"mutual tls", tls_server_options(certs, true), true, true, false},
        {"another host's certificate", tls_server_options(certs, false, certs.wrong_host_cert, certs.wrong_host_key),
         true, false, false},
        {"user and password", {"--user", "pool", "--pass", "pw"}, false, false, true},
        {"token", {"--auth", "s3cret"}, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NatsServerProcess server(c.options);
        server.start();
        const nlohmann::json info = greeting_of(server);
        ASSERT_TRUE(info.is_object());
        EXPECT_EQ(info.value("tls_required", false), c.tls);
        EXPECT_EQ(info.value("tls_verify", false), c.verify);
        EXPECT_EQ(info.value("auth_required", false), c.auth);
    }
}

TEST(SecureServerFixture, CertificatesGoAwayWithTheFixture) {
    std::string directory;
    {
        TestCertificates certs;
        directory = certs.directory;
        EXPECT_TRUE(std::filesystem::is_directory(directory));
    }
    EXPECT_FALSE(std::filesystem::exists(directory));
}

}  // namespace
