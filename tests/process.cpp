#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"

extern char** environ;

namespace {

bool open_pipe(UniqueFd& read_end, UniqueFd& write_end) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& environment) {
    std::vector<char*> envp;
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string inherited(*entry);
        bool replaced = false;
        for (const std::string& e : environment) {
            replaced = replaced || inherited.compare(0, e.find('=') + 1, e, 0, e.find('=') + 1) == 0;
        }
        if (!replaced) envp.push_back(*entry);
    }
    envp.push_back(nullptr);
    UniqueFd out_read;
    UniqueFd out_write;
    UniqueFd err_read;
    UniqueFd err_write;
    if (!open_pipe(out_read, out_write) || !open_pipe(err_read, err_write)) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        // The child execs or exits without running destructors: what it closes, it closes here.
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(out_write.get(), 1);
        dup2(err_write.get(), 2);
        out_read.reset();
        err_read.reset();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    out_write.reset();
    err_write.reset();
    ProcessResult result;
    // Both pipes at once, so that neither fills while the other is being read.
    UniqueFd* read_ends[2] = {&out_read, &err_read};
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    std::string* texts[2] = {&result.standard_output, &result.standard_error};
    int open_pipes = 2;
    char buffer[4096];
    while (open_pipes > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                read_ends[i]->reset();
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}
