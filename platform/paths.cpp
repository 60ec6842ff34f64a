#include "paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

std::string Given() {
    const char* r = std::getenv("STATION_ROOT");
    return (r != nullptr && *r != '\0') ? r : "/";
}

}  // namespace

std::string StationRoot() {
    // The root is judged by where it really is: "/.", "/tmp/.." or a link to
    // "/" are the host's own root, never a sandbox. Resolving takes a system
    // call per folder of the root's path and every file a program opens
    // comes through here, so a root, once resolved, is kept for as long as
    // the program is given the same one.
    const std::string given = Given();
    static std::mutex mutex;
    static std::string keptGiven, keptResolved;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!keptResolved.empty() && keptGiven == given) return keptResolved;
    }
    char resolved[PATH_MAX];
    if (realpath(given.c_str(), resolved) != nullptr) {
        std::lock_guard<std::mutex> lock(mutex);
        keptGiven = given;
        keptResolved = resolved;
        return keptResolved;
    }
    // A root that cannot be resolved stays a sandbox: nothing of the host is used.
    std::string root = given;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool IsSandboxRoot() { return StationRoot() != "/"; }

bool CheckStationRoot(std::string* error) {
    const std::string given = Given();
    struct stat st{};
    if (stat(given.c_str(), &st) != 0) {
        if (error) *error = "station root " + given + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (error) *error = "station root " + given + ": not a folder";
        return false;
    }
    return true;
}

std::string SystemPath(std::string_view p) {
    std::string root = StationRoot();
    if (root == "/" || p.empty() || p.front() != '/') return std::string(p);
    return root + std::string(p);
}

}  // namespace platform
