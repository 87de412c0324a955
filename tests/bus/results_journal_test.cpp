// The results journal: its records replayed after every kind of damage a crash or a bad disk
// leaves, and the file kept locked, whole and small.

#include "bus/results_journal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

const JournalFind kShare{KeptKind::share, "drevik.mining.share", "share-7-00000000000000a1", "{\"nonce\":\"a1\"}"};
const JournalFind kBlock{KeptKind::block, "drevik.mining.result", "block-7-00000000000000b2",
                         std::string("x\0\r\n", 4)};
const JournalFind kLater{KeptKind::share, "drevik.mining.share", "share-8-00000000000000c3", ""};

TEST(JournalReplay, GivesTheFindsNotDoneInOrder) {
    const std::string journal = find_record(kShare) + find_record(kBlock) + done_record(kShare.msg_id) +
                                find_record(kLater) + done_record("unknown");
    const JournalReplay replay = replay_journal(journal);
    EXPECT_EQ(replay.pending, (std::vector<JournalFind>{kBlock, kLater}));
    EXPECT_EQ(replay.good_bytes, journal.size());
    EXPECT_EQ(replay.damage, "");
    EXPECT_TRUE(replay_journal("").pending.empty());
}

TEST(JournalReplay, StopsAtTheFirstDamagedRecordAndKeepsWhatCameBefore) {
    const std::string before = find_record(kShare);
    const std::string last = find_record(kBlock);
    // Every cut inside the last record: a write a crash cut short.
    for (size_t keep = 1; keep < last.size(); ++keep) {
        const JournalReplay replay = replay_journal(before + last.substr(0, keep));
        ASSERT_EQ(replay.pending, std::vector<JournalFind>{kShare}) << keep;
        ASSERT_EQ(replay.good_bytes, before.size());
        ASSERT_EQ(replay.damage, "torn record");
    }
    // Every byte of it flipped: the checksum or the length catches each one.
    for (size_t at = 0; at < last.size(); ++at) {
        std::string damaged = last;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
        const JournalReplay replay = replay_journal(before + damaged + find_record(kLater));
        ASSERT_EQ(replay.pending, std::vector<JournalFind>{kShare}) << at;
        ASSERT_EQ(replay.good_bytes, before.size()) << at;
        ASSERT_FALSE(replay.damage.empty()) << at;
    }
    struct Case {
        const char* what;
        std::string tail;
        std::string damage;
    };
    std::string unknown_type = done_record("x");
    unknown_type[8] = 9;
    const std::vector<Case> cases = {
        {"huge length field", std::string("\xff\xff\xff\xff", 4) + std::string(20, 'a'),
         "record length 4294967295 out of range"},
        {"length just above a body's limit", std::string("\x01\x04\x10\x00", 4) + std::string(20, 'a'),
         "record length 1049601 out of range"},
        {"zeros", std::string(64, '\0'), "checksum mismatch"},
        {"unknown type", unknown_type, "checksum mismatch"},
    };
    for (const Case& c : cases) {
        const JournalReplay replay = replay_journal(before + c.tail);
        EXPECT_EQ(replay.pending, std::vector<JournalFind>{kShare}) << c.what;
        EXPECT_EQ(replay.good_bytes, before.size()) << c.what;
        EXPECT_EQ(replay.damage, c.damage) << c.what;
    }
}

class JournalFile : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/drevik-journal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        path = directory + "/results.journal";
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + directory + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);  // NOLINT(concurrency-mt-unsafe): test's own process
    }
    std::string contents() const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void append_bytes(const std::string& bytes) const {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << bytes;
    }

    std::string directory;
    std::string path;
};

TEST_F(JournalFile, KeepsWhatIsNotDoneAcrossARestart) {
    {
        ResultsJournal::Opened opened = ResultsJournal::open(path);
        ASSERT_NE(opened.journal, nullptr) << opened.error;
        EXPECT_TRUE(opened.pending.empty());
        EXPECT_TRUE(opened.journal->append_find(kShare));
        EXPECT_TRUE(opened.journal->append_find(kBlock));
        EXPECT_TRUE(opened.journal->append_find(kLater));
        EXPECT_TRUE(opened.journal->mark_done(kShare.msg_id));
    }
    ResultsJournal::Opened reopened = ResultsJournal::open(path);
    ASSERT_NE(reopened.journal, nullptr);
    EXPECT_EQ(reopened.pending, (std::vector<JournalFind>{kBlock, kLater}));
    EXPECT_EQ(reopened.damage, "");
    // Reopening leaves only what is pending.
    EXPECT_EQ(contents(), find_record(kBlock) + find_record(kLater));
}

TEST_F(JournalFile, DropsADamagedTailOnceAndSaysWhere) {
    {
        ResultsJournal::Opened opened = ResultsJournal::open(path);
        ASSERT_NE(opened.journal, nullptr);
        opened.journal->append_find(kShare);
    }
    const size_t good = find_record(kShare).size();
    append_bytes(find_record(kBlock).substr(0, 11));
    ResultsJournal::Opened opened = ResultsJournal::open(path);
    ASSERT_NE(opened.journal, nullptr);
    EXPECT_EQ(opened.pending, std::vector<JournalFind>{kShare});
    EXPECT_EQ(opened.damage, "11 bytes at offset " + std::to_string(good) + " (torn record)");
    // Later records follow whole ones, so the next start finds no damage.
    EXPECT_TRUE(opened.journal->append_find(kLater));
    opened.journal.reset();
    ResultsJournal::Opened again = ResultsJournal::open(path);
    EXPECT_EQ(again.damage, "");
    EXPECT_EQ(again.pending, (std::vector<JournalFind>{kShare, kLater}));
}

TEST_F(JournalFile, BelongsToOneMinerAtATime) {
    ResultsJournal::Opened first = ResultsJournal::open(path);
    ASSERT_NE(first.journal, nullptr);
    const ResultsJournal::Opened second = ResultsJournal::open(path);
    EXPECT_EQ(second.journal, nullptr);
    EXPECT_EQ(second.error, "in use by another miner (" + path + ".lock is locked)");
    first.journal.reset();
    EXPECT_NE(ResultsJournal::open(path).journal, nullptr);
}

TEST_F(JournalFile, RefusesWhatCannotHoldIt) {
    ASSERT_EQ(mkdir((directory + "/dir").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((directory + "/fifo").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {directory + "/missing/results.journal",
         "cannot open " + directory + "/missing/results.journal.lock: No such file or directory"},
        {directory + "/dir", "cannot open: Is a directory"},
        {directory + "/fifo", "not a regular file"},
    };
    for (const auto& [where, error] : cases) {
        const ResultsJournal::Opened opened = ResultsJournal::open(where);
        EXPECT_EQ(opened.journal, nullptr);
        EXPECT_EQ(opened.error, error);
    }
}

TEST_F(JournalFile, StaysSmallHoweverManyFindsPassThrough) {
    ResultsJournal::Opened opened = ResultsJournal::open(path);
    ASSERT_NE(opened.journal, nullptr);
    JournalFind find = kShare;
    find.payload = std::string(4000, 'p');
    size_t largest = 0;
    for (int i = 0; i < 2000; ++i) {
        find.msg_id = "share-" + std::to_string(i);
        ASSERT_TRUE(opened.journal->append_find(find));
        if (i >= 3) {
            ASSERT_TRUE(opened.journal->mark_done("share-" + std::to_string(i - 3)));
        }
        struct stat status {};
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        largest = std::max(largest, static_cast<size_t>(status.st_size));
    }
    EXPECT_LE(largest, 2 * kOutboxBytes + size_t{72} * 1024);
    opened.journal.reset();
    const ResultsJournal::Opened reopened = ResultsJournal::open(path);
    ASSERT_EQ(reopened.pending.size(), 3u);
    EXPECT_EQ(reopened.pending.front().msg_id, "share-1997");
}

}  // namespace
