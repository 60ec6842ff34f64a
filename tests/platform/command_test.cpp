#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "command.h"
#include "files.h"
#include "paths.h"
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
