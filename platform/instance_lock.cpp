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

#include "paths.h"

namespace platform {

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
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (error) *error = errno == EWOULDBLOCK ? name + " is already running" : path + ": " + std::strerror(errno);
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
