#include "monitor/stats_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/console_text.h"
#include "common/unique_fd.h"
#include "common/log.h"

namespace {

// Operator text in a log line: escaped and cut like any other.
std::string shown(const std::string& path) { return console_text(path, 300); }

std::string error_text(int error) { return std::strerror(error); }  // NOLINT(concurrency-mt-unsafe): glibc's is safe

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// What is at `path` now, when the rename must not replace it.
std::string occupant_problem(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? "" : error_text(errno);
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) return "";
    return std::string("is ") + kind_of(info.st_mode) + ", not a regular file";
}

// A new temporary file next to `path`, named into `temporary`.
UniqueFd make_temporary(const std::string& path, std::string& temporary, std::string& why) {
    temporary = path + ".XXXXXX";
    UniqueFd fd(mkstemp(temporary.data()));
    if (!fd) why = "cannot make a file in its directory: " + error_text(errno);
    return fd;
}

bool write_all(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool check_stats_file(const std::string& path) {
    std::string why = occupant_problem(path);
    std::string temporary;
    if (why.empty() && make_temporary(path, temporary, why)) {
        unlink(temporary.c_str());
        return true;
    }
    log_line("ERROR", "Statistics file %s: %s", shown(path).c_str(), why.c_str());
    return false;
}

bool write_stats_file(const std::string& path, const std::string& text, std::string& why) {
    why = occupant_problem(path);
    if (!why.empty()) return false;
    std::string temporary;
    UniqueFd fd = make_temporary(path, temporary, why);
    if (!fd) return false;
    bool ok = fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), text);
    // Closed by hand: a write the file system defers can fail only here.
    ok = close(fd.release()) == 0 && ok;
    if (!ok) {
        why = "cannot write: " + error_text(errno);
    } else if (rename(temporary.c_str(), path.c_str()) != 0) {
        why = "cannot replace it: " + error_text(errno);
        ok = false;
    }
    if (!ok) unlink(temporary.c_str());
    return ok;
}

void store_stats_file(StatsFileLog& log, const std::string& path, const std::string& text) {
    std::string why;
    const bool ok = write_stats_file(path, text, why);
    if (ok == !log.failing) return;
    log.failing = !ok;
    if (ok) {
        log_line("INFO", "Statistics file %s: written again", shown(path).c_str());
    } else {
        log_line("ERROR", "Statistics file %s: %s (tried again at every heartbeat)", shown(path).c_str(), why.c_str());
    }
}
