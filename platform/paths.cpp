#include "paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string Given() {
    const char* r = std::getenv("STATION_ROOT");
    return (r != nullptr && *r != '\0') ? r : "/";
}

}  // namespace

std::string StationRoot() {
    // The root is judged by where it really is: "/.", "/tmp/.." or a link to
    // "/" are the host's own root, never a sandbox.
    const std::string given = Given();
    char resolved[PATH_MAX];
    if (realpath(given.c_str(), resolved) != nullptr) return resolved;
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
