// Every absolute path of the system resolves under STATION_ROOT (default "/"),
// so a test or the simulation can give a program a directory of its own as
// the board's file system: its device nodes, /Storage, /root, /mnt, sysfs.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The root in use: the STATION_ROOT environment variable, or "/".
std::string StationRoot();
// True when the programs run under a root of their own (not "/").
bool IsSandboxRoot();
// Maps an absolute system path ("/dev/ttyS2") into the root.
std::string SystemPath(std::string_view absolutePath);

}  // namespace platform
