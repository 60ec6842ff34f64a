// Child processes of a program, known and ended by their process id. A child
// dies with its parent, so no child outlives a program that crashed or was
// killed; ending a child waits for it, so none is left behind as a zombie.
#pragma once

#include <sys/types.h>

#include <functional>

namespace platform {

// Starts `body` in a child process that ends with `body`'s result. Returns the
// child's id, or -1 when no child could be started.
pid_t StartChild(const std::function<int()>& body);
// Kills the child and waits for it. False when `pid` is not a child of ours.
bool EndChild(pid_t pid);

}  // namespace platform
