#pragma once
// Child processes for tests that need real servers: started detached from our stdin and output,
// stopped by their process id. Every call returns; a program that cannot run reports failure.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>
namespace mivodrell::testing {
// Runs `argv` (in our environment), keeping only `keepFd` of our descriptors; returns its pid.
inline pid_t spawnProcess(const std::vector<std::string>& argv, int keepFd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keepFd) close(fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}
inline void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}
// Runs a command to its end; its exit status, -1 when it could not run or was killed.
inline int runProcess(const std::vector<std::string>& argv) {
    const pid_t pid = spawnProcess(argv);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
}  // namespace mivodrell::testing
