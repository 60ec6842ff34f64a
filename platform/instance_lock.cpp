#include "instance_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "clock.h"
#include "paths.h"

namespace platform {

namespace {

// How long a successor waits for a holder on its way out to let go.
constexpr std::int64_t kExitingHolderWaitMs = 10000;
constexpr std::int64_t kExitingHolderPollMs = 10;

// The process whose id the holder wrote into the lock file is on its way
// out: gone, a zombie, or past the start of its exit (PF_EXITING). A killed
// program leaves the process list as its memory goes, a moment before its
// files, and so the lock, are released; a forked child sharing the lock dies
// with it.
bool LockHolderExiting(int fd) {
    char text[16] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return false;  // no id yet: a holder just starting
    const long pid = std::strtol(text, nullptr, 10);
    if (pid <= 1) return false;
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
    if (!f) return true;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    const char* after = read ? std::strrchr(line, ')') : nullptr;
    if (!after) return true;
    char state = 0;
    unsigned long flags = 0;
    // After the name: state, ppid, pgrp, session, tty, tpgid, flags.
    if (std::sscanf(after + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) return true;
    constexpr unsigned long kPfExiting = 0x4;
    return state == 'Z' || state == 'X' || state == 'x' || (flags & kPfExiting) != 0;
}

}  // namespace

bool HoldInstanceLock(const std::string& name, std::string* error) {
    const std::string dir = SystemPath("/var/lock");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = dir + "/" + name + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::int64_t start = GetClock().MonotonicMs();
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        if (held && LockHolderExiting(fd) && GetClock().MonotonicMs() - start < kExitingHolderWaitMs) {
            GetClock().SleepMs(kExitingHolderPollMs);
            continue;
        }
        if (error) *error = held ? name + " is already running" : path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    char pid[16];
    const int n = std::snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, static_cast<std::size_t>(n), 0) != n) {
        if (error) *error = path + ": the process id cannot be written";
        close(fd);
        return false;
    }
    return true;  // the descriptor stays open for the life of the process
}

bool EndWithParent(int parentPid) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return false;
    return getppid() == parentPid;  // a parent that died before the call sends nothing
}

bool InstanceRunning(const std::string& name) {
    const std::string path = SystemPath("/var/lock") + "/" + name + ".lock";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;  // never started
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // also drops the probe's own shared lock
    return held;
}

int InstanceHolderPid(const std::string& name) {
    if (!InstanceRunning(name)) return 0;
    char text[16] = {};
    const std::string path = SystemPath("/var/lock") + "/" + name + ".lock";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    close(fd);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 1 || pid > 4194304) return 0;
    // Read while the lock was held: still the holder's own id.
    return InstanceRunning(name) ? static_cast<int>(pid) : 0;
}

}  // namespace platform
