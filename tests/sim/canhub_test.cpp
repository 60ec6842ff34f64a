// The CAN hub as its own process: records go to every other member of the
// bus and never back to the sender, buses are apart, a bus that is down
// carries nothing, and what it carries is in the pcap and the candump log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "can.h"
#include "command.h"
#include "exec_prefix.h"
#include "testroot.h"

namespace {

using platform::CanBus;
using platform::CanFrame;

CanFrame Frame(std::uint32_t id, std::initializer_list<std::uint8_t> data) {
    CanFrame f{};
    f.can_id = id;
    f.len = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

// Reads for up to `tries` time-outs of 10 ms.
bool ReadWithin(CanBus& bus, CanFrame& f, int tries = 50) {
    for (int i = 0; i < tries; ++i)
        if (bus.Read(f)) return true;
    return false;
}

class CanHub : public testing::Test {
protected:
    void SetUp() override { StartHub(); }
    void StartHub() {
        const char* build = std::getenv("STATION_BUILD_DIR");
        ASSERT_NE(build, nullptr);
        std::filesystem::remove(root_.path() + "/run/can/can1");
        const BuildProgram hub(std::string(build) + "/bin/canhub", {"--dir", root_.path(), "can0", "can1"});
        hub_ = fork();
        ASSERT_GE(hub_, 0);
        if (hub_ == 0) {
            hub.Exec();
            _exit(127);
        }
        for (int i = 0; i < 200 && !std::filesystem::exists(root_.path() + "/run/can/can1"); ++i) usleep(10000);
    }
    void TearDown() override { StopHub(SIGTERM); }
    void StopHub(int signal) {
        if (hub_ > 0) {
            kill(hub_, signal);
            waitpid(hub_, nullptr, 0);
        }
        hub_ = -1;
    }
    std::unique_ptr<CanBus> Member(const std::string& ifname) {
        platform::CanOpenStep step;
        auto bus = platform::OpenCan(ifname, &step);
        EXPECT_NE(bus, nullptr) << ifname;
        return bus;
    }

    TestRoot root_;
    pid_t hub_ = -1;
};

TEST_F(CanHub, EveryOtherMemberOfTheBusAndNeverTheSender) {
    auto a = Member("can0"), b = Member("can0"), c = Member("can0"), other = Member("can1");
    ASSERT_TRUE(a && b && c && other);
    usleep(50000);  // the hub takes its members in
    const CanFrame sent = Frame(0x9D504001, {0x12, 0x34});
    ASSERT_TRUE(a->Write(sent));
    for (CanBus* m : {b.get(), c.get()}) {
        CanFrame got;
        ASSERT_TRUE(ReadWithin(*m, got));
        EXPECT_EQ(got.can_id, sent.can_id);
        EXPECT_EQ(got.len, 2);
        EXPECT_EQ(got.data[1], 0x34);
    }
    CanFrame none;
    EXPECT_FALSE(ReadWithin(*a, none, 10));
    EXPECT_FALSE(ReadWithin(*other, none, 10));

    // A bus that is down carries nothing until it is up again.
    platform::RecordingRunner runner;
    platform::ScopedRunner scoped(runner);
    platform::CanLinkDown("can0");
    usleep(50000);
    ASSERT_TRUE(a->Write(Frame(0x9D504002, {1})));
    EXPECT_FALSE(ReadWithin(*b, none, 10));
    platform::CanLinkUp("can0", 500000, 100);
    usleep(50000);
    ASSERT_TRUE(a->Write(Frame(0x9D504003, {2})));
    CanFrame got;
    ASSERT_TRUE(ReadWithin(*b, got));
    EXPECT_EQ(got.can_id, 0x9D504003u);
    EXPECT_EQ(runner.Texts(), (std::vector<std::string>{"/sbin/ip link set can0 down",
                                                        "/sbin/ip link set can0 type can bitrate 500000 restart-ms 100",
                                                        "/sbin/ip link set can0 up"}));

    // Standard frames on the other bus.
    ASSERT_TRUE(other->Write(Frame(0x109, {0x01, 0xFF})));
    usleep(50000);

    std::ifstream log(root_.path() + "/candump.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line.substr(line.find(')') + 2));
    EXPECT_EQ(lines, (std::vector<std::string>{"can0 1D504001#1234", "can0 1D504003#02", "can1 109#01FF"}));

    // The pcap: global header of link type 227, then one record per frame
    // with the identifier word in network byte order.
    std::ifstream pcap(root_.path() + "/can0.pcap", std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(pcap)), {});
    ASSERT_EQ(bytes.size(), 24u + 2 * 16 + 8 + 2 + 8 + 1);
    EXPECT_EQ(bytes[20], 227);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 40, bytes.begin() + 50),
              (std::vector<std::uint8_t>{0x9D, 0x50, 0x40, 0x01, 2, 0, 0, 0, 0x12, 0x34}));
}

TEST_F(CanHub, RecordsThatAreNotFramesAreNotCarried) {
    auto a = Member("can0"), b = Member("can0");
    ASSERT_TRUE(a && b);
    usleep(50000);
    CanFrame bad = Frame(0x9D504001, {});
    bad.len = 9;
    ASSERT_TRUE(a->Write(bad));
    CanFrame none;
    EXPECT_FALSE(ReadWithin(*b, none, 10));
}

// A hub that goes away (restarted, or an interface gone) hangs up every
// member: a read then waits its time-out instead of returning at once, the
// bus says it is lost and writes fail; once the hub is back the member opens
// it again by itself and frames flow.
TEST_F(CanHub, AMemberWhoseHubWentAwayWaitsAndReopens) {
    auto a = Member("can0"), b = Member("can0");
    ASSERT_TRUE(a && b);
    StopHub(SIGKILL);
    CanFrame f;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) EXPECT_FALSE(a->Read(f));
    const auto spent = std::chrono::steady_clock::now() - start;
    // Thirty reads of a dead bus take thirty time-outs, never a spin.
    EXPECT_GE(spent, std::chrono::milliseconds(30 * platform::kCanTimeoutUs / 1000));
    EXPECT_TRUE(a->Lost());
    EXPECT_FALSE(a->Write(Frame(0x9D504001, {1})));
    StartHub();
    bool passed = false;
    for (int i = 0; i < 500 && !passed; ++i) {
        a->Write(Frame(0x9D504001, {7}));
        CanFrame got;
        passed = b->Read(got) && got.can_id == 0x9D504001u && got.data[0] == 7;
    }
    EXPECT_TRUE(passed);
    EXPECT_FALSE(a->Lost());
    EXPECT_FALSE(b->Lost());
}

TEST(CanOpen, MissingHubIsAnError) {
    TestRoot root;
    platform::CanOpenStep step = platform::CanOpenStep::Ok;
    EXPECT_EQ(platform::OpenCan("can0", &step), nullptr);
    EXPECT_EQ(step, platform::CanOpenStep::NoInterface);
}

}  // namespace
