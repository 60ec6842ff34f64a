#include "program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

pid_t StartProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    // Everything exec needs is made before the fork.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid < 0 ? -1 : pid;
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
    }
    execvp(args[0], args.data());
    _exit(127);
}

ProgramState PollProgram(pid_t pid, int* exitCode) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return ProgramState::Running;
    if (r < 0) {
        *exitCode = -1;
    } else if (WIFEXITED(status)) {
        *exitCode = WEXITSTATUS(status);
    } else {
        *exitCode = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    return ProgramState::Exited;
}

void StopProgram(pid_t pid) {
    if (pid <= 1 || kill(pid, SIGTERM) != 0) return;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace platform
