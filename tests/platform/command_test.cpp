#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "command.h"
#include "files.h"
#include "paths.h"
#include "program.h"
#include "testroot.h"

using namespace platform;

TEST(SystemRunner, UnderASandboxRootHostCommandsAreLoggedNotRun) {
    TestRoot root;
    SystemRunner runner;
    const struct {
        const char* text;
        std::vector<std::string> argv;
    } cases[] = {
        {"reboot", {"reboot"}},
        {"date -s \"1970.01.01-00:00:00\"", {"date", "-s", "1970.01.01-00:00:00"}},
        {"mount -t tmpfs none /mnt", {"/bin/mount", "-t", "tmpfs", "none", "/mnt"}},
    };
    for (const auto& c : cases) {
        Command cmd{c.text, c.argv, "", "", false};
        EXPECT_EQ(runner.Run(cmd), 127) << c.text;
    }
    EXPECT_EQ(ReadTextFile(root.path() + "/commands.log"),
              "reboot\ndate -s \"1970.01.01-00:00:00\"\nmount -t tmpfs none /mnt\n");
}

TEST(SystemRunner, RunsProgramsInsideTheRootWithArgumentsRedirectAndCwd) {
    TestRoot root;
    std::filesystem::create_directories(root.path() + "/root");
    // A program inside the root: a copy of /bin/echo.
    std::filesystem::copy_file("/bin/echo", root.path() + "/root/echo");
    SystemRunner runner;
    Command cmd{"/root/echo 'a b' ; rm -rf /", {"/root/echo", "a b", ";", "rm"}, "/mnt/out", "/root", false};
    std::filesystem::create_directories(root.path() + "/mnt");
    EXPECT_EQ(runner.Run(cmd), 0);
    // Arguments arrive as they are: no shell ever sees them.
    EXPECT_EQ(ReadTextFile(root.path() + "/mnt/out"), "a b ; rm\n");
}

TEST(SystemRunner, BackgroundCommandsAreNotWaitedFor) {
    TestRoot root;
    std::filesystem::create_directories(root.path() + "/bin");
    std::filesystem::copy_file("/bin/sleep", root.path() + "/bin/sleep");
    SystemRunner runner;
    Command cmd{"sleep 5 &", {"sleep", "5"}, "", "", true};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runner.Run(cmd), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST(RecordingRunner, RecordsInOrderAndRunsNothing) {
    RecordingRunner rec;
    ScopedRunner scope(rec);
    RunCommand("reboot", {"reboot"});
    RunCommand("sync", {"sync"});
    EXPECT_EQ(rec.Texts(), (std::vector<std::string>{"reboot", "sync"}));
}

TEST(SystemRunner, ChildrenInheritNoDescriptorsButTheStandardThree) {
    TestRoot root;
    std::filesystem::create_directories(root.path() + "/bin");
    std::filesystem::create_directories(root.path() + "/mnt");
    std::filesystem::copy_file("/bin/ls", root.path() + "/bin/ls");
    // A descriptor opened the way a device or line might be: no close-on-exec.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(dup2(leaked, 57), 57);
    close(leaked);
    SystemRunner runner;
    for (bool background : {false, true}) {
        Command cmd{"ls /proc/self/fd", {"ls", "/proc/self/fd"}, "/mnt/fds", "", background};
        ASSERT_EQ(runner.Run(cmd), 0);
        std::string fds;
        for (int i = 0; i < 200 && fds.empty(); ++i) {  // a background child writes a moment later
            fds = ReadTextFile(root.path() + "/mnt/fds");
            if (fds.empty()) usleep(10000);
        }
        EXPECT_EQ(fds.find("57"), std::string::npos) << (background ? "background: " : "") << fds;
        EXPECT_NE(fds.find("1\n"), std::string::npos) << "standard output stays";
        std::filesystem::remove(root.path() + "/mnt/fds");
    }
    close(57);
}

namespace {

std::vector<std::string> g_notices;
void KeepNotice(const std::string& key, const std::string& text) { g_notices.push_back(key + ": " + text); }

// "gone", "zombie" or "running" for a pid, from /proc.
std::string ProcessState(const std::string& pidText) {
    std::string status = ReadTextFile("/proc/" + pidText + "/status", 4096);
    if (status.empty()) return "gone";
    return status.find("\nState:\tZ") != std::string::npos ? "zombie" : "running";
}

}  // namespace

// A command that does not end is ended at its limit by its process id, with
// the children it started, TERM first and KILL for one that ignores TERM; it
// is reaped, the caller goes on, and the wait was told while it lasted.
TEST(SystemRunner, CommandPastItsLimitIsEndedWithItsChildrenAndReaped) {
    TestRoot root;
    std::filesystem::create_directories(root.path() + "/root");
    std::filesystem::create_directories(root.path() + "/mnt");
    WaitNotice prev = SetWaitNotice(&KeepNotice);
    for (const bool ignoresTerm : {false, true}) {
        SCOPED_TRACE(ignoresTerm ? "ignores TERM" : "plain");
        const std::string script = root.path() + "/root/hang";
        std::filesystem::remove(script);
        ASSERT_TRUE(ReplaceFile(script,
                                std::string("#!/bin/sh\n") + (ignoresTerm ? "trap '' TERM\n" : "") +
                                    "sleep 300 &\necho $! > child\necho $$ > self\nwhile :; do wait; done\n",
                                0755));
        g_notices.clear();
        Command cmd{"/root/hang", {"/root/hang"}, "", "/mnt", false};
        cmd.limitMs = 1500;
        EXPECT_EQ(SystemRunner().Run(cmd), kCommandTimedOut);
        std::string self = ReadTextFile(root.path() + "/mnt/self");
        std::string child = ReadTextFile(root.path() + "/mnt/child");
        while (!self.empty() && self.back() == '\n') self.pop_back();
        while (!child.empty() && child.back() == '\n') child.pop_back();
        ASSERT_FALSE(self.empty());
        ASSERT_FALSE(child.empty());
        EXPECT_EQ(ProcessState(self), "gone") << "ended and reaped, no zombie left";
        std::string state;
        for (int i = 0; i < 1000 && (state = ProcessState(child)) == "running"; ++i) usleep(10000);
        EXPECT_NE(state, "running") << "the script's own child goes with it";
        ASSERT_EQ(g_notices.size(), 2u);
        EXPECT_EQ(g_notices[0], "/root/hang waiting: waiting for \"/root/hang\" (limit 1 s)");
        EXPECT_EQ(g_notices[1], "/root/hang ended: \"/root/hang\" ended after its limit of 1 s");
    }
    SetWaitNotice(prev);
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child of ours is left";
}

// A transfer program is followed by its own pid and exit status.
TEST(ProgramTest, ExitStatusComesFromTheChild) {
    struct Case { std::vector<std::string> argv; int want; };
    for (const Case& c : {Case{{"true"}, 0}, Case{{"false"}, 1},
                          Case{{"no-such-program-here"}, 127}}) {
        const pid_t pid = platform::StartProgram(c.argv);
        ASSERT_GT(pid, 0);
        int code = -2;
        while (platform::PollProgram(pid, &code) == platform::ProgramState::Running) usleep(1000);
        EXPECT_EQ(code, c.want) << c.argv[0];
    }
    const pid_t pid = platform::StartProgram({"sleep", "30"});
    int code = -2;
    EXPECT_EQ(platform::PollProgram(pid, &code), platform::ProgramState::Running);
    platform::StopProgram(pid);
    EXPECT_EQ(platform::PollProgram(pid, &code), platform::ProgramState::Exited);
    EXPECT_EQ(code, -1) << "already reaped";

    // One that ignores TERM is killed: stopping it never waits for ever.
    const pid_t deaf = platform::StartProgram({"sh", "-c", "trap '' TERM; exec sleep 300"});
    ASSERT_GT(deaf, 0);
    usleep(200000);  // let it install the trap; a TERM before that ends it all the same
    platform::StopProgram(deaf);
    EXPECT_EQ(platform::PollProgram(deaf, &code), platform::ProgramState::Exited);
    EXPECT_EQ(code, -1) << "ended and reaped";
}
