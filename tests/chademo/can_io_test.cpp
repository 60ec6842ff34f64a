// The CAN I/O process of a CHAdeMO session on the test clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "chademo_rig.h"

namespace {

using namespace regmap;

void FramesComputed(ChademoRig& r) { r.map.set(ChargerFlag, kTimeLimitComputed | kFramesComputed); }

TEST(ChademoCanIo, NothingIsSentOrTimedOutBeforeTheVehicleTalks) {
    ChademoRig r;
    FramesComputed(r);
    r.bus.inbox.push_back(VehicleFrame(0x100, {0, 0, 0, 0, 0, 0, 0, 0}));
    r.bus.inbox.push_back(VehicleFrame(0x101, {0, 0, 0, 0, 0, 0, 0, 0}));
    r.Run(3000);
    EXPECT_EQ(r.map.get(StartRecv), 3);
    EXPECT_TRUE(r.bus.sent.empty());
    EXPECT_FALSE(r.map.get(ALARM_CHADEMO_COMM));
    EXPECT_EQ(r.map.get(SHRMEM_STOP_CHARGING), 0);
}

TEST(ChademoCanIo, TheThirdFrameCompletesTheSetAfterASettlingPause) {
    ChademoRig r;
    r.VehicleTalks();
    r.bus.inbox.push_back(VehicleFrame(0x100, {1, 1, 1, 1, 1, 1, 1, 1}));
    r.io.Pass();
    r.io.Pass();
    const std::int64_t before = r.clock.MonotonicMs();
    r.io.Pass();   // frame 0x102
    EXPECT_EQ(r.clock.MonotonicMs() - before, 200);
    EXPECT_EQ(r.map.get(StartRecv), 7);
    EXPECT_EQ(r.bus.inbox.size(), 1u);   // nothing read during the pause
    EXPECT_EQ(r.map.get(SHRMEM_CHADEMO_TARGET_VOLTAGE), 400);
}

TEST(ChademoCanIo, ChargerFramesOnTheirPeriodAndTheProtocolFrame) {
    struct Case { std::uint8_t protocol; bool sends118; };
    for (const Case c : {Case{0, false}, Case{1, false}, Case{2, true}, Case{3, true}}) {
        ChademoRig r;
        r.VehicleTalks(c.protocol);
        r.Run(3);
        FramesComputed(r);
        r.map.bytes(CP109)[0] = c.protocol < 2 ? 1 : 2;
        r.map.set(SHRMEM_GET_V1, 3995);   // 399.5 V
        r.map.set(SHRMEM_GET_I1, 59);     // 5.9 A
        // Keep the vehicle talking every 100 ms.
        for (int t = 0; t < 10; ++t) {
            r.VehicleTalks(c.protocol);
            r.Run(100);
        }
        std::vector<std::uint32_t> ids = r.SentIds();
        ASSERT_GE(ids.size(), 2u);
        const std::size_t perSend = c.sends118 ? 3 : 2;
        EXPECT_EQ(ids.size() % perSend, 0u);
        EXPECT_EQ(ids[0], 0x108u);
        EXPECT_EQ(ids[1], 0x109u);
        if (c.sends118) {
            EXPECT_EQ(ids[2], 0x118u);
        }
        const std::size_t sends = ids.size() / perSend;
        EXPECT_GE(sends, 9u) << int(c.protocol);
        EXPECT_LE(sends, 11u) << int(c.protocol);
        const platform::CanFrame& f109 = r.bus.sent[1];
        EXPECT_EQ(f109.len, 8);
        EXPECT_EQ(f109.data[1] | f109.data[2] << 8, 399);
        EXPECT_EQ(f109.data[3], 5);       // 5.9 A, in whole A
        EXPECT_EQ(r.map.get(SHRMEM_CHADEMO_LOW_CURRENT), 1);
        EXPECT_EQ(r.bus.sent[0].data[0], 1);
    }
}

TEST(ChademoCanIo, PresentCurrentAndTheLowCurrentFlag) {
    // The whole 0.1 A value in A: 125.0 A (0x04E2) goes out as 125, not as
    // its low byte's 22; 25.6 A is not low; above one byte is 255.
    struct Case { std::uint16_t tenths; std::uint8_t sent, low; };
    for (const Case c : {Case{59, 5, 1}, Case{60, 6, 0}, Case{256, 25, 0}, Case{1250, 125, 0}, Case{2563, 255, 0}}) {
        ChademoRig r;
        r.VehicleTalks();
        r.Run(3);
        FramesComputed(r);
        r.map.set(SHRMEM_GET_I1, c.tenths);
        r.Run(100);
        ASSERT_GE(r.bus.sent.size(), 2u);
        EXPECT_EQ(r.bus.sent[1].data[3], c.sent) << c.tenths;
        EXPECT_EQ(r.map.get(SHRMEM_CHADEMO_LOW_CURRENT), c.low) << c.tenths;
    }
}

TEST(ChademoCanIo, CurrentRequestsFollowedOnlyWhenAskedAndNeverAboveTheAnnouncedCurrent) {
    struct Case {
        bool follow;
        std::uint8_t request, announced;
        std::int16_t modules;       // A the modules can give
        std::uint16_t setPoint;     // 0.1 A in the mailbox
    };
    for (const Case c : {Case{false, 25, 125, 125, 0}, Case{true, 25, 125, 125, 250},
                         Case{true, 200, 69, 80, 690},    // the vehicle sees 69 A: it gets 69 A
                         Case{true, 100, 125, 40, 400},   // no more than the modules give
                         Case{true, 30, 0, 80, 0}}) {     // nothing announced, nothing asked of the modules
        ChademoRig r;
        r.map.set(U8{2204}, 125);
        r.map.set(S16Le{21506}, static_cast<std::uint16_t>(-1));
        r.map.set(S16Le{21512}, static_cast<std::uint16_t>(c.modules));
        r.map.set(CP108_AVAILABLE_CURRENT, c.announced);
        r.map.set(ChargerFlag, c.follow ? kFollowRequest : 0);
        r.VehicleTalks(2, c.request);
        r.Run(3);
        const std::string name = std::to_string(c.request) + " A of " + std::to_string(c.announced);
        EXPECT_EQ(r.map.get(SHRMEM_SET_I1), c.setPoint) << name;
        EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), c.follow ? 255 : 0) << name;
        EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0) << name;
    }
}

TEST(ChademoCanIo, SilentVehicleStopsTheSessionWithOneLine) {
    ChademoRig r;
    r.VehicleTalks();
    r.Run(3);
    r.Run(1000);
    EXPECT_FALSE(r.map.get(ALARM_CHADEMO_COMM));
    EXPECT_EQ(r.map.get(ChargerFlag) & kFramesLost, 0);
    r.Run(5);
    EXPECT_TRUE(r.map.get(ALARM_CHADEMO_COMM));
    EXPECT_EQ(r.map.get(SHRMEM_STOP_CHARGING), 12);
    EXPECT_TRUE(r.map.get(CHADEMO_ALARM_CAN_TIMEOUT));
    EXPECT_EQ(r.map.get(ChargerFlag) & kFramesLost, 0);   // 1100 ms not yet
    r.Run(5000);
    EXPECT_NE(r.map.get(ChargerFlag) & kFramesLost, 0);
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Corvane][01871][EVSE] Timeout error - CAN communication fault"), 1) << log;
    // The re-announce bit of code 13.
    EXPECT_EQ(r.map.bytes(SHRMEM_CHADEMO_ALARM_MEM)[1] & 0x02, 0x02);
}

TEST(ChademoCanIo, SilenceWithD1OffIsNoTimeoutAndStoppingShortensTheFrameLoss) {
    ChademoRig r;
    r.d1 = 0;
    r.VehicleTalks();
    r.Run(3);
    r.map.set(ChargerFlag, kStopping);
    r.Run(160);
    EXPECT_NE(r.map.get(ChargerFlag) & kFramesLost, 0);
    r.Run(2000);
    EXPECT_FALSE(r.map.get(ALARM_CHADEMO_COMM));
    EXPECT_EQ(r.map.get(SHRMEM_STOP_CHARGING), 0);
}

TEST(ChademoCanIo, LostFramesPauseSendingUnlessTheStopAfterATimeoutRuns) {
    ChademoRig r;
    r.VehicleTalks();
    r.Run(3);
    r.map.set(ChargerFlag, kTimeLimitComputed | kFramesComputed | kFramesLost);
    r.Run(500);
    EXPECT_TRUE(r.bus.sent.empty());
    r.map.set(SHRMEM_CHADEMO_STOPPING, 1);
    r.Run(500);
    EXPECT_FALSE(r.bus.sent.empty());
}

TEST(ChademoCanIo, OnlyStandardDataFramesOfEightBytesAreTheVehicles) {
    ChademoRig r;
    platform::CanFrame ext = VehicleFrame(0x100, {1, 2, 3, 4, 5, 6, 7, 8});
    ext.can_id |= platform::kCanExtendedFlag;
    platform::CanFrame remote = VehicleFrame(0x101, {});
    remote.can_id |= platform::kCanRemoteFlag;
    platform::CanFrame shortFrame = VehicleFrame(0x102, {2, 0x90});
    for (const auto& f : {ext, remote, shortFrame}) r.bus.inbox.push_back(f);
    r.Run(5);
    EXPECT_EQ(r.map.get(StartRecv), 0);
    EXPECT_EQ(r.map.bytes(EV100)[0], 0);
}

TEST(ChademoCanIo, VehicleFaultsGoToAlarmByte341AndAreLoggedOnce) {
    ChademoRig r;
    r.bus.inbox.push_back(VehicleFrame(0x102, {2, 0x90, 0x01, 0, 0x03, 0x04, 0, 0}));
    r.bus.inbox.push_back(VehicleFrame(0x102, {2, 0x90, 0x01, 0, 0x03, 0x04, 0, 0}));
    r.Run(300);
    EXPECT_EQ(r.map.get(SHRMEM_CHADEMO_EV_ALARM), 0x43);
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Corvane][01970][EV] Battery overvoltage; "), 1) << log;
    EXPECT_EQ(Count(log, "[Corvane][01970][EV] Battery undervoltage; "), 1) << log;
    EXPECT_EQ(Count(log, "[Corvane][01970][EV] Charging system error; "), 1) << log;
    EXPECT_LT(log.find("Battery overvoltage"), log.find("Battery undervoltage"));
}

}  // namespace

namespace {

// A charger frame that leaves late is this process's own stall and says so
// in one line; frames on their period, and a pause while the vehicle's
// frames are lost, say nothing. In the background form the lines are
// written by a child, in order, and the loop goes on meanwhile.
TEST(ChademoCanIo, LateChargerFramesAreLoggedByTheProcessThatSendsThem) {
    for (bool background : {false, true}) {
        ChademoRig r;
        if (background) r.log.Background();
        r.VehicleTalks(2);
        r.Run(3);
        FramesComputed(r);
        for (int t = 0; t < 5; ++t) {
            r.VehicleTalks(2);
            r.Run(100);
        }
        r.clock.Advance(450);   // the process stood still
        r.VehicleTalks(2);
        r.Run(100);
        // The vehicle's frames lost: sending pauses, which is no lateness.
        OrByteAtomic(r.map, ChargerFlag, kFramesLost);
        r.Run(1000);
        SetBitsAtomic(r.map, Bits{ChargerFlag.offset, kFramesLost}, false);
        r.VehicleTalks(2);
        r.Run(100);
        std::string log;
        for (int i = 0; i < 200; ++i) {
            r.io.Pass();
            log = r.Log();
            if (log.find("late") != std::string::npos) break;
            usleep(5000);
        }
        const std::size_t first = log.find("[Corvane] Charger frames late: ");
        ASSERT_NE(first, std::string::npos) << background << log;
        EXPECT_EQ(log.find("late", first + 30), std::string::npos) << background << log;
        const int ms = std::atoi(log.c_str() + first + 31);
        EXPECT_GE(ms, 450) << log;
        EXPECT_LT(ms, 600) << log;
    }
}

}  // namespace
