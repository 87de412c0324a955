#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bus/journal_record.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"

// The outbox on disk, so that finds survive a crash, a power cut or a restart: every find is
// written and flushed (fdatasync) before it is published, and marked done once it is delivered
// or pushed out of the outbox. The file holds little more than twice the outbox's bound: past
// that it is rewritten with only the finds still pending, through a temporary file and a
// rename, so a crash at any point leaves one whole journal. A lock file beside it (PATH.lock,
// held while the journal is open) keeps a second miner away.
class ResultsJournal {
public:
    struct Opened {
        std::unique_ptr<ResultsJournal> journal;  // null when it cannot be used (`error` says why)
        std::vector<JournalFind> pending;         // finds not done, in the order they were found
        std::string damage;                       // a damaged tail that was dropped, described
        std::string error;
    };
    static Opened open(const std::string& path);

    // True once the record is on disk. A failure leaves the journal as it was.
    bool append_find(const JournalFind& find) EXCLUDES(mutex);
    // Not flushed: if it is lost, the find is only sent once more.
    bool mark_done(const std::string& msg_id) EXCLUDES(mutex);

    ~ResultsJournal();
    ResultsJournal(const ResultsJournal&) = delete;
    ResultsJournal& operator=(const ResultsJournal&) = delete;

private:
    ResultsJournal(std::string path, UniqueFd lock);
    bool append(const std::string& record) REQUIRES(mutex);
    void keep_small() REQUIRES(mutex);
    bool rewrite() REQUIRES(mutex);

    const std::string path;
    UniqueFd lock_fd;
    Mutex mutex;
    UniqueFd fd GUARDED_BY(mutex);
    std::vector<JournalFind> live GUARDED_BY(mutex);  // written and not done, in order
    size_t file_bytes GUARDED_BY(mutex) = 0;
};
