#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

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
    int out_fds[2];
    int err_fds[2];
    if (pipe(out_fds) != 0) return {};
    if (pipe(err_fds) != 0) {
        close(out_fds[0]);
        close(out_fds[1]);
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(out_fds[1], 1);
        dup2(err_fds[1], 2);
        close(out_fds[0]);
        close(err_fds[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out_fds[1]);
    close(err_fds[1]);
    ProcessResult result;
    // Both pipes at once, so that neither fills while the other is being read.
    pollfd fds[2] = {{out_fds[0], POLLIN, 0}, {err_fds[0], POLLIN, 0}};
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
                close(fds[i].fd);
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
