// A CHAdeMO session's start, vehicle-frame wait and final end on the test
// clock, with the CAN I/O process a real child that the session must end.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "chademo_rig.h"
#include "children.h"
#include "idle_child.h"
#include "command.h"
#include "fake_lines.h"
#include "regmap_fields.h"
#include "session.h"

namespace {

using namespace regmap;
using chademo::Path;

bool Reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

struct SessionRig : ChademoRig {
    SessionRig() {
        // Plugged in until the test unplugs; j and the lock read inactive.
        lines.inputs[chademo::kGpioProximity] = [this] {
            return std::optional<char>(clock.MonotonicMs() < unplugAt ? '0' : '1');
        };
        lines.inputs[chademo::kGpioJ] = [this] { return std::optional<char>(permission ? '0' : '1'); };
        lines.inputs[chademo::kGpioLockDetect] = [] { return std::optional<char>('1'); };
    }
    chademo::Session Make() {
        return chademo::Session({map, log, signals, bus, runner, [this] { return canIo = StartIdleChild(); }});
    }
    void FramesSeen(std::uint8_t protocol, std::uint8_t status = 0) {
        map.set(StartRecv, 7);
        map.set(EV102_PROTOCOL, protocol);
        map.set(EV102_STATUS, status);
    }
    FakeLines lines;
    ScopedLines scoped{lines};
    chademo::VehicleSignals signals;
    platform::RecordingRunner runner;
    std::int64_t unplugAt = clock.MonotonicMs() + 10000;
    bool permission = false;
    pid_t canIo = 0;
};

TEST(ChademoSession, NoVehicleFramesEndTheSessionAfterTheFrameWait) {
    SessionRig r;
    chademo::Session s = r.Make();
    const std::int64_t start = r.clock.MonotonicMs();
    s.Startup();
    ASSERT_TRUE(s.StartCanIo());
    s.PlugIn();
    EXPECT_EQ(r.map.get(U8{21521}), 1);
    EXPECT_EQ(r.lines.out[chademo::kGpioD1], '1');
    EXPECT_EQ(s.AwaitVehicleFrames(), Path::None);
    EXPECT_NEAR(r.clock.MonotonicMs() - start, 6200, 5);
    EXPECT_TRUE(r.map.get(ALARM_CHADEMO_COMM));
    EXPECT_TRUE(r.map.get(Bits{21518, 0x01}));
    EXPECT_TRUE(r.map.get(ChargerFlag) & kStopping);
    EXPECT_EQ(r.lines.out[chademo::kGpioD1], '0');
    EXPECT_NE(r.Log().find("[02805]"), std::string::npos) << r.Log();

    r.map.set(SHRMEM_SET_V1, 4000);
    s.FinalEnd();
    EXPECT_GE(r.clock.MonotonicMs(), r.unplugAt);   // waited for the plug to go
    EXPECT_TRUE(Reaped(r.canIo));
    EXPECT_EQ(r.map.get(U8{21521}), 0);
    EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0);
    EXPECT_EQ(r.map.get(SHRMEM_SET_I1), 1250);
    EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 255);
    EXPECT_EQ(r.lines.out[chademo::kGpioLock], '0');
    const std::vector<std::string> ip = {"/sbin/ip link set can1 down",
                                         "/sbin/ip link set can1 type can bitrate 500000 restart-ms 100",
                                         "/sbin/ip link set can1 up", "/sbin/ip link set can1 down"};
    EXPECT_EQ(r.runner.Texts(), ip);
    EXPECT_EQ(r.runner.commands[1].argv.size(), 10u);
}

TEST(ChademoSession, TheProtocolNumberChoosesThePath) {
    struct Case { std::uint8_t protocol; Path path; };
    for (const Case c : {Case{0, Path::V09}, Case{1, Path::V09}, Case{2, Path::V1x}, Case{3, Path::V1x},
                         Case{200, Path::V1x}}) {
        SessionRig r;
        chademo::Session s = r.Make();
        s.Startup();
        r.FramesSeen(c.protocol, 0x01);
        s.PlugIn();
        EXPECT_EQ(s.AwaitVehicleFrames(), c.path) << int(c.protocol);
        EXPECT_FALSE(r.map.get(ChargerFlag) & kStopping);
    }
}

TEST(ChademoSession, AVehicleStoppingBeforeThePathChoiceIsLoggedAsNoPermission) {
    struct Case { std::uint8_t status, faults; bool noPermission; };
    for (const Case c : {Case{0x10, 0, true}, Case{0x02, 0, false}, Case{0, 0x01, false}}) {
        SessionRig r;
        chademo::Session s = r.Make();
        s.Startup();
        r.FramesSeen(2, c.status);
        r.map.set(EV102_FAULTS, c.faults);
        s.PlugIn();
        EXPECT_EQ(s.AwaitVehicleFrames(), Path::None);
        EXPECT_EQ(r.map.get(Bits{340, 0x20}), c.noPermission);
        EXPECT_EQ(r.Log().find("[02811]") != std::string::npos, c.noPermission) << r.Log();
        EXPECT_EQ(r.lines.out[chademo::kGpioD1], '0');
    }
}

TEST(ChademoSession, ACanIoProcessThatCannotStartIsASessionFailure) {
    SessionRig r;
    chademo::Session s({r.map, r.log, r.signals, r.bus, r.runner, [] { return pid_t{-1}; }});
    r.unplugAt = r.clock.MonotonicMs();
    EXPECT_EQ(s.Run(), Path::None);
    EXPECT_TRUE(r.map.get(ALARM_CHADEMO_COMM));
    EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 255);   // the final end ran
}

TEST(ProcessChildren, EndingAChildLeavesOthersAndChildrenDieWithTheirParent) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t parent = platform::StartChild([&] {
        pid_t grandchild = platform::StartChild([] {
            for (;;) pause();
            return 0;
        });
        (void)!write(fds[1], &grandchild, sizeof grandchild);
        for (;;) pause();
        return 0;
    });
    const pid_t other = platform::StartChild([] {
        for (;;) pause();
        return 0;
    });
    ASSERT_GT(parent, 0);
    pid_t grandchild = 0;
    ASSERT_EQ(read(fds[0], &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
    EXPECT_TRUE(platform::EndChild(parent));
    EXPECT_TRUE(Reaped(parent));
    EXPECT_EQ(kill(other, 0), 0);
    // The grandchild gets its parent's death as a kill; give the kernel a moment.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::string stat;
        FILE* f = std::fopen(("/proc/" + std::to_string(grandchild) + "/stat").c_str(), "r");
        if (!f) {
            gone = true;
            break;
        }
        char buf[256] = {};
        (void)!std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        stat = buf;
        const auto close = stat.rfind(')');
        gone = close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
        if (!gone) usleep(5000);
    }
    EXPECT_TRUE(gone);
    EXPECT_TRUE(platform::EndChild(other));
    EXPECT_FALSE(platform::EndChild(other));
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
