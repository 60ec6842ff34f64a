// The process's own scheduling priority.
#pragma once

namespace platform {

// Sets the niceness of the calling process (negative raises its priority).
// False when the system refuses (not permitted, out of range).
bool SetOwnNiceness(int niceness);

}  // namespace platform
