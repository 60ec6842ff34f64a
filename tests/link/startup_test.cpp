// Marlet's start-up: segments and fork failures end the program with
// "System init failed:" instead of leaving a driver without controller.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "IF_Main.h"
#include "clock.h"
#include "greenphy_modem.h"
#include "instance_lock.h"
#include "spi.h"
#include "testroot.h"

namespace {

// Keys of this test process only.
int Key(int n) { return 0x4D000000 + (static_cast<int>(getpid()) & 0xFFFF) * 16 + n; }

void Remove(int key) {
    int id = shmget(key, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

pid_t FailingFork() { return -1; }

class Startup : public testing::Test {
protected:
    void SetUp() override {
        for (int k : {mapKey, segKey}) Remove(k);
    }
    void TearDown() override {
        for (int k : {mapKey, segKey}) Remove(k);
    }
    int Run() {
        testing::internal::CaptureStdout();
        int rc = plc::Marlet_Main(plc::MarletStart{mapKey, segKey, FailingFork});
        out = testing::internal::GetCapturedStdout();
        return rc;
    }
    void CreateMap() { ASSERT_GE(shmget(mapKey, 262144, IPC_CREAT | 0600), 0); }

    TestRoot root;  // the instance lock lies under it
    int mapKey = Key(1);
    int segKey = Key(2);
    std::string out;
};

TEST_F(Startup, SecondInstanceOnTheBoardExitsWithALine) {
    CreateMap();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t first = fork();
    ASSERT_GE(first, 0);
    if (first == 0) {  // the running Marlet, as far as its lock goes
        char ok = platform::HoldInstanceLock("Marlet") ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        for (;;) pause();
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    testing::internal::CaptureStdout();
    int rc = plc::Marlet_Main(plc::MarletStart{mapKey, segKey, FailingFork});
    out = testing::internal::GetCapturedStdout();
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(out, "[IF_MAIN]Marlet is already running\n");
    // Nothing was touched: no frame segment was made.
    EXPECT_LT(shmget(segKey, 0, 0), 0);
}

TEST_F(Startup, MissingRegisterMap) {
    EXPECT_NE(Run(), 0);
    EXPECT_NE(out.find("System init failed:"), std::string::npos);
}

TEST_F(Startup, FrameSegmentThatCannotBeHad) {
    CreateMap();
    ASSERT_GE(shmget(segKey, 100, IPC_CREAT | 0600), 0);  // too small for the frame segment
    EXPECT_NE(Run(), 0);
    EXPECT_NE(out.find("System init failed:"), std::string::npos);
}

TEST_F(Startup, FailedForkEndsTheProgramAndTheSegmentIsPrivate) {
    CreateMap();
    // Left open to others by an earlier program: made private.
    ASSERT_GE(shmget(segKey, 24576, IPC_CREAT | 0666), 0);
    platform::TestClock clock;
    platform::ScopedClock sc(clock);
    greenphy::GreenPhyModem modem({}, nullptr);
    greenphy::ModemGpio gpio(modem);
    auto* prevSpi = platform::SetSpiDevice(&modem);
    auto* prevGpio = platform::SetGpio(&gpio);
    int rc = Run();
    platform::SetSpiDevice(prevSpi);
    platform::SetGpio(prevGpio);
    plc::MeterSMPtr = nullptr;
    EXPECT_NE(rc, 0);
    EXPECT_NE(out.find("System init failed:"), std::string::npos);
    // The modem was released from reset before the fork.
    ASSERT_FALSE(gpio.writes.empty());
    EXPECT_EQ(gpio.writes[0], std::make_pair(79, 1));
    shmid_ds ds{};
    int id = shmget(segKey, 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600);
    EXPECT_EQ(ds.shm_segsz, 24576u);
}

}  // namespace
