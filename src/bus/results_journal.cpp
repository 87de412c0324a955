#include "bus/results_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

// A journal kept within its bound is a few MiB; past this, the rest can only be damage.
constexpr size_t kMostRead = size_t{16} * 1024 * 1024;
// Rewritten with only the pending finds once the file grows past this.
constexpr size_t kRewriteAbove = 2 * kOutboxBytes + size_t{64} * 1024;

std::string system_error(const char* what) { return std::string(what) + ": " + std::generic_category().message(errno); }

bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool read_up_to(int fd, size_t most, std::string& bytes) {
    char buffer[65536];
    while (bytes.size() < most) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, most - bytes.size()));
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename is on disk once the directory that holds the name is.
void sync_directory(const std::string& path) {
    const UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

ResultsJournal::ResultsJournal(std::string path, UniqueFd lock) : path(std::move(path)), lock_fd(std::move(lock)) {}

ResultsJournal::~ResultsJournal() = default;

ResultsJournal::Opened ResultsJournal::open(const std::string& path) {
    Opened opened;
    const std::string lock_path = path + ".lock";
    UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock.valid()) {
        opened.error = system_error(("cannot open " + lock_path).c_str());
        return opened;
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        opened.error = errno == EWOULDBLOCK ? "in use by another miner (" + lock_path + " is locked)"
                                            : system_error(("cannot lock " + lock_path).c_str());
        return opened;
    }
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        opened.error = system_error("cannot open");
        return opened;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        opened.error = "not a regular file";
        return opened;
    }
    std::string bytes;
    if (!read_up_to(fd.get(), kMostRead, bytes)) {
        opened.error = system_error("cannot read");
        return opened;
    }
    JournalReplay replay = replay_journal(bytes);
    const size_t file_size = static_cast<size_t>(status.st_size);
    if (replay.good_bytes < file_size) {
        opened.damage = std::to_string(file_size - replay.good_bytes) + " bytes at offset " +
                        std::to_string(replay.good_bytes) + " (" +
                        (replay.damage.empty() ? std::string("beyond what is read") : replay.damage) + ")";
    }
    std::unique_ptr<ResultsJournal> journal(new ResultsJournal(path, std::move(lock)));
    {
        MutexLock guard(journal->mutex);
        journal->fd = std::move(fd);
        journal->live = replay.pending;
        // Starts from a clean file: only what is pending, no damaged tail to append after.
        if (!journal->rewrite()) {
            opened.error = system_error("cannot rewrite");
            return opened;
        }
    }
    opened.journal = std::move(journal);
    opened.pending = std::move(replay.pending);
    return opened;
}

bool ResultsJournal::append(const std::string& record) {
    if (::lseek(fd.get(), static_cast<off_t>(file_bytes), SEEK_SET) < 0) return false;
    if (!write_all(fd.get(), record)) {
        // No half record may stay for later ones to follow: replay would stop at it.
        [[maybe_unused]] const int undone = ::ftruncate(fd.get(), static_cast<off_t>(file_bytes));
        return false;
    }
    file_bytes += record.size();
    return true;
}

void ResultsJournal::keep_small() {
    // A failed rewrite leaves the longer journal, which is still whole; the next record tries again.
    if (file_bytes > kRewriteAbove) rewrite();
}

bool ResultsJournal::append_find(const JournalFind& find) {
    MutexLock guard(mutex);
    if (!append(find_record(find)) || ::fdatasync(fd.get()) != 0) return false;
    live.push_back(find);
    keep_small();
    return true;
}

bool ResultsJournal::mark_done(const std::string& msg_id) {
    MutexLock guard(mutex);
    const auto it = std::find_if(live.begin(), live.end(), [&](const JournalFind& f) { return f.msg_id == msg_id; });
    if (it == live.end()) return true;
    live.erase(it);
    const bool written = append(done_record(msg_id));
    keep_small();
    return written;
}

bool ResultsJournal::rewrite() {
    const std::string temporary = path + ".tmp";
    UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out.valid()) return false;
    std::string bytes;
    for (const JournalFind& find : live) bytes += find_record(find);
    if (!write_all(out.get(), bytes) || ::fdatasync(out.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    sync_directory(path);
    fd = std::move(out);
    // Reopened for reading and writing: the descriptor of the rename's source was write-only.
    fd.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    file_bytes = bytes.size();
    return fd.valid();
}
