#include "bus/nats_servers.h"

#include <set>

#include "bus/nats_client.h"

#include <gtest/gtest.h>

namespace {

using List = std::vector<std::string>;

TEST(ServerList, AnnouncedServersFollowTheGivenOnesOnceEachAndTheLatestAnnouncementRules) {
    ServerList list = make_server_list({"nats://127.0.0.1:4222", "hostB"});
    const struct {
        List announced;
        List entries;  // after the announcement
        List added;
    } steps[] = {
        // The given entries name 127.0.0.1:4222 and hostB:4222 already.
        {{"127.0.0.1:4222", "hostB:4222", "127.0.0.1:4223", "127.0.0.1:4223", "127.0.0.1:4224"},
         {"nats://127.0.0.1:4222", "hostB", "127.0.0.1:4223", "127.0.0.1:4224"},
         {"127.0.0.1:4223", "127.0.0.1:4224"}},
        // Unusable or unprintable announcements are ignored.
        {{"127.0.0.1:4224", "127.0.0.1:0", ":4225", "127.0.0.1:70000", "bad\nhost:1", "a b:1", "",
          std::string(256, 'h')},
         {"nats://127.0.0.1:4222", "hostB", "127.0.0.1:4224"},
         {}},
        {{"127.0.0.1:4223"}, {"nats://127.0.0.1:4222", "hostB", "127.0.0.1:4223"}, {"127.0.0.1:4223"}},
        {{}, {"nats://127.0.0.1:4222", "hostB"}, {}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(::testing::PrintToString(step.announced));
        EXPECT_EQ(update_discovered(list, step.announced), step.added);
        EXPECT_EQ(list.entries, step.entries);
        EXPECT_EQ(list.given, 2u);
    }
}

TEST(ServerList, AHostileAnnouncementCannotGrowTheListBeyondItsBound) {
    ServerList list = make_server_list({"seed:4222"});
    List announced;
    for (int port = 1; port <= 10000; ++port) announced.push_back("10.0.0.1:" + std::to_string(port));
    EXPECT_EQ(update_discovered(list, announced).size(), kMaxDiscoveredServers);
    EXPECT_EQ(list.entries.size(), 1 + kMaxDiscoveredServers);
}

TEST(ServerList, FindsAServerByHostAndPortWhateverTheEntrysForm) {
    const ServerList list = make_server_list({"nats://a:4222", "b", "tls://c:5", "nats://[::1]:6", "::1:7"});
    EXPECT_EQ(find_server(list, "a:4222"), 0u);
    EXPECT_EQ(find_server(list, "b:4222"), 1u);
    EXPECT_EQ(find_server(list, "c:5"), 2u);
    EXPECT_EQ(find_server(list, "[::1]:6"), 3u);
    EXPECT_EQ(find_server(list, "[::1]:7"), 4u);
    EXPECT_EQ(find_server(list, "d:4222"), 5u);
}

// A comma that was not percent-encoded cuts a secret in two; nothing before its '@' is shown.
TEST(ServerList, MaskedForTheConsoleEvenWhereACommaCutASecret) {
    const struct {
        List entries;
        List shown;
    } cases[] = {
        {{"nats://u:pw@h:1", "nats://h2:2", "nats://tok@h3"}, {"nats://u:***@h:1", "nats://h2:2", "nats://***@h3"}},
        {{"nats://user:s3cr", "t@host:4222"}, {"nats://user:***", "***@host:4222"}},
        {{"tls://u:a", "b:c", "d@h", "h4"}, {"tls://u:***", "***", "***@h", "h4"}},
        {{"nats://to", "ken@h:1", "nats://h2"}, {"nats://***", "***@h:1", "nats://h2"}},
        {{"h1:4222", "nats://u:1234", "5@h2"}, {"h1:4222", "nats://u:***", "***@h2"}},
        // After an entry with credentials, one without a scheme is whole; after one without
        // them, it cannot be told from a cut, and both are masked.
        {{"nats://a:b@h1", "u:p@h2"}, {"nats://a:***@h1", "u:***@h2"}},
        {{"nats://h1:2", "u:p@h2"}, {"nats://h1:***", "***@h2"}},
    };
    for (const auto& c : cases) EXPECT_EQ(masked_server_list(c.entries), c.shown) << c.entries[0];
}

TEST(Backoff, PausesSpreadOverTheJitterSoAFleetDoesNotReconnectInLockStep) {
    const NatsTimings timings;  // 3 s plus up to 1 s
    std::mt19937 generator(7);
    std::set<long long> seen;
    for (int i = 0; i < 1000; ++i) {
        const long long ms = backoff_pause(timings, generator).count();
        ASSERT_GE(ms, 3000);
        ASSERT_LE(ms, 4000);
        seen.insert(ms / 100);
    }
    EXPECT_EQ(seen.size(), 11u);  // every tenth of the jitter range is hit
    NatsTimings fixed;
    fixed.backoff_jitter = std::chrono::milliseconds(0);
    EXPECT_EQ(backoff_pause(fixed, generator).count(), 3000);
}

}  // namespace
