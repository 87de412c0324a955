// NatsClient against a real nats-server with TLS and authentication: the right set-up gets a
// working link, every wrong one a "[NATS] Failed" line that says why, no secret on the console
// and never a CONNECT in plain text (the server's protocol trace is the witness).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "bus/nats_client.h"
#include "delivery_recorder.h"
#include "scripted_server.h"
#include "support/nats_cluster.h"
#include "support/nats_server_process.h"
#include "support/stderr_capture.h"
#include "support/test_certificates.h"
#include "support/wait_until.h"

namespace {

using Sub = NatsServerProcess::Subscription;

// Room for a TLS handshake under the sanitizers.
NatsTimings secure_timings() {
    NatsTimings timings = quick_timings();
    timings.greeting_timeout = std::chrono::milliseconds(3000);
    return timings;
}

// A server that writes its protocol trace to a file of the certificates' directory: a CONNECT
// it received, over TLS or not, shows there as "<<- [CONNECT".
struct TracedServer {
    TracedServer(const TestCertificates& certs, std::vector<std::string> options, const std::string& name)
        : log(certs.directory + "/" + name + ".log"), server(with_trace(std::move(options), log)) {
        server.start();
    }
    static std::vector<std::string> with_trace(std::vector<std::string> options, const std::string& log) {
        options.insert(options.end(), {"-V", "-l", log});
        return options;
    }
    std::string trace() const {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The TLS version of the connection named `name`; nothing when there is none.
    std::optional<std::string> tls_version_of(const std::string& name) const {
        const nlohmann::json connz = nlohmann::json::parse(server.monitor_get("/connz"), nullptr, false);
        if (!connz.is_object()) return std::nullopt;
        for (const nlohmann::json& c : connz.value("connections", nlohmann::json::array())) {
            if (c.value("name", "") == name) return c.value("tls_version", "");
        }
        return std::nullopt;
    }
    std::string url(const std::string& scheme, const std::string& userinfo = "") const {
        return scheme + "://" + userinfo + server.address();
    }

    std::string log;
    NatsServerProcess server;
};

const std::vector<Sub> kMinerSubscriptions = {
    {"drevik.mining.job", "1"}, {"drevik.mining.cancel", "2"}, {"drevik.mining.config", "3"}};

class SecureBus : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certs = new TestCertificates; }
    static void TearDownTestSuite() {
        delete certs;
        certs = nullptr;
    }
    static TestCertificates* certs;
};
TestCertificates* SecureBus::certs = nullptr;

struct GoodCase {
    const char* name;
    std::vector<std::string> server_options;
    TlsOptions tls;
    std::string scheme, userinfo, host;
    bool tls_link;
};

TEST_F(SecureBus, RightSetUpConnectsSubscribesAndSaysNothingMore) {
    const TestCertificates& c = *certs;
    const std::vector<GoodCase> cases = {
        {"tls url with a CA file", tls_server_options(c), {c.ca, "", ""}, "tls", "", "127.0.0.1", true},
        {"nats url upgraded: INFO says tls_required",
         tls_server_options(c),
         {c.ca, "", ""},
         "nats",
         "",
         "127.0.0.1",
         true},
        {"host name checked against the certificate",
         tls_server_options(c),
         {c.ca, "", ""},
         "tls",
         "",
         "localhost",
         true},
        {"mutual TLS with a client certificate",
         tls_server_options(c, true),
         {c.ca, c.client_cert, c.client_key},
         "tls",
         "",
         "127.0.0.1",
         true},
        {"user and password",
         {"--user", "pool", "--pass", "p@ss:w/rd"},
         {},
         "nats",
         "pool:p%40ss%3Aw%2Frd@",
         "127.0.0.1",
         false},
        {"token", {"--auth", "s3cret"}, {}, "nats", "s3cret@", "127.0.0.1", false},
        {"user and password over TLS",
         [&] {
             std::vector<std::string> o = tls_server_options(c);
             o.insert(o.end(), {"--user", "pool", "--pass", "pw"});
             return o;
         }(),
         {c.ca, "", ""},
         "tls",
         "pool:pw@",
         "127.0.0.1",
         true},
    };
    for (const GoodCase& t : cases) {
        SCOPED_TRACE(t.name);
        TracedServer traced(c, t.server_options, "good");
        const std::string address = t.host + ":" + std::to_string(traced.server.port());
        StderrCapture captured;
        DeliveryRecorder recorder;
        {
            NatsClient client("drevik-miner", secure_timings());
            if (t.tls.any()) {
                ASSERT_EQ(client.set_tls(t.tls), "");
            }
            client.set_servers({t.scheme + "://" + t.userinfo + address});
            subscribe_miner_subjects(client, recorder);
            client.start();
            ASSERT_TRUE(wait_until([&] { return client.is_connected(); })) << captured.text();
            EXPECT_EQ(client.current_server_copy(), address);
            EXPECT_TRUE(wait_until(
                [&] { return callback_subscriptions(traced.server, "drevik-miner") == kMinerSubscriptions; }));
            const std::optional<std::string> version = traced.tls_version_of("drevik-miner");
            ASSERT_TRUE(version.has_value());
            EXPECT_EQ(!version->empty(), t.tls_link) << *version;
            if (t.tls_link) {
                EXPECT_TRUE(version->rfind("1.2", 0) == 0 || version->rfind("1.3", 0) == 0) << *version;
            }
            client.stop();
        }
        EXPECT_EQ(captured.text(), "[NATS] Connecting to " + address + "...\n[NATS] Connected: " + address + "\n");
    }
}

TEST_F(SecureBus, MessagesFlowBothWaysOverTls) {
    const TestCertificates& c = *certs;
    TracedServer traced(c, tls_server_options(c, true), "flow");
    const TlsOptions tls{c.ca, c.client_cert, c.client_key};
    DeliveryRecorder recorder;
    NatsClient miner("drevik-miner", secure_timings());
    NatsClient pool("pool", secure_timings());
    for (NatsClient* client : {&miner, &pool}) {
        ASSERT_EQ(client->set_tls(tls), "");
        client->set_servers({traced.url("tls")});
    }
    subscribe_miner_subjects(miner, recorder);
    pool.subscribe("drevik.mining.share", recorder.callback("share"));
    miner.start();
    pool.start();
    ASSERT_TRUE(wait_until([&] { return miner.is_connected() && pool.is_connected(); }));
    ASSERT_TRUE(
        wait_until([&] { return callback_subscriptions(traced.server, "drevik-miner") == kMinerSubscriptions; }));
    ASSERT_TRUE(wait_until([&] { return callback_subscriptions(traced.server, "pool").size() == 1; }));

    const std::string large(size_t{200} * 1024, 'j');  // many TLS records
    EXPECT_TRUE(pool.publish("drevik.mining.job", large));
    EXPECT_TRUE(miner.publish_kept("drevik.mining.share", "{\"nonce\":1}", KeptKind::share, "share-1"));
    ASSERT_TRUE(wait_until([&] { return recorder.size() >= 2; }));
    ASSERT_TRUE(wait_until([&] { return miner.outbox_size() == 0; }));  // the PONG came back over TLS
    miner.stop();
    pool.stop();
    std::vector<Delivery> got = recorder.all();
    std::sort(got.begin(), got.end(), [](const Delivery& a, const Delivery& b) { return a.subject < b.subject; });
    const std::vector<Delivery> expected = {{"job", "drevik.mining.job", large},
                                            {"share", "drevik.mining.share", "{\"nonce\":1}"}};
    EXPECT_EQ(got, expected);
}

struct BadCase {
    const char* name;
    std::vector<std::string> server_options;
    TlsOptions tls;
    std::string scheme, userinfo;
    std::string reason;  // what the Failed line gives in parentheses
};

TEST_F(SecureBus, WrongSetUpFailsWithItsReasonAndNeverSpeaksPlainText) {
    const TestCertificates& c = *certs;
    const std::vector<BadCase> cases = {
        {"CA that vouches for nothing here",
         tls_server_options(c),
         {c.other_ca, "", ""},
         "tls",
         "",
         "TLS: certificate verify failed: unable to get local issuer certificate"},
        {"system trust store",
         tls_server_options(c),
         {},
         "tls",
         "",
         "TLS: certificate verify failed: unable to get local issuer certificate"},
        {"certificate for another host",
         tls_server_options(c, false, c.wrong_host_cert, c.wrong_host_key),
         {c.ca, "", ""},
         "tls",
         "",
         "TLS: certificate verify failed: IP address mismatch"},
        {"plain server behind tls://", {}, {}, "tls", "", "tls:// but the server does not offer TLS"},
        {"plain server while TLS options are set",
         {},
         {c.ca, "", ""},
         "nats",
         "",
         "TLS options set but the server does not offer TLS"},
        {"mutual TLS without a client certificate",
         tls_server_options(c, true),
         {c.ca, "", ""},
         "tls",
         "",
         "TLS: sslv3 alert bad certificate"},
        {"plain server with a password behind tls://",
         {"--user", "pool", "--pass", "pw"},
         {},
         "tls",
         "pool:pw@",
         "tls:// but the server does not offer TLS"},
    };
    for (const BadCase& t : cases) {
        SCOPED_TRACE(t.name);
        TracedServer traced(c, t.server_options, "bad");
        const std::string address = traced.server.address();
        StderrCapture captured;
        {
            NatsClient client("drevik-miner", secure_timings());
            if (t.tls.any()) {
                ASSERT_EQ(client.set_tls(t.tls), "");
            }
            client.set_servers({t.scheme + "://" + t.userinfo + address});
            client.start();
            ASSERT_TRUE(captured.wait_for("[NATS] All servers failed")) << captured.text();
            EXPECT_FALSE(client.is_connected());
            client.stop();
        }
        const std::string text = captured.text();
        EXPECT_EQ(text.substr(0, text.find("[NATS] All servers failed")),
                  "[NATS] Connecting to " + address + "...\n[NATS] Failed: " + address + " (" + t.reason + ")\n");
        EXPECT_EQ(traced.trace().find("<<- [CONNECT"), std::string::npos) << "CONNECT seen in plain text";
        if (!t.userinfo.empty()) {
            EXPECT_EQ(text.find("pw"), std::string::npos);
        }
    }
}

TEST_F(SecureBus, TlsEntryWritesNotOneByteToAServerThatOffersNoTls) {
    // On the wire: the greeting offers no TLS (or only says so in a form not to be believed).
    for (const std::string info :
         {"INFO {\"server_id\":\"plain\"}\r\n", "INFO {\"tls_required\":\"true\",\"tls_available\":1}\r\n"}) {
        SCOPED_TRACE(info);
        StderrCapture captured;
        ScriptedServer server;
        NatsClient client("drevik-miner", secure_timings());
        client.set_servers({"tls://pool:Secret-Pw1@" + server.address()});
        client.start();
        ASSERT_TRUE(server.accept_client());
        server.send(info);
        EXPECT_TRUE(server.wait_closed());
        EXPECT_EQ(server.received(), "");
        ASSERT_TRUE(
            captured.wait_for("[NATS] Failed: " + server.address() + " (tls:// but the server does not offer TLS)\n"));
        client.stop();
        EXPECT_EQ(captured.text().find("Secret-Pw1"), std::string::npos);
    }
}

TEST_F(SecureBus, WrongOrMissingSecretFailsAndNoSecretIsPrinted) {
    const struct {
        const char* name;
        std::vector<std::string> server_options;
        std::string userinfo;
    } cases[] = {
        {"wrong password", {"--user", "pool", "--pass", "right-pw"}, "pool:wr0ng-pw@"},
        {"no password", {"--user", "pool", "--pass", "right-pw"}, ""},
        {"wrong token", {"--auth", "right-token"}, "wr0ng-token@"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        NatsServerProcess server(t.server_options);
        server.start();
        StderrCapture captured;
        {
            NatsClient client("drevik-miner", secure_timings());
            client.set_servers({"nats://" + t.userinfo + server.address(), "nats://" + t.userinfo + server.address()});
            client.start();
            ASSERT_TRUE(captured.wait_for("[NATS] All servers failed")) << captured.text();
            client.stop();
        }
        const std::string text = captured.text();
        const std::string attempt = "[NATS] Connecting to " + server.address() +
                                    "...\n[NATS] Failed: " + server.address() + " (-ERR 'Authorization Violation')\n";
        EXPECT_EQ(text.substr(0, text.find("[NATS] All servers failed")), attempt + attempt);
        EXPECT_EQ(text.find("wr0ng"), std::string::npos);
        EXPECT_EQ(text.find("right-"), std::string::npos);
        EXPECT_EQ(server.connections_named("drevik-miner"), 0);
    }
}

TEST_F(SecureBus, AnnouncedServersAreReachedOverTlsWithTheSameCredentials) {
    const TestCertificates& c = *certs;
    std::vector<std::string> options = tls_server_options(c);
    options.insert(options.end(), {"--user", "pool", "--pass", "Secret-Pw1"});
    NatsCluster cluster(options);
    cluster.start();
    StderrCapture captured;
    NatsClient client("drevik-miner", secure_timings());
    ASSERT_EQ(client.set_tls({c.ca, "", ""}), "");
    client.set_servers({"tls://pool:Secret-Pw1@" + cluster.node(0).address()});
    client.start();
    ASSERT_TRUE(wait_until([&] { return client.current_server_copy() == cluster.node(0).address(); }));
    for (int i : {1, 2}) {
        EXPECT_TRUE(captured.wait_for("[NATS] Discovered server: tls://pool:***@" + cluster.node(i).address() + "\n"));
    }
    cluster.node(0).kill_hard();
    ASSERT_TRUE(wait_until([&] {
        const std::string now = client.current_server_copy();
        return client.is_connected() && (now == cluster.node(1).address() || now == cluster.node(2).address());
    }));
    client.stop();
    EXPECT_EQ(captured.text().find("Secret-Pw1"), std::string::npos);
    // The seed may need a second try on a loaded machine; the announced servers never fail.
    for (int i : {1, 2}) {
        EXPECT_EQ(captured.text().find("[NATS] Failed: " + cluster.node(i).address()), std::string::npos)
            << captured.text();
    }
}

// Each file is named with the reason it cannot be used: the system's when it cannot be read,
// OpenSSL's when what it holds is no use.
TEST_F(SecureBus, UnusableTlsFilesAreRefusedUpFront) {
    const TestCertificates& c = *certs;
    const std::string missing = c.directory + "/missing.pem";
    const std::string garbage = c.directory + "/garbage.pem";
    { std::ofstream(garbage) << "not a certificate\n"; }
    const struct {
        TlsOptions tls;
        std::string error;
    } cases[] = {
        {{missing, "", ""}, "cannot use CA file " + missing + ": No such file or directory"},
        {{c.directory, "", ""}, "cannot use CA file " + c.directory + ": Is a directory"},
        {{garbage, "", ""}, "cannot use CA file " + garbage + ": no certificate or crl found"},
        {{c.ca, missing, c.client_key}, "cannot use certificate file " + missing + ": No such file or directory"},
        {{c.ca, garbage, c.client_key}, "cannot use certificate file " + garbage + ": no start line"},
        {{c.ca, c.client_cert, missing}, "cannot use key file " + missing + ": No such file or directory"},
        {{c.ca, c.client_cert, c.server_key}, "cannot use key file " + c.server_key + ": key values mismatch"},
        {{c.ca, c.client_cert, ""}, "a client certificate needs both --tls-cert and --tls-key"},
        {{c.ca, c.client_cert, c.client_key}, ""},
    };
    for (const auto& t : cases) {
        NatsClient client("drevik-miner");
        EXPECT_EQ(client.set_tls(t.tls), t.error);
    }
    std::remove(garbage.c_str());
}

}  // namespace
