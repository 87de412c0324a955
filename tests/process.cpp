#include "process.h"

#include <fcntl.h>
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
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    ProcessResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.standard_error.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipe_fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}
