// Long-running external programs (file transfers) started by an argument
// list, never a shell, and followed by their own process id and exit status.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (looked up in PATH) with its arguments, output discarded.
// Returns its process id, or -1 when it could not be started.
pid_t StartProgram(const std::vector<std::string>& argv);

enum class ProgramState { Running, Exited };
// Running while the program runs; Exited once it has ended, with its exit
// status in `exitCode` (128 + signal when it was killed). A pid that is not a
// child of ours counts as Exited with exit code -1.
ProgramState PollProgram(pid_t pid, int* exitCode);

// Ends the program (SIGTERM) and waits for it.
void StopProgram(pid_t pid);

}  // namespace platform
