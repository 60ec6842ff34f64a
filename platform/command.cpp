#include "command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "clock.h"
#include "paths.h"
#include "program.h"

namespace platform {
namespace {

bool IsExecutable(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program to execute, or "" when it must not be run here.
std::string ResolveProgram(const std::string& program) {
    if (!IsSandboxRoot()) return program;  // execvp searches PATH for plain names
    if (!program.empty() && program.front() == '/') {
        std::string p = SystemPath(program);
        return IsExecutable(p) ? p : "";
    }
    for (const char* dir : {"/bin/", "/sbin/", "/usr/bin/", "/usr/sbin/"}) {
        std::string p = SystemPath(std::string(dir) + program);
        if (IsExecutable(p)) return p;
    }
    return "";
}

void NoteNotRun(const Command& cmd) {
    std::ofstream log(SystemPath("/commands.log"), std::ios::app);
    log << cmd.text << '\n';
}

// The child keeps only standard input, output and error: descriptors the
// parent opened without close-on-exec (a serial line, a device) must not stay
// open in a program that runs on after the parent has closed them.
void CloseInheritedDescriptors() {
    if (close_range(3, ~0u, 0) == 0) return;
    const long max = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max > 0 ? max : 1024); ++fd) close(static_cast<int>(fd));
}

[[noreturn]] void ExecChild(const Command& cmd, const std::string& program) {
    if (!cmd.cwd.empty() && chdir(SystemPath(cmd.cwd).c_str()) != 0) _exit(127);
    if (!cmd.stdoutPath.empty()) {
        int fd = open(SystemPath(cmd.stdoutPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) _exit(127);
        if (fd != STDOUT_FILENO) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
    if (cmd.discardOutput) {
        int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            if (fd > STDERR_FILENO) close(fd);
        }
    }
    CloseInheritedDescriptors();
    std::vector<char*> args;
    for (const auto& a : cmd.argv) args.push_back(const_cast<char*>(a.c_str()));
    args[0] = const_cast<char*>(program.c_str());
    args.push_back(nullptr);
    execvp(program.c_str(), args.data());
    _exit(127);
}

SystemRunner g_system_runner;
CommandRunner* g_runner = &g_system_runner;
WaitNotice g_notice = nullptr;

void Notice(const Command& cmd, const char* kind, const std::string& text) {
    if (g_notice != nullptr) g_notice(cmd.argv[0] + kind, text);
}

// After SIGTERM a child gets this long to end before SIGKILL.
constexpr std::int64_t kTermGraceMs = 1000;

// Ends a child of ours (with its process group when it leads one): TERM
// first, KILL after a grace, and reaps it, so no wait here is unbounded.
void EndAndReap(pid_t pid, bool group) {
    SystemClock real;
    if (group) kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    const std::int64_t termAt = real.MonotonicMs();
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        // Only before the reap: after it the id may name another process.
        if (real.MonotonicMs() - termAt >= kTermGraceMs) break;
        real.SleepMs(10);
    }
    if (group) kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Waits for the child up to `limitMs`; then ends its process group, TERM
// first and KILL after a grace, and reaps it. The real monotonic clock: this
// waits on a real process, whatever clock the caller's logic runs on.
int WaitBounded(pid_t pid, const Command& cmd) {
    SystemClock real;
    const std::int64_t start = real.MonotonicMs();
    std::int64_t pauseMs = 1;
    bool told = false;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR) return -1;
        const std::int64_t waited = real.MonotonicMs() - start;
        // Told before the limit is judged, so a late wake-up never skips it.
        if (!told && waited >= kCommandNoticeMs) {
            told = true;
            Notice(cmd, " waiting", "waiting for \"" + cmd.text + "\" (limit " + std::to_string(cmd.limitMs / 1000) + " s)");
        }
        if (waited >= cmd.limitMs) break;
        real.SleepMs(pauseMs);
        if (pauseMs < 20) pauseMs *= 2;
    }
    EndAndReap(pid, true);
    Notice(cmd, " ended", "\"" + cmd.text + "\" ended after its limit of " + std::to_string(cmd.limitMs / 1000) + " s");
    return kCommandTimedOut;
}

}  // namespace

int SystemRunner::Run(const Command& cmd) {
    if (cmd.argv.empty()) return -1;
    std::string program = ResolveProgram(cmd.argv[0]);
    if (program.empty()) {
        NoteNotRun(cmd);
        return 127;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Its own process group, so a stuck script is ended with its children.
        if (!cmd.background) setpgid(0, 0);
        if (cmd.background) {
            // Detach: the grandchild is adopted by init, so nobody has to reap it.
            setsid();
            pid_t inner = fork();
            if (inner != 0) _exit(inner < 0 ? 1 : 0);
        }
        ExecChild(cmd, program);
    }
    if (!cmd.background) {
        setpgid(pid, pid);  // either side may run first
        return WaitBounded(pid, cmd);
    }
    // The intermediate child ends at once, after its fork.
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

WaitNotice SetWaitNotice(WaitNotice notice) {
    WaitNotice prev = g_notice;
    g_notice = notice;
    return prev;
}

pid_t StartProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    Command cmd;
    cmd.argv = argv;
    cmd.discardOutput = true;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid < 0 ? -1 : pid;
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0 && devnull != STDIN_FILENO) {
        dup2(devnull, STDIN_FILENO);
        close(devnull);
    }
    ExecChild(cmd, argv[0]);  // execvp searches PATH for plain names
}

ProgramState PollProgram(pid_t pid, int* exitCode) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return ProgramState::Running;
    if (r < 0) {
        *exitCode = -1;
    } else if (WIFEXITED(status)) {
        *exitCode = WEXITSTATUS(status);
    } else {
        *exitCode = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    return ProgramState::Exited;
}

void StopProgram(pid_t pid) {
    if (pid <= 1 || pid == getpid()) return;
    EndAndReap(pid, false);
}

bool TerminateProcess(int pid) {
    if (pid <= 1 || pid == getpid()) return false;
    return kill(pid, SIGTERM) == 0;
}

CommandRunner& Runner() { return *g_runner; }

CommandRunner* SetRunner(CommandRunner* runner) {
    CommandRunner* prev = g_runner;
    g_runner = runner ? runner : &g_system_runner;
    return prev;
}

int RunCommand(std::string text, std::vector<std::string> argv) {
    Command c;
    c.text = std::move(text);
    c.argv = std::move(argv);
    return Runner().Run(c);
}

}  // namespace platform
