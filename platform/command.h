// The one way the station programs run external commands: a program and its
// argument list, never a shell. `text` is the command as the station writes
// it in its logs; it is what tests see.
//
// Under a sandbox root (STATION_ROOT other than "/") only programs that exist
// inside the root are run; any other command is written to the root's
// "commands.log" and not run, so neither a test nor the simulation can set the
// host's clock, reconfigure its network or reboot it.
#pragma once

#include <string>
#include <vector>

namespace platform {

// A command that has not ended after its limit is ended by its process id
// (its whole process group, so a script's own children go with it) and reaped;
// the caller goes on. No caller waits on a child without a bound.
inline constexpr int kCommandLimitMs = 60000;
// Commands that copy, pack or write whole images (flashcp erasing a NOR
// partition takes minutes): ended half-way they would leave a torn image, so
// their bound only guards against one that never ends.
inline constexpr int kCommandImageLimitMs = 20 * 60000;
// What Run returns for a command ended at its limit (as timeout(1) does).
inline constexpr int kCommandTimedOut = 124;
// A wait longer than this is told through the wait notice while it lasts.
inline constexpr int kCommandNoticeMs = 1000;

struct Command {
    std::string text;                // e.g. "/root/Marlet &"
    std::vector<std::string> argv;   // program (absolute system path or a name) and arguments
    std::string stdoutPath;          // system path that receives standard output (truncated), if set
    std::string cwd;                 // system path to run in, if set
    bool background = false;         // start and do not wait
    bool discardOutput = false;      // standard output and error go nowhere
    int limitMs = kCommandLimitMs;   // foreground commands: ended after this long
};

// How a runner tells what it waits for: once when a command has run longer
// than kCommandNoticeMs, and once when one was ended at its limit. The
// platform has no log of its own; the programs' log installs itself here.
// `key` names the kind of wait (the program and whether it is still running
// or was ended), so a log can count repeats of one kind.
using WaitNotice = void (*)(const std::string& key, const std::string& text);
WaitNotice SetWaitNotice(WaitNotice notice);  // returns the previous one

class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Runs a command; returns its exit status, 0 for a started background
    // command, 127 when the program cannot be run, -1 when it cannot be
    // started, kCommandTimedOut when it was ended at its limit.
    virtual int Run(const Command& cmd) = 0;
};

class SystemRunner final : public CommandRunner {
public:
    int Run(const Command& cmd) override;
};

// Records every command and runs none (tests).
class RecordingRunner final : public CommandRunner {
public:
    int Run(const Command& cmd) override {
        commands.push_back(cmd);
        return result;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const auto& c : commands) t.push_back(c.text);
        return t;
    }
    std::vector<Command> commands;
    int result = 0;
};

CommandRunner& Runner();
CommandRunner* SetRunner(CommandRunner* runner);  // nullptr restores the system runner

class ScopedRunner {
public:
    explicit ScopedRunner(CommandRunner& r) : prev_(SetRunner(&r)) {}
    ~ScopedRunner() { SetRunner(prev_); }
    ScopedRunner(const ScopedRunner&) = delete;
    ScopedRunner& operator=(const ScopedRunner&) = delete;

private:
    CommandRunner* prev_;
};

// Ends the process `pid` (SIGTERM); false for a pid that names no process
// other than init and the caller.
bool TerminateProcess(int pid);

// Convenience: Run(Command{text, argv}).
int RunCommand(std::string text, std::vector<std::string> argv);

}  // namespace platform
