#include "bus/nats_outbox.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

using std::chrono::milliseconds;

std::vector<std::string> payloads(const Outbox& outbox) {
    std::vector<std::string> list;
    for (const OutboxEntry& e : outbox.entries) list.push_back(e.payload);
    return list;
}

template <typename Entries>
std::vector<std::string> payloads(const Entries& entries) {
    std::vector<std::string> list;
    for (const OutboxEntry& e : entries) list.push_back(e.payload);
    return list;
}

// Entries of 10 bytes: subject "s" plus a 9-byte payload.
std::string p(const char* name) { return std::string(name) + std::string(9 - std::string(name).size(), '.'); }

const OutboxClock::time_point t0{};

TEST(Outbox, KeepsBlocksFirstThenTheNewestSharesWithinItsCapacity) {
    Outbox outbox;
    outbox.capacity = 40;
    const auto add = [&](KeptKind kind, const char* name) {
        return payloads(outbox_add(outbox, kind, "s", "", p(name)));
    };
    using List = std::vector<std::string>;
    EXPECT_TRUE(add(KeptKind::share, "s1").empty());
    EXPECT_TRUE(add(KeptKind::block, "b1").empty());
    EXPECT_TRUE(add(KeptKind::share, "s2").empty());
    EXPECT_TRUE(add(KeptKind::share, "s3").empty());
    EXPECT_EQ(add(KeptKind::share, "s4"), List{p("s1")});
    EXPECT_EQ(add(KeptKind::block, "b2"), List{p("s2")});
    EXPECT_EQ(add(KeptKind::block, "b3"), List{p("s3")});
    // Only blocks and one share left: a new share pushes out the older share.
    EXPECT_EQ(add(KeptKind::share, "s5"), List{p("s4")});
    // Blocks alone beyond the capacity: the oldest block goes.
    EXPECT_EQ(add(KeptKind::block, "b4"), List{p("s5")});
    EXPECT_EQ(add(KeptKind::block, "b5"), List{p("b1")});
    EXPECT_EQ(payloads(outbox), (List{p("b2"), p("b3"), p("b4"), p("b5")}));
    EXPECT_EQ(outbox.bytes, 40u);
    // Larger than the whole capacity: never kept. The id counts too.
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", "", std::string(40, 'x'))), List{std::string(40, 'x')});
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", "id", std::string(38, 'x'))),
              List{std::string(38, 'x')});
    EXPECT_EQ(outbox.entries.size(), 4u);
}

TEST(Outbox, ServerModeWritesPlainPubsThatThePongOfTheFollowingPingDelivers) {
    Outbox outbox;
    outbox.mode = ResultsAck::server;
    std::vector<OutboxEntry> oversized;
    outbox_add(outbox, KeptKind::share, "s", "id-a", "a");
    outbox_add(outbox, KeptKind::block, "s", "id-b", "b");
    EXPECT_EQ(outbox_write_text(outbox, 1024, "", t0, oversized), "PUB s 1\r\na\r\nPUB s 1\r\nb\r\n");
    outbox_ping_sent(outbox, t0);
    outbox_add(outbox, KeptKind::share, "s", "id-c", "c");
    EXPECT_EQ(outbox_write_text(outbox, 1024, "", t0, oversized), "PUB s 1\r\nc\r\n");
    outbox_ping_sent(outbox, t0);
    EXPECT_EQ(outbox_write_text(outbox, 1024, "", t0, oversized), "");

    EXPECT_EQ(payloads(outbox_pong(outbox).delivered), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(payloads(outbox), std::vector<std::string>{"c"});
    outbox_connection_lost(outbox);
    EXPECT_TRUE(outbox_pong(outbox).delivered.empty());  // a stray PONG confirms nothing
    EXPECT_EQ(outbox_write_text(outbox, 1024, "", t0, oversized), "PUB s 1\r\nc\r\n");
    outbox_ping_sent(outbox, t0);
    EXPECT_EQ(payloads(outbox_pong(outbox).delivered), std::vector<std::string>{"c"});
    EXPECT_TRUE(outbox.entries.empty());
    EXPECT_EQ(outbox.bytes, 0u);
    EXPECT_TRUE(oversized.empty());
}

TEST(Outbox, ResultsGoOutWithAReplyOfTheirOwnAndTheirId) {
    Outbox outbox;
    std::vector<OutboxEntry> oversized;
    outbox_add(outbox, KeptKind::share, "drevik.mining.share", "share-7-00ff", "{}");
    EXPECT_EQ(outbox_write_text(outbox, 1024, "_INBOX.x", t0, oversized),
              "HPUB drevik.mining.share _INBOX.x.1 39 41\r\nNATS/1.0\r\nNats-Msg-Id: share-7-00ff\r\n\r\n{}\r\n");
}

TEST(Outbox, ResultsAboveTheServersLimitStayForAnotherServerAndAreReportedOncePerConnection) {
    Outbox outbox;
    outbox_add(outbox, KeptKind::share, "s", "", "12345");
    outbox_add(outbox, KeptKind::block, "r", "", "123456");
    outbox_add(outbox, KeptKind::share, "s", "", "1234");
    std::vector<OutboxEntry> oversized;
    EXPECT_EQ(outbox_write_text(outbox, 5, "", t0, oversized), "PUB s 5\r\n12345\r\nPUB s 4\r\n1234\r\n");
    EXPECT_EQ(payloads(oversized), std::vector<std::string>{"123456"});
    EXPECT_EQ(outbox_write_text(outbox, 5, "", t0, oversized), "");
    EXPECT_EQ(oversized.size(), 1u);
    EXPECT_EQ(outbox.entries.size(), 3u);
    EXPECT_EQ(outbox_next_due(outbox), OutboxClock::time_point::max());  // nothing to retry here

    outbox_connection_lost(outbox);  // the next server takes large messages
    oversized.clear();
    EXPECT_EQ(outbox_write_text(outbox, 1024, "", t0, oversized),
              "PUB s 5\r\n12345\r\nPUB r 6\r\n123456\r\nPUB s 4\r\n1234\r\n");
    EXPECT_TRUE(oversized.empty());
}

// One result through the answers a connection can bring, in automatic or stream mode.
struct AnswerCase {
    const char* what;
    ResultsAck mode;
    std::vector<const char*> events;  // "pong", "stored", "refused", "none" (no responders), "late" (ack wait over)
    bool delivered;
    bool unstored;   // delivered by the server's word alone
    bool due_again;  // to be written again
};

class Answers : public testing::TestWithParam<AnswerCase> {};

TEST_P(Answers, DeliverOrKeepTheResult) {
    const AnswerCase& c = GetParam();
    Outbox outbox;
    outbox.mode = c.mode;
    std::vector<OutboxEntry> oversized;
    outbox_add(outbox, KeptKind::block, "r", "id", "x");
    ASSERT_FALSE(outbox_write_text(outbox, 1024, "_INBOX.x", t0, oversized).empty());
    outbox_ping_sent(outbox, t0);
    OutboxOutcome all;
    for (const std::string event : c.events) {
        OutboxOutcome outcome;
        if (event == "pong") outcome = outbox_pong(outbox);
        if (event == "stored") outcome = outbox_reply(outbox, 1, {AckKind::stored, ""}, t0);
        if (event == "refused") outcome = outbox_reply(outbox, 1, {AckKind::refused, "full"}, t0);
        if (event == "none") outcome = outbox_reply(outbox, 1, {AckKind::no_responders, ""}, t0);
        if (event == "late") outcome = outbox_expire(outbox, t0 + outbox.timings.ack_wait);
        for (OutboxEntry& e : outcome.delivered) all.delivered.push_back(e);
        for (const std::string& s : outcome.unstored_subjects) all.unstored_subjects.push_back(s);
    }
    EXPECT_EQ(all.delivered.size(), c.delivered ? 1u : 0u);
    EXPECT_EQ(outbox.entries.empty(), c.delivered);
    EXPECT_EQ(all.unstored_subjects, c.unstored ? std::vector<std::string>{"r"} : std::vector<std::string>{});
    if (!c.delivered) {
        EXPECT_EQ(!outbox.entries.front().written, c.due_again);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outbox, Answers,
    testing::Values(
        AnswerCase{"stored", ResultsAck::automatic, {"stored"}, true, false, false},
        AnswerCase{"stored after its PONG", ResultsAck::automatic, {"pong", "stored"}, true, false, false},
        AnswerCase{"PONG alone waits for the stream", ResultsAck::automatic, {"pong"}, false, false, false},
        AnswerCase{"nobody takes it, then its PONG", ResultsAck::automatic, {"none", "pong"}, true, true, false},
        AnswerCase{"its PONG, then nobody takes it", ResultsAck::automatic, {"pong", "none"}, true, true, false},
        AnswerCase{"no answer in the wait: no stream", ResultsAck::automatic, {"pong", "late"}, true, true, false},
        AnswerCase{"no PONG, no expiry", ResultsAck::automatic, {"late"}, false, false, false},
        AnswerCase{"refused", ResultsAck::automatic, {"pong", "refused"}, false, false, true},
        AnswerCase{"stream: nobody takes it", ResultsAck::stream, {"none", "pong"}, false, false, true},
        AnswerCase{"stream: no answer in the wait", ResultsAck::stream, {"pong", "late"}, false, false, true},
        AnswerCase{"stream: stored", ResultsAck::stream, {"pong", "stored"}, true, false, false}),
    [](const testing::TestParamInfo<AnswerCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c != '\0'; ++c) name += std::isalnum(*c) != 0 ? *c : '_';
        return name;
    });

TEST(Outbox, WhereAStreamStoredTheSubjectOnAnyConnectionItsSilenceOrAbsenceIsAnOutage) {
    Outbox outbox;
    std::vector<OutboxEntry> oversized;
    outbox_add(outbox, KeptKind::share, "s", "a", "1");
    outbox_add(outbox, KeptKind::share, "s", "b", "2");
    outbox_write_text(outbox, 1024, "_INBOX.x", t0, oversized);
    outbox_ping_sent(outbox, t0);
    outbox_pong(outbox);
    EXPECT_TRUE(outbox_reply(outbox, 1, {AckKind::stored, ""}, t0).stored);
    EXPECT_EQ(outbox_next_due(outbox), t0 + outbox.timings.ack_wait);
    EXPECT_TRUE(outbox_expire(outbox, t0 + outbox.timings.ack_wait).delivered.empty());
    EXPECT_EQ(outbox_write_text(outbox, 1024, "_INBOX.x", t0 + outbox.timings.ack_wait, oversized),
              "HPUB s _INBOX.x.2 28 29\r\nNATS/1.0\r\nNats-Msg-Id: b\r\n\r\n2\r\n");
    // On the next connection nobody takes the subject: kept for the stream to come back.
    outbox_connection_lost(outbox);
    outbox_write_text(outbox, 1024, "_INBOX.x", t0 + outbox.timings.ack_wait, oversized);
    outbox_ping_sent(outbox, t0);
    const OutboxOutcome outcome = outbox_reply(outbox, 2, {AckKind::no_responders, ""}, t0);
    EXPECT_EQ(outcome.refusals, std::vector<std::string>{"no stream takes its subject"});
    EXPECT_TRUE(outbox_pong(outbox).delivered.empty());
    EXPECT_EQ(payloads(outbox), std::vector<std::string>{"2"});
}

TEST(Outbox, RefusalsBackOffDoublingUpToTheLimitAndAStoreResetsIt) {
    Outbox outbox;
    outbox.timings = {milliseconds(5000), milliseconds(1000), milliseconds(3000)};
    std::vector<OutboxEntry> oversized;
    outbox_add(outbox, KeptKind::block, "r", "id", "x");
    OutboxClock::time_point now = t0;
    std::vector<long long> backoffs;
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(outbox_write_text(outbox, 1024, "_INBOX.x", now, oversized).empty());
        const OutboxOutcome outcome = outbox_reply(outbox, 1, {AckKind::refused, "maximum messages exceeded"}, now);
        EXPECT_EQ(outcome.refusals, std::vector<std::string>{"maximum messages exceeded"});
        backoffs.push_back(outcome.retry_in.count());
        EXPECT_EQ(outbox_next_due(outbox), now + outcome.retry_in);
        // Not written again before its time.
        EXPECT_EQ(outbox_write_text(outbox, 1024, "_INBOX.x", now + outcome.retry_in - milliseconds(1), oversized), "");
        now += outcome.retry_in;
    }
    EXPECT_EQ(backoffs, (std::vector<long long>{1000, 2000, 3000, 3000}));
    outbox_write_text(outbox, 1024, "_INBOX.x", now, oversized);
    EXPECT_TRUE(outbox_reply(outbox, 1, {AckKind::stored, ""}, now).stored);
    outbox_add(outbox, KeptKind::block, "r", "id2", "y");
    outbox_write_text(outbox, 1024, "_INBOX.x", now, oversized);
    EXPECT_EQ(outbox_reply(outbox, 2, {AckKind::refused, "full"}, now).retry_in.count(), 1000);
}

TEST(Outbox, AStoredAnswerForACopyFromALostConnectionDeliversAndOthersForUnknownSeqsDoNothing) {
    Outbox outbox;
    std::vector<OutboxEntry> oversized;
    outbox_add(outbox, KeptKind::share, "s", "a", "1");
    outbox_write_text(outbox, 1024, "_INBOX.x", t0, oversized);
    outbox_connection_lost(outbox);
    EXPECT_TRUE(outbox_reply(outbox, 1, {AckKind::refused, "old"}, t0).refusals.empty());
    EXPECT_TRUE(outbox_reply(outbox, 9, {AckKind::stored, ""}, t0).delivered.empty());
    EXPECT_EQ(payloads(outbox_reply(outbox, 1, {AckKind::stored, ""}, t0).delivered), std::vector<std::string>{"1"});
}

TEST(Outbox, OnlyPingsAfterNewResultsWaitForAPongThatConfirmsThem) {
    Outbox outbox;
    std::vector<OutboxEntry> oversized;
    outbox_ping_sent(outbox, t0);  // keep-alive
    EXPECT_EQ(outbox_oldest_result_ping(outbox), nullptr);
    outbox_add(outbox, KeptKind::share, "s", "a", "1");
    outbox_write_text(outbox, 1024, "_INBOX.x", t0, oversized);
    outbox_ping_sent(outbox, t0 + milliseconds(5));
    ASSERT_NE(outbox_oldest_result_ping(outbox), nullptr);
    EXPECT_EQ(outbox_oldest_result_ping(outbox)->sent_at, t0 + milliseconds(5));
    outbox_pong(outbox);
    outbox_pong(outbox);
    EXPECT_EQ(outbox_oldest_result_ping(outbox), nullptr);
}

}  // namespace
