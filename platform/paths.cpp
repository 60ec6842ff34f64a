#include "paths.h"

#include <cstdlib>

namespace platform {

std::string StationRoot() {
    const char* r = std::getenv("STATION_ROOT");
    std::string root = (r != nullptr && *r != '\0') ? r : "/";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool IsSandboxRoot() { return StationRoot() != "/"; }

std::string SystemPath(std::string_view p) {
    std::string root = StationRoot();
    if (root == "/" || p.empty() || p.front() != '/') return std::string(p);
    return root + std::string(p);
}

}  // namespace platform
