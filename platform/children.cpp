#include "children.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

pid_t StartChild(const std::function<int()>& body) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid < 0 ? -1 : pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the signal was asked for.
    if (getppid() != parent) _exit(1);
    _exit(body());
}

bool EndChild(pid_t pid) {
    if (pid <= 0) return false;
    if (kill(pid, SIGKILL) != 0 && errno != ESRCH) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return true;
}

}  // namespace platform
