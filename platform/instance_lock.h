// One instance of each program per board: a program takes its lock at start
// and holds it for its life; a second start finds it taken and exits.
#pragma once

#include <string>

namespace platform {

// Takes the exclusive lock "/var/lock/<name>.lock" under the station root and
// keeps it until the process ends (the kernel drops it with the last holder,
// also after a kill). False, with a reason, when another process holds it or
// the lock file cannot be made. A holder on its way out (killed, its exit
// under way) is waited for, up to 10 s: it has left the process list before
// the kernel drops its lock. The descriptor is not passed to programs
// started with exec; a forked child shares the lock with its parent.
bool HoldInstanceLock(const std::string& name, std::string* error = nullptr);

// For a forked child that shares its parent's lock: the child ends when the
// parent (`parentPid`, taken before the fork) does, so a killed program can be
// started again at once. False when the parent is already gone.
bool EndWithParent(int parentPid);

// True while some process holds the lock of `name`: the program is running.
// The kernel drops a lock with its holder, so a killed program counts as gone
// at once and a reused pid can never be mistaken for it.
bool InstanceRunning(const std::string& name);

// The process id of the program holding the lock of `name`, 0 when none
// does. The holder writes its id into the lock file once it has the lock, and
// the id is only believed while the lock is held, so a stale id is never given.
int InstanceHolderPid(const std::string& name);

}  // namespace platform
