#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <thread>

#include "adc.h"
#include "clock.h"
#include "files.h"
#include "gpio.h"
#include "instance_lock.h"
#include "paths.h"
#include "serial.h"
#include "shm.h"
#include "testroot.h"

using namespace platform;

TEST(Paths, AbsolutePathsResolveUnderTheRoot) {
    {
        TestRoot root;
        EXPECT_TRUE(IsSandboxRoot());
        EXPECT_EQ(SystemPath("/dev/ttyS2"), root.path() + "/dev/ttyS2");
        EXPECT_EQ(SystemPath("relative"), "relative");
    }
    const std::string saved = StationRoot();
    setenv("STATION_ROOT", "/", 1);
    EXPECT_EQ(SystemPath("/dev/ttyS2"), "/dev/ttyS2");
    EXPECT_FALSE(IsSandboxRoot());
    setenv("STATION_ROOT", saved.c_str(), 1);
}

TEST(Paths, RootIsJudgedByItsResolvedPath) {
    TestRoot sandbox;
    const std::string link = sandbox.path() + "/to-host-root";
    ASSERT_EQ(symlink("/", link.c_str()), 0);
    const std::string inner = sandbox.Make("/inner");
    const std::string saved = getenv("STATION_ROOT");
    struct Case {
        std::string root;
        bool sandboxed;
        std::string ttyS2;
    } cases[] = {
        {"/", false, "/dev/ttyS2"},
        {"/.", false, "/dev/ttyS2"},
        {"/tmp/../", false, "/dev/ttyS2"},
        {"//", false, "/dev/ttyS2"},
        {link, false, "/dev/ttyS2"},
        {link + "/", false, "/dev/ttyS2"},
        {inner + "/../inner/", true, inner + "/dev/ttyS2"},
    };
    for (const Case& c : cases) {
        setenv("STATION_ROOT", c.root.c_str(), 1);
        EXPECT_EQ(IsSandboxRoot(), c.sandboxed) << c.root;
        EXPECT_EQ(SystemPath("/dev/ttyS2"), c.ttyS2) << c.root;
        EXPECT_TRUE(CheckStationRoot()) << c.root;
    }

    // A root that is not there is an error, stays a sandbox, and is not made.
    const std::string missing = sandbox.path() + "/missing";
    setenv("STATION_ROOT", missing.c_str(), 1);
    std::string error;
    EXPECT_FALSE(CheckStationRoot(&error));
    EXPECT_NE(error.find(missing), std::string::npos);
    EXPECT_TRUE(IsSandboxRoot());
    EXPECT_EQ(SystemPath("/dev/ttyS2"), missing + "/dev/ttyS2");
    EXPECT_FALSE(std::filesystem::exists(missing));
    setenv("STATION_ROOT", saved.c_str(), 1);
}

// The root is resolved when first used, not for every path: a link that
// moves under a running program does not move its files; another root given
// to it is resolved in turn.
TEST(Paths, ARootIsResolvedOnceForAsLongAsItIsGiven) {
    TestRoot holder;
    const std::string a = holder.Make("/a"), b = holder.Make("/b"), link = holder.path() + "/root";
    ASSERT_EQ(symlink(a.c_str(), link.c_str()), 0);
    setenv("STATION_ROOT", link.c_str(), 1);
    EXPECT_EQ(SystemPath("/dev/ttyS2"), a + "/dev/ttyS2");
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(b.c_str(), link.c_str()), 0);
    EXPECT_EQ(SystemPath("/dev/ttyS2"), a + "/dev/ttyS2");
    setenv("STATION_ROOT", b.c_str(), 1);
    EXPECT_EQ(SystemPath("/dev/ttyS2"), b + "/dev/ttyS2");
    setenv("STATION_ROOT", (link + "/.").c_str(), 1);
    EXPECT_EQ(SystemPath("/dev/ttyS2"), b + "/dev/ttyS2");
    setenv("STATION_ROOT", holder.path().c_str(), 1);
}

TEST(TestClockTest, SleepAdvancesBothClocksWithoutWaiting) {
    TestClock clock(1000);
    ScopedClock scope(clock);
    auto m0 = GetClock().MonotonicMs();
    GetClock().SleepMs(60000);
    EXPECT_EQ(GetClock().MonotonicMs() - m0, 60000);
    EXPECT_EQ(GetClock().WallSeconds(), 1060);
    clock.SetWallSeconds(5);  // setting the calendar does not move durations
    EXPECT_EQ(GetClock().MonotonicMs() - m0, 60000);
}

TEST(SysfsGpioTest, SandboxExportCreatesTheLineAndValuesRoundTrip) {
    TestRoot root;
    root.Make("/sys/class/gpio");
    SysfsGpio gpio;
    ASSERT_TRUE(gpio.Output(87, 1));
    EXPECT_EQ(ReadTextFile(root.path() + "/sys/class/gpio/gpio87/direction"), "out\n");
    EXPECT_EQ(gpio.ReadChar(87), '1');
    ASSERT_TRUE(gpio.Write(87, 0));
    EXPECT_EQ(gpio.ReadChar(87), '0');
    EXPECT_FALSE(gpio.ReadChar(5).has_value()) << "a line never exported reads nothing";
}

// A line's value file is found once: a root that moves under a running
// program (its link pointed elsewhere) is not looked up again for that line,
// while a program given another root finds the line there.
TEST(SysfsGpioTest, ALinesPathIsResolvedOncePerRoot) {
    TestRoot holder;
    const std::string a = holder.Make("/a"), b = holder.Make("/b"), link = holder.path() + "/root";
    for (const std::string& dir : {a, b}) {
        std::filesystem::create_directories(dir + "/sys/class/gpio/gpio78");
        ASSERT_TRUE(ReplaceFile(dir + "/sys/class/gpio/gpio78/value", std::string(dir == a ? "1\n" : "0\n")));
    }
    ASSERT_EQ(symlink(a.c_str(), link.c_str()), 0);
    setenv("STATION_ROOT", link.c_str(), 1);
    SysfsGpio gpio;
    EXPECT_EQ(gpio.ReadChar(78), '1');
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(b.c_str(), link.c_str()), 0);
    EXPECT_EQ(gpio.ReadChar(78), '1') << "the line's file was resolved when first read";
    ASSERT_TRUE(gpio.Write(78, 0));
    EXPECT_EQ(ReadTextFile(a + "/sys/class/gpio/gpio78/value"), "0\n");
    setenv("STATION_ROOT", b.c_str(), 1);
    ASSERT_TRUE(gpio.Write(78, 1));
    EXPECT_EQ(ReadTextFile(b + "/sys/class/gpio/gpio78/value"), "1\n");
    EXPECT_EQ(gpio.ReadChar(78), '1');
    setenv("STATION_ROOT", holder.path().c_str(), 1);
}

TEST(DeviceAdcTest, SandboxFileStandsInForTheDevice) {
    TestRoot root;
    root.Make("/dev");
    std::string dev = SystemPath("/dev/adc5");
    ASSERT_TRUE(AppendToFile(dev, "1389\n"));
    DeviceAdc adc;
    ASSERT_TRUE(adc.Open(dev));
    const std::uint32_t words[] = {1, 0, 2500, 0, 0, 1000000, 0};
    EXPECT_TRUE(adc.Configure(0x40104102, words, 7));
    EXPECT_EQ(adc.Read(), 1389);
    DeviceAdc missing;
    EXPECT_FALSE(missing.Open(SystemPath("/dev/adc9")));
    EXPECT_FALSE(missing.Read().has_value());
}

TEST(Files, AppendAndReadLimits) {
    TestRoot root;
    std::string f = root.path() + "/log";
    ASSERT_TRUE(AppendToFile(f, "one\n"));
    ASSERT_TRUE(AppendToFile(f, "two\n"));
    EXPECT_EQ(ReadTextFile(f), "one\ntwo\n");
    std::uint8_t buf[4];
    EXPECT_EQ(ReadFileBytes(f, buf, sizeof buf), 4);
    EXPECT_EQ(ReadFileBytes(root.path() + "/missing", buf, sizeof buf), -1);
    EXPECT_FALSE(AppendToFile(root.path() + "/no/such/dir/file", "x"));
}

// A line is never glued to what the file ends with: a cut fragment, or a
// file written without a final line feed, keeps its own line.
TEST(Files, AppendNeverGluesALineToAnUnendedOne) {
    TestRoot root;
    const std::string f = root.path() + "/events";
    const struct {
        const char* before;
        const char* after;
    } cases[] = {
        {nullptr, "2026.12.11 10:12:35 - 107001\n"},
        {"", "2026.12.11 10:12:35 - 107001\n"},
        {"2026.12.11 10:12:34 - 007001\n", "2026.12.11 10:12:34 - 007001\n2026.12.11 10:12:35 - 107001\n"},
        {"2026.12.11 10", "2026.12.11 10\n2026.12.11 10:12:35 - 107001\n"},
        {"\n", "\n2026.12.11 10:12:35 - 107001\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(f);
        if (c.before != nullptr) {
            ASSERT_TRUE(ReplaceFile(f, std::string(c.before)));
        }
        ASSERT_TRUE(AppendToFile(f, "2026.12.11 10:12:35 - 107001\n"));
        EXPECT_EQ(ReadTextFile(f), c.after) << (c.before ? c.before : "(no file)");
    }

    // A write cut half-way (a full disk) is a failure and leaves a fragment;
    // the next line starts on a line of its own.
    std::filesystem::remove(f);
    ASSERT_TRUE(AppendToFile(f, "2026.12.11 10:12:34 - 007001\n"));
    SetWriteCutForTest(1);
    EXPECT_FALSE(AppendToFile(f, "2026.12.11 10:12:35 - 107001\n"));
    SetWriteCutForTest(-1);
    ASSERT_TRUE(AppendToFile(f, "2026.12.11 10:12:36 - 007001\n"));
    EXPECT_EQ(ReadTextFile(f), "2026.12.11 10:12:34 - 007001\n2026.12.11 10:\n2026.12.11 10:12:36 - 007001\n");
}

// A read up to a limit of megabytes takes what the file holds, and only
// room for that: kernel files that tell a size of 0 are read to their end.
TEST(Files, ReadAtMostTakesTheFileUpToTheLimitWithRoomForTheFile) {
    TestRoot root;
    const std::string f = root.path() + "/file";
    const std::string big(10000, 'b');
    struct Case {
        std::string text;
        std::size_t max;
        std::string want;
    } cases[] = {
        {"abc", 64 << 20, "abc"}, {"abcdef", 3, "abc"}, {"", 64 << 20, ""}, {"abc", 0, ""},
        {big, 64 << 20, big},     {big, 10000, big},    {big, 9999, big.substr(0, 9999)},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(ReplaceFile(f, c.text));
        std::string got = "stale";
        ASSERT_TRUE(ReadFileAtMost(f, c.max, &got)) << c.text.size() << " " << c.max;
        EXPECT_EQ(got, c.want) << c.text.size() << " " << c.max;
        EXPECT_LE(got.capacity(), c.text.size() + 4096) << "room for the limit, not the file";
    }
    std::string got = "stale";
    EXPECT_FALSE(ReadFileAtMost(root.path() + "/missing", 100, &got));
    EXPECT_EQ(got, "");
    ASSERT_TRUE(ReadFileAtMost("/proc/self/status", 64 << 20, &got));
    EXPECT_EQ(got.rfind("Name:", 0), 0u);
    EXPECT_EQ(got.back(), '\n');
    EXPECT_EQ(ReadTextFile("/proc/self/status", 5), "Name:");
}

TEST(Serial, RawPtyPassesEveryByteAndReadFullGathersSplitWrites) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(SetRawLine(slave));
    ASSERT_TRUE(SetRawLine(master));
    const std::uint8_t frame[] = {0x55, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xAA};
    std::thread writer([&] {
        WriteAll(master, frame, 3);
        usleep(30000);
        WriteAll(master, frame + 3, 5);
    });
    std::uint8_t got[8] = {};
    EXPECT_EQ(ReadFull(slave, got, sizeof got, 1000), 8);
    writer.join();
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + 8), std::vector<std::uint8_t>(frame, frame + 8));
    EXPECT_EQ(ReadWithTimeout(slave, got, 1, 10), 0) << "time-out reads nothing";
    close(master);
    close(slave);
}

TEST(Shm, CreateThenAttachWithoutCreate) {
    const int key = 0x5A000000 | (getpid() & 0xFFFF);
    std::string err;
    EXPECT_EQ(AttachSegment(key, 4096, false, 0777, &err), nullptr);
    EXPECT_FALSE(err.empty());
    std::uint8_t* a = AttachSegment(key, 4096, true, 0777, &err);
    ASSERT_NE(a, nullptr) << err;
    a[10] = 42;
    std::uint8_t* b = AttachSegment(key, 4096, false, 0777, &err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[10], 42);
    shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
    shmdt(a);
    shmdt(b);
}

TEST(Serial, OpenSerialGivesABlockingRawLineThatChildrenDoNotInherit) {
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    int fd = OpenSerial(name);
    ASSERT_GE(fd, 0);
    // Opened without waiting for carrier, then back to blocking reads.
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
    EXPECT_EQ(OpenSerial(std::string(name) + "-missing"), -1);
    close(fd);
    close(master);
    close(slave);
}

TEST(Files, ReplaceFileSwapsTheWholeFileOrLeavesTheOldOne) {
    TestRoot root;
    const std::string path = root.Make("/Storage") + "/Value";
    ASSERT_TRUE(ReplaceFile(path, std::string("a much longer first text\n")));
    ASSERT_TRUE(ReplaceFile(path, std::string("short"), 0600));
    EXPECT_EQ(ReadTextFile(path), "short");  // no tail of the longer text
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(ReplaceFile(root.path() + "/missing/folder/Value", std::string("x")));
    EXPECT_EQ(ReadTextFile(path), "short");
}

TEST(InstanceLock, OneHolderPerNameUntilItEnds) {
    TestRoot root;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child takes the lock, says so, and holds it until killed.
        char ok = HoldInstanceLock("Tool") ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        for (;;) pause();
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    std::string err;
    EXPECT_FALSE(HoldInstanceLock("Tool", &err));
    EXPECT_NE(err.find("already running"), std::string::npos) << err;
    EXPECT_EQ(InstanceHolderPid("Tool"), child) << "a refused second start leaves the holder's id";
    EXPECT_TRUE(HoldInstanceLock("OtherTool"));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(InstanceHolderPid("Tool"), 0) << "a dead holder's id is not given";
    EXPECT_EQ(InstanceHolderPid("NeverStarted"), 0);
    EXPECT_TRUE(HoldInstanceLock("Tool", &err)) << err;  // a killed holder frees it
    EXPECT_FALSE(HoldInstanceLock("Tool"));              // and now this process holds it
    EXPECT_EQ(InstanceHolderPid("Tool"), getpid());
    close(ready[0]);
    close(ready[1]);
}

// A killed program leaves the process list (its memory is released first)
// a moment before its files, and so its lock, are released; under load the
// moment is long. A successor started as soon as the list is empty must
// still come up: it waits for a holder that is on its way out.
TEST(InstanceLock, ASuccessorStartsWhileTheKilledHolderIsStillExiting) {
    TestRoot root;
    for (int round = 0; round < 3; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            char ok = HoldInstanceLock("Exiting") ? 1 : 0;
            // Much memory to release makes the exit slow, as a loaded
            // machine or an emulator does.
            constexpr std::size_t kBytes = std::size_t{192} << 20;
            auto* big = static_cast<volatile char*>(std::malloc(kBytes));
            for (std::size_t i = 0; big && i < kBytes; i += 4096) big[i] = 1;
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            for (;;) pause();
        }
        char ok = 0;
        ASSERT_EQ(read(ready[0], &ok, 1), 1);
        ASSERT_EQ(ok, 1);
        const std::string cmdline = "/proc/" + std::to_string(holder) + "/cmdline";
        kill(holder, SIGKILL);
        // Gone from the list as pgrep -f sees it: no command line any more.
        for (;;) {
            std::ifstream f(cmdline);
            std::string text;
            if (!f || !std::getline(f, text) || text.empty()) break;
        }
        std::string err;
        EXPECT_TRUE(HoldInstanceLock("Exiting", &err)) << err;
        waitpid(holder, nullptr, 0);
        // Held by this process now: for the next round a fresh name's lock.
        std::filesystem::remove(SystemPath("/var/lock/Exiting.lock"));
        close(ready[0]);
        close(ready[1]);
    }
}
