#include "bus/nats_protocol.h"

#include <gtest/gtest.h>

namespace {

struct EntryCase {
    const char* entry;
    bool usable;
    const char* host;
    int port;
};

TEST(ServerEntry, InterpretsEachFormAsTheConnectionRulesSay) {
    const EntryCase cases[] = {
        {"nats://hostA", true, "hostA", 4222},
        {"hostB:4223", true, "hostB", 4223},
        {"tls://hostC:4222", true, "hostC", 4222},
        {"nats://hostG:4222/", true, "hostG", 4222},
        {"nats://127.0.0.1:4222", true, "127.0.0.1", 4222},
        // No user:password syntax: the prefix stays part of the host text.
        {"nats://user:pw@hostF:4222", true, "user:pw@hostF", 4222},
        // No IPv6 brackets syntax: split at the last ':'.
        {"[::1]:4222", true, "[::1]", 4222},
        // Only the first "://" is the scheme.
        {"a://b://c:5", true, "b://c", 5},
        {"nats://:4222", false, "", 0},
        {"nats://hostD:0", false, "", 0},
        {"nats://hostE:abc", false, "", 0},
        {"hostH:-5", false, "", 0},
        {"", false, "", 0},
        {"nats://", false, "", 0},
        {"hostK:65535", true, "hostK", 65535},
        {"hostK:1", true, "hostK", 1},
        // Outside the TCP range: unusable instead of wrapping around into a valid-looking port.
        {"nats://127.0.0.1:115007", false, "", 0},
        {"hostK:65536", false, "", 0},
        {"hostI:4294971518", false, "", 0},
        {"hostJ:-4294962296", false, "", 0},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.entry);
        const std::optional<ServerAddress> address = parse_server_entry(c.entry);
        ASSERT_EQ(address.has_value(), c.usable);
        if (!c.usable) continue;
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->port, c.port);
    }
}

struct MsgLineCase {
    const char* line;
    bool parsed;
    const char* subject;
    int64_t sid;
    int64_t count;
};

TEST(MsgLine, TakesSubjectSidAndTheLastTokenAsCount) {
    const MsgLineCase cases[] = {
        {"MSG drevik.mining.job 1 5", true, "drevik.mining.job", 1, 5},
        {"MSG drevik.mining.job 1 inbox.7 5", true, "drevik.mining.job", 1, 5},
        {"MSG  drevik.mining.job\t2   17 ", true, "drevik.mining.job", 2, 17},
        {"MSG a 1 x y z 9", true, "a", 1, 9},
        {"MSG a x 3", true, "a", 0, 3},
        {"MSG a 1 x", true, "a", 1, 0},
        {"MSG a 3z 12abc", true, "a", 3, 12},
        {"MSG a 1 -1", true, "a", 1, -1},
        {"MSG a 1 99999999999", true, "a", 1, 99999999999LL},
        {"MSG drevik.mining.job 1", false, "", 0, 0},
        {"MSG ", false, "", 0, 0},
    };
    for (const MsgLineCase& c : cases) {
        SCOPED_TRACE(c.line);
        const std::optional<MsgHeader> header = parse_msg_line(c.line);
        ASSERT_EQ(header.has_value(), c.parsed);
        if (!c.parsed) continue;
        EXPECT_EQ(header->subject, c.subject);
        EXPECT_EQ(header->sid, c.sid);
        EXPECT_EQ(header->count, c.count);
    }
}

TEST(WireLines, AreByteExact) {
    EXPECT_EQ(connect_line("drevik-miner"),
              "CONNECT {\"verbose\":false,\"pedantic\":false,\"name\":\"drevik-miner\"}\r\n");
    EXPECT_EQ(sub_line("drevik.mining.cancel", 2), "SUB drevik.mining.cancel 2\r\n");
    EXPECT_EQ(pub_text("drevik.monitor.heartbeat.rig1", "{}"),
              "PUB drevik.monitor.heartbeat.rig1 2\r\n{}\r\n");
    EXPECT_EQ(pub_text("s", ""), "PUB s 0\r\n\r\n");
    // The length counts bytes, CR LF inside included.
    EXPECT_EQ(pub_text("s", "a\r\nb"), "PUB s 4\r\na\r\nb\r\n");
    EXPECT_EQ(pub_text("drevik.mining.job.current", "_INBOX.abc", ""),
              "PUB drevik.mining.job.current _INBOX.abc 0\r\n\r\n");
}

TEST(InfoLine, ReadsMaxPayloadAndConnectUrlsWhenTrustworthy) {
    const struct {
        const char* line;
        std::optional<int64_t> max_payload;
        std::optional<std::vector<std::string>> urls;
    } cases[] = {
        {"INFO {\"max_payload\":1048576,\"connect_urls\":[\"10.0.0.1:4222\",\"10.0.0.2:4223\"]} ", 1048576,
         std::vector<std::string>{"10.0.0.1:4222", "10.0.0.2:4223"}},
        {"INFO {\"server_id\":\"x\"}", std::nullopt, std::nullopt},
        {"INFO {\"connect_urls\":[]}", std::nullopt, std::vector<std::string>{}},
        // Non-string URLs are skipped; odd limits are not believed.
        {"INFO {\"connect_urls\":[1,\"a:1\",null],\"max_payload\":0}", std::nullopt, std::vector<std::string>{"a:1"}},
        {"INFO {\"max_payload\":-5}", std::nullopt, std::nullopt},
        {"INFO {\"max_payload\":\"1024\"}", std::nullopt, std::nullopt},
        {"INFO {\"max_payload\":1.5e3}", std::nullopt, std::nullopt},
        {"INFO {\"max_payload\":18446744073709551615}", std::nullopt, std::nullopt},
        {"INFO {\"connect_urls\":\"a:1\"}", std::nullopt, std::nullopt},
        {"INFO not json", std::nullopt, std::nullopt},
        {"INFO [1,2]", std::nullopt, std::nullopt},
        {"INFO", std::nullopt, std::nullopt},
        {"PING", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ServerInfo info = parse_info_line(c.line);
        EXPECT_EQ(info.max_payload, c.max_payload);
        EXPECT_EQ(info.connect_urls, c.urls);
    }
}

}  // namespace
