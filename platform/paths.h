// Every absolute path of the system resolves under STATION_ROOT (default "/"),
// so a test or the simulation can give a program a directory of its own as
// the board's file system: its device nodes, /Storage, /root, /mnt, sysfs.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The root in use, resolved: the STATION_ROOT environment variable, or "/".
// Resolved once for each root a program is given: a link on the root's
// path is followed when the root is first used.
std::string StationRoot();
// True when the programs run under a root of their own (one that does not
// resolve to "/").
bool IsSandboxRoot();
// False, with a reason, when the root does not exist or is not a folder: a
// program then does not start (a missing root is never created).
bool CheckStationRoot(std::string* error = nullptr);
// Maps an absolute system path ("/dev/ttyS2") into the root.
std::string SystemPath(std::string_view absolutePath);

}  // namespace platform
