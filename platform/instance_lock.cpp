#include "instance_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace platform
