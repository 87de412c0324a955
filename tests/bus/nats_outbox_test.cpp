#include "bus/nats_outbox.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> payloads(const Outbox& outbox) {
    std::vector<std::string> list;
    for (const OutboxEntry& e : outbox.entries) list.push_back(e.payload);
    return list;
}

std::vector<std::string> payloads(const std::deque<OutboxEntry>& entries) {
    std::vector<std::string> list;
    for (const OutboxEntry& e : entries) list.push_back(e.payload);
    return list;
}

// Entries of 10 bytes: subject "s" plus a 9-byte payload.
std::string p(const char* name) { return std::string(name) + std::string(9 - std::string(name).size(), '.'); }

TEST(Outbox, KeepsBlocksFirstThenTheNewestSharesWithinItsCapacity) {
    Outbox outbox;
    outbox.capacity = 40;
    EXPECT_TRUE(outbox_add(outbox, KeptKind::share, "s", p("s1")).empty());
    EXPECT_TRUE(outbox_add(outbox, KeptKind::block, "s", p("b1")).empty());
    EXPECT_TRUE(outbox_add(outbox, KeptKind::share, "s", p("s2")).empty());
    EXPECT_TRUE(outbox_add(outbox, KeptKind::share, "s", p("s3")).empty());
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::share, "s", p("s4"))), std::vector<std::string>{p("s1")});
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", p("b2"))), std::vector<std::string>{p("s2")});
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", p("b3"))), std::vector<std::string>{p("s3")});
    // Only blocks and one share left: a new share pushes out the older share.
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::share, "s", p("s5"))), std::vector<std::string>{p("s4")});
    // Blocks alone beyond the capacity: the oldest block goes.
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", p("b4"))), (std::vector<std::string>{p("s5")}));
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", p("b5"))), std::vector<std::string>{p("b1")});
    EXPECT_EQ(payloads(outbox), (std::vector<std::string>{p("b2"), p("b3"), p("b4"), p("b5")}));
    EXPECT_EQ(outbox.bytes, 40u);
    // Larger than the whole capacity: never kept.
    EXPECT_EQ(payloads(outbox_add(outbox, KeptKind::block, "s", std::string(40, 'x'))),
              std::vector<std::string>{std::string(40, 'x')});
    EXPECT_EQ(outbox.entries.size(), 4u);
}

TEST(Outbox, APongConfirmsWhatWasWrittenBeforeItsPingAndALossMakesTheRestPending) {
    Outbox outbox;
    std::deque<OutboxEntry> refused;
    outbox_add(outbox, KeptKind::share, "s", "a");
    outbox_add(outbox, KeptKind::block, "s", "b");
    // A handshake writes both, then its PING.
    EXPECT_EQ(outbox_write_text(outbox, 1024, refused), "PUB s 1\r\na\r\nPUB s 1\r\nb\r\n");
    outbox_ping_sent(outbox);
    outbox_add(outbox, KeptKind::share, "s", "c");
    outbox_mark_last_written(outbox);
    outbox_ping_sent(outbox);
    EXPECT_EQ(outbox_write_text(outbox, 1024, refused), "");

    outbox_pong(outbox);  // the handshake's PING
    EXPECT_EQ(payloads(outbox), std::vector<std::string>{"c"});
    outbox_connection_lost(outbox);
    outbox_pong(outbox);  // a stray PONG confirms nothing
    EXPECT_EQ(payloads(outbox), std::vector<std::string>{"c"});
    EXPECT_EQ(outbox_write_text(outbox, 1024, refused), "PUB s 1\r\nc\r\n");
    outbox_ping_sent(outbox);
    outbox_pong(outbox);
    EXPECT_TRUE(outbox.entries.empty());
    EXPECT_EQ(outbox.bytes, 0u);
    EXPECT_TRUE(refused.empty());
}

TEST(Outbox, EntriesAboveTheServersLimitAreRefusedNotWritten) {
    Outbox outbox;
    outbox_add(outbox, KeptKind::share, "s", "12345");
    outbox_add(outbox, KeptKind::block, "r", "123456");
    outbox_add(outbox, KeptKind::share, "s", "1234");
    std::deque<OutboxEntry> refused;
    EXPECT_EQ(outbox_write_text(outbox, 5, refused), "PUB s 5\r\n12345\r\nPUB s 4\r\n1234\r\n");
    EXPECT_EQ(payloads(refused), std::vector<std::string>{"123456"});
    EXPECT_EQ(outbox.entries.size(), 2u);
    EXPECT_EQ(outbox.bytes, 1u + 5 + 1 + 4);
}

}  // namespace
