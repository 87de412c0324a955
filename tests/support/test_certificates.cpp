#include "support/test_certificates.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

TestCertificates::TestCertificates() {
    char pattern[] = "/tmp/drevik-certs-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a directory for certificates");
    directory = pattern;
    const std::string command = "'" DREVIK_SOURCE_DIR "/tests/support/make_tls_certs' '" + directory + "'";
    if (std::system(command.c_str()) != 0) {
        std::filesystem::remove_all(directory);
        throw std::runtime_error("make_tls_certs failed in " + directory);
    }
    const auto pem = [this](const char* name) { return directory + "/" + name + ".pem"; };
    ca = pem("ca");
    server_cert = pem("server");
    server_key = pem("server-key");
    client_cert = pem("client");
    client_key = pem("client-key");
    wrong_host_cert = pem("wrong-host");
    wrong_host_key = pem("wrong-host-key");
    other_ca = pem("other-ca");
}

TestCertificates::~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

std::vector<std::string> tls_server_options(const TestCertificates& certs, bool verify_clients, const std::string& cert,
                                            const std::string& key) {
    std::vector<std::string> options = {"--tls", "--tlscert", cert.empty() ? certs.server_cert : cert, "--tlskey",
                                        key.empty() ? certs.server_key : key};
    if (verify_clients) {
        options.insert(options.end(), {"--tlsverify", "--tlscacert", certs.ca});
    }
    return options;
}
