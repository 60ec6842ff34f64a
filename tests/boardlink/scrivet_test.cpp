#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "fake_link_port.h"
#include "log_reader.h"
#include "regmap_fields.h"
#include "scrivet.h"
#include "sim_slave.h"
#include "testroot.h"

using namespace boardlink;
using namespace regmap;

namespace {

class ScrivetTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.Make("/Storage/SystemLog");
        s.map = map;
    }
    std::string Log() const { return ReadSystemLog(root.path()); }
    void SetFrameVoltage(std::uint16_t v) {
        s.EVData[30] = static_cast<std::uint8_t>(v >> 8);
        s.EVData[31] = static_cast<std::uint8_t>(v);
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
    Scrivet s;
    FakeLinkPort port{clock};
    SimSlave slave{port};
};

TEST_F(ScrivetTest, CycleCarriesStatusAndSetPointOverAndPresentValuesBack) {
    mem[475] = 1;
    map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 398);
    mem[2196] = 57;
    mem[443] = 25;
    mem[2204] = 125;
    map.set(SHRMEM_AVAILABLE_POWER, 25000);  // the charge phase offers min(125, 100, 25000 / 403 = 62) A
    map.set(SHRMEM_SMR_AVAIL_CURRENT, 100);
    map.set(SHRMEM_OCPP_CURRENT_LIMIT, -1);
    map.set(SHRMEM_OCPP_POWER_LIMIT, -1);
    mem[21608] = 255;
    slave.map.set(SHRMEM_CCS_PILOT_STATE, 4);
    slave.map.set(SHRMEM_CCS_EV_SOC, 55);
    slave.map.set(SHRMEM_CCS_EV_TARGET_VOLTAGE, 400);
    slave.map.set(SHRMEM_CCS_PLC_STATUS, 0x060A0000);
    slave.map.set(SHRMEM_SET_I1, 500);
    slave.map.set(SHRMEM_SET_V1, 4000);
    slave.map.set(SHRMEM_SET_PENDING, 255);
    slave.map.set(SHRMEM_CCS_EVSE_ISOLATION, 1);
    slave.chunk = 5;  // every answer split across reads

    EXPECT_FALSE(LinkCycle(s, port, 3));
    EXPECT_EQ(mem[2160], 4);
    EXPECT_EQ(mem[2165], 55);
    EXPECT_EQ(map.get(SHRMEM_CCS_EV_TARGET_VOLTAGE), 400);
    EXPECT_EQ(map.get(SHRMEM_CCS_PLC_STATUS), 0x060A0000u);
    EXPECT_EQ(map.get(SHRMEM_SET_I1), 500);
    EXPECT_EQ(map.get(SHRMEM_SET_V1), 4000);
    EXPECT_EQ(mem[145], 255);
    EXPECT_EQ(slave.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 398);
    EXPECT_EQ(slave.mem[2196], 57);
    EXPECT_EQ(slave.mem[475], 1);
    EXPECT_EQ(Count(Log(), "[Scrivet]SHRMEM_CCS_PILOT_STATE from 0 to 4"), 1) << Log();
}

TEST_F(ScrivetTest, LinkAlarmAfterSixtySecondsAndItsRecovery) {
    // Silent for 75 s, a stray three-byte answer meanwhile, then the CCS board answers.
    const std::int64_t t0 = clock.MonotonicMs();
    bool alarmSeen = false;
    slave.silent = true;
    port.onWrite = [&, inner = port.onWrite](const std::vector<std::uint8_t>& b) {
        alarmSeen = alarmSeen || map.get(ALARM_CCS_BOARD_COMM);
        slave.silent = clock.MonotonicMs() - t0 < 75000;
        if (slave.silent) port.Arrive({0x55, 0x00, 0x00}, 3);
        inner(b);
    };
    EXPECT_FALSE(LinkCycle(s, port, 1));
    EXPECT_TRUE(alarmSeen);
    EXPECT_FALSE(map.get(ALARM_CCS_BOARD_COMM));
    const std::string log = Log();
    EXPECT_EQ(Count(log, " - [Scrivet]HandShake:Communication between BA and CA is failure\n"), 1) << log;
    EXPECT_EQ(Count(log, " - [Scrivet][158] BA and CA comm failed: RX len:3, Data:0x55 0x00 0x00 0x00 0x00 0x00 0x00 0x00\n"), 1)
        << log;
    EXPECT_EQ(Count(log, " - [Scrivet][1466] BA and CA communication failed recovery\n"), 1);
}

namespace {

// A line that babbles a byte every 2 ms until `quietAt`.
class BabblingPort : public FakeLinkPort {
public:
    BabblingPort(platform::TestClock& c, std::int64_t quietAt) : FakeLinkPort(c), clock_(c), quietAt_(quietAt) {}
    ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        if (clock_.MonotonicMs() >= quietAt_ || len == 0) return FakeLinkPort::Read(buf, len, timeoutMs);
        clock_.Advance(2);
        buf[0] = 0x13;
        return 1;
    }

private:
    platform::TestClock& clock_;
    std::int64_t quietAt_;
};

}  // namespace

TEST_F(ScrivetTest, LinkAlarmIsRaisedOnTimeOnALineThatNeverFallsSilent) {
    const std::int64_t t0 = clock.MonotonicMs();
    BabblingPort noisy(clock, t0 + 200000);
    std::int64_t alarmAt = -1;
    noisy.onWrite = [&](const std::vector<std::uint8_t>&) {
        if (alarmAt < 0 && map.get(ALARM_CCS_BOARD_COMM)) alarmAt = clock.MonotonicMs() - t0;
        if (clock.MonotonicMs() - t0 > 100000) noisy.Arrive({0x55, 0, 0, 0, 0, 0, 0, 0xAA});
    };
    HandShake(s, noisy);
    ASSERT_GE(alarmAt, 60000);
    EXPECT_LE(alarmAt, 60000 + 2 * (kHandShakeReadMs + 1000) + 10000);
}

TEST_F(ScrivetTest, NoAlarmWhenTheAnswerComesWithinSixtySeconds) {
    const std::int64_t t0 = clock.MonotonicMs();
    port.onWrite = [&, inner = port.onWrite](const std::vector<std::uint8_t>& b) {
        slave.silent = clock.MonotonicMs() - t0 < 55000;
        inner(b);
    };
    EXPECT_FALSE(LinkCycle(s, port, 1));
    EXPECT_GE(clock.MonotonicMs() - t0, 55000);
    EXPECT_FALSE(map.get(ALARM_CCS_BOARD_COMM));
    EXPECT_EQ(Log().find("BA and CA"), std::string::npos);
}

TEST_F(ScrivetTest, FailedStepsRestartWithAHandShake) {
    const auto slaveOnWrite = port.onWrite;
    struct Case {
        const char* line;
        std::function<void()> breakIt;
    };
    const Case cases[] = {
        {" - [Scrivet]SendEVSEData NG\n", [&] { port.onWrite = [&](const std::vector<std::uint8_t>& b) {
             if (b.size() == 8 && b[1] == 0) port.Arrive({0x55, 0, 0, 0, 0, 0, 0, 0xAA}, 1);
             if (b.size() == 8 && b[1] == 2) port.Arrive({0x55, 3, 0, 0, 0, 0, 0, 0xAA}, 1);  // wrong ack
         }; }},
        {" - [Scrivet]GetCCSData NG\n", [&] { port.onWrite = [&, inner = slaveOnWrite](const std::vector<std::uint8_t>& b) {
             if (b.size() == 8 && b[1] == 1) { port.Arrive(std::vector<std::uint8_t>(63, 0x55), 1); return; }  // short frame
             inner(b);
         }; }},
    };
    for (const auto& c : cases) {
        c.breakIt();
        EXPECT_FALSE(LinkCycle(s, port, 5));
        EXPECT_EQ(Count(Log(), c.line), 1) << c.line;
    }
    EXPECT_EQ(mem[2160], 0) << "nothing mirrored from a failed frame";
}

struct SettingsCase {
    const char* name;
    std::function<void(RegisterMap&)> setUp;
    std::uint8_t gfdState;
    std::vector<std::pair<int, int>> expect;  // settings byte, value
};

TEST_F(ScrivetTest, SettingsFrameValues) {
    auto charging = [](RegisterMap& m) {
        m.set(SHRMEM_CCS_PLC_STATUS, 0x060A0000);
        m.set(SHRMEM_AVAILABLE_POWER, 25000);
        m.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);
        m.set(SHRMEM_OCPP_CURRENT_LIMIT, -1);
        m.set(SHRMEM_OCPP_POWER_LIMIT, -1);
        m.set(SHRMEM_SMR_AVAIL_CURRENT, 100);
        m.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 400);
        m.set(SHRMEM_CURRENT_CAP, 255);
    };
    const SettingsCase cases[] = {
        {"outside the charge phase", [](RegisterMap& m) {
             m.set(SHRMEM_MAX_OUTPUT_POWER, 30); m.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);
             m.set(SHRMEM_CCS_PLC_STATUS, 0x06060000); m.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 0x0190);
             m.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, 12); m.set(SHRMEM_CCS_SELECTED, 1); m.set(mainb::SHRMEM_CCS_SETTING10, 10);
             m.set(mainb::SHRMEM_CCS_SETTING12, 12); m.set(mainb::SHRMEM_CCS_SETTING14, 14); m.set(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, 80); },
         0, {{0, 0x55}, {1, 1}, {2, 30}, {3, 0x01}, {4, 0x90}, {5, 12}, {9, 80}, {10, 10}, {12, 12}, {13, 125}, {14, 14}, {15, 0xAA}}},
        {"charge phase: power quotient", charging, 0, {{2, 25}, {13, 61}}},
        {"charge phase: available current", [&](RegisterMap& m) { charging(m); m.set(SHRMEM_SMR_AVAIL_CURRENT, 40); }, 0, {{13, 40}}},
        {"charge phase: cap", [&](RegisterMap& m) { charging(m); m.set(SHRMEM_CURRENT_CAP, 33); }, 0, {{13, 33}}},
        {"charge phase: OCPP limits", [&](RegisterMap& m) { charging(m); m.set(SHRMEM_OCPP_POWER_LIMIT, 20999); m.set(SHRMEM_OCPP_CURRENT_LIMIT, 45); },
         0, {{2, 20}, {13, 45}}},
        {"charge phase: OCPP limits above the station's", [&](RegisterMap& m) { charging(m); m.set(SHRMEM_OCPP_POWER_LIMIT, 90000); m.set(SHRMEM_OCPP_CURRENT_LIMIT, 200); },
         0, {{2, 25}, {13, 61}}},
        {"charge phase: negative available current", [&](RegisterMap& m) { charging(m); m.set(SHRMEM_SMR_AVAIL_CURRENT, -5); }, 0, {{13, 0}}},
        {"GFD self-test holds the voltage back", charging, kGfdRunning, {{3, 0}, {4, 0}, {13, 100}}},
        {"stop input cleared while charging", [](RegisterMap& m) { m.set(SHRMEM_STOP_BUTTON, 0x02); m.set(SHRMEM_CHARGER_STATE, 1); }, 0, {{7, 0x00}, {11, 1}}},
        {"remote stop", [](RegisterMap& m) { m.set(SHRMEM_STOP_BUTTON, 0x02); m.set(SHRMEM_CHARGER_STATE, 1); m.set(SHRMEM_STOP_CHARGING, 6); }, 0, {{6, 6}, {7, 0x02}}},
        {"GFD stop", [](RegisterMap& m) { m.set(SHRMEM_STOP_CHARGING, 255); m.set(SHRMEM_STOP_BUTTON, 0x08); }, 0, {{6, 255}, {7, 0x0A}}},
        {"malfunction", [](RegisterMap& m) { m.set(ALARM_GFD, true); }, 0, {{8, 1}}},
    };
    for (const auto& c : cases) {
        std::fill(mem.begin(), mem.end(), 0);
        c.setUp(map);
        map.set(SHRMEM_GFD_SELFTEST, 0x80);  // a running test is not answered yet
        s.GFDSelfTest = c.gfdState;
        s.GFDSelfTestStartTime = common::MonotonicNow();
        BuildEVSEData(s);
        for (const auto& [byte, value] : c.expect) EXPECT_EQ(s.EVSEData[byte], value) << c.name << ", byte " << byte;
        EXPECT_EQ(mem[21544], s.EVSEData[2]) << c.name;
        EXPECT_EQ(mem[21545], s.EVSEData[13]) << c.name;
    }
}

TEST_F(ScrivetTest, VoltageSetPointIsClampedWithOneLinePerExcursion) {
    mem[475] = 1;
    mem[21545] = 200;
    const struct {
        std::uint16_t in, out;
    } steps[] = {{0, 0}, {499, 500}, {499, 500}, {5001, 5000}, {5001, 5000}, {499, 500}, {2000, 2000}, {1, 500}};
    for (const auto& st : steps) {
        SetFrameVoltage(st.in);
        MirrorStatus(s);
        EXPECT_EQ(map.get(SHRMEM_SET_V1), st.out) << st.in;
    }
    const std::string log = Log();
    EXPECT_EQ(Count(log, " - [Scrivet][380] Voltage command(49.9V) reaches lower limit(50V)\n"), 2) << log;
    EXPECT_EQ(Count(log, " - [Scrivet][380] Voltage command(0.1V) reaches lower limit(50V)\n"), 1);
    EXPECT_EQ(Count(log, " - [Scrivet][406] Voltage command(500.1V) reaches higher limit(500V)\n"), 1);
}

TEST_F(ScrivetTest, SetPointCopyRules) {
    s.EVData[28] = 0x03;  // 80.0 A
    s.EVData[29] = 0x20;
    SetFrameVoltage(4000);
    s.EVData[32] = 255;

    // Stop request: voltage forced to 0, current (clamped to the 10 A
    // offered) and arming byte still copied.
    mem[475] = 1;
    mem[410] = 6;
    mem[21545] = 10;
    MirrorStatus(s);
    EXPECT_EQ(map.get(SHRMEM_SET_V1), 0);
    EXPECT_EQ(map.get(SHRMEM_SET_I1), 100);
    EXPECT_EQ(mem[145], 255);
    MirrorStatus(s);
    EXPECT_EQ(Count(Log(), " - [Scrivet][448] Current command(80.0A) higher than available current(10A)\n"), 1) << "once";

    // Not the active outlet, or told not to take the set-point: nothing copied.
    for (auto setUp : {+[](std::vector<std::uint8_t>& m) { m[475] = 0; }, +[](std::vector<std::uint8_t>& m) { m[475] = 1; m[21547] = 2; }}) {
        std::fill(mem.begin() + 134, mem.begin() + 148, 0);
        mem[410] = 0;
        setUp(mem);
        MirrorStatus(s);
        EXPECT_EQ(map.get(SHRMEM_SET_V1), 0);
        EXPECT_EQ(map.get(SHRMEM_SET_I1), 0);
        EXPECT_EQ(mem[145], 0);
    }
}

TEST_F(ScrivetTest, StatusMirrorOfAlarmsVersionAndMac) {
    mem[321] = 0x41;
    mem[2215] = 0x77;
    s.EVData[33] = 0x08;
    s.EVData[34] = 1;
    s.EVData[35] = 1; s.EVData[36] = 3; s.EVData[37] = 0x0C; s.EVData[38] = 1;
    s.EVData[39] = 0x4E;
    s.EVData[42] = 0x11;
    s.EVData[44] = 1;
    s.EVData[45] = 0xAB;
    MirrorStatus(s);
    EXPECT_EQ(mem[321], 0x49) << "only bits 0x04 and 0x08 come from the frame";
    EXPECT_EQ(mem[2202], 1);
    EXPECT_EQ(std::vector<std::uint8_t>(mem.begin() + 517, mem.begin() + 521), (std::vector<std::uint8_t>{1, 3, 0x0C, 1}));
    EXPECT_EQ(mem[521], 0x4E);
    EXPECT_EQ(mem[21568], 0x11);
    EXPECT_EQ(mem[2214], 0) << "no MAC report asked for";
    EXPECT_EQ(mem[2215], 0x77) << "left untouched";

    mem[939] = 1;
    s.EVData[33] = 0x04;
    MirrorStatus(s);
    EXPECT_EQ(mem[2214], 1);
    EXPECT_EQ(mem[2215], 0xAB);
    EXPECT_EQ(mem[321], 0x45);
    const std::string log = Log();
    EXPECT_EQ(Count(log, " - [Scrivet][487] CCS plug temp OTP: Byte33:8\n"), 1) << log;
    EXPECT_EQ(Count(log, " - [Scrivet][487] CCS plug temp OTP recovery: Byte33:4\n"), 1);
    EXPECT_EQ(Count(log, " - [Scrivet][507] CCS plug temp sensor broken; Byte33:4\n"), 1);
    EXPECT_EQ(Count(log, " - [Scrivet]SHRMEM_CCS_EV_PROXIMITY from 0 to 1\n"), 1);
}

TEST_F(ScrivetTest, StatusFrameBytesLandInTheirMainBoardBytes) {
    // Every frame byte a distinct value; where each one must land.
    for (std::size_t i = 1; i < s.EVData.size() - 1; ++i) s.EVData[i] = static_cast<std::uint8_t>(0x80 + i);
    s.EVData[33] = 0x0C;  // plug-temperature bits, checked on their own
    s.EVData[28] = 0x09;  // 0x099D = 246.1 A: within the 255 A offered, so not clamped
    mem[475] = 1;
    mem[21545] = 255;
    mem[939] = 1;
    const struct {
        std::size_t frameByte;
        std::uint32_t mapByte;
    } places[] = {
        {1, 2160},  {2, 2163},  {3, 2164},  {4, 2165},  {5, 2166},  {6, 2167},  {7, 2170},  {8, 2171},
        {9, 2172},  {10, 2173}, {11, 2186}, {12, 2189}, {13, 2190}, {14, 2191}, {15, 2184}, {16, 2185},
        {17, 2168}, {18, 2169}, {19, 2192}, {20, 2193}, {21, 2194}, {22, 2195}, {23, 2197}, {24, 2198},
        {25, 2199}, {26, 2200}, {27, 476},  {28, 134},  {29, 135},  {32, 145},  {34, 2202}, {35, 517},
        {36, 518},  {37, 519},  {38, 520},  {39, 521},  {40, 522},  {41, 2174}, {42, 21568}, {43, 21569},
        {44, 2214}, {45, 2215}, {46, 2216}, {47, 2217}, {48, 2218}, {49, 2219}, {50, 2220},
    };
    MirrorStatus(s);
    for (const auto& p : places) {
        EXPECT_EQ(mem[p.mapByte], p.frameByte == 28 ? 0x09 : 0x80 + p.frameByte) << "frame byte " << p.frameByte;
    }
    EXPECT_EQ(map.get(SHRMEM_SET_V1), 5000) << "0x9E9F clamped to 500.0 V";
    EXPECT_EQ(mem[321], 0x0C);
}

TEST_F(ScrivetTest, EvMacIsPrintedOncePerValidReport) {
    mem[939] = 1;
    const std::uint8_t mac[] = {0x02, 0x00, 0x00, 0xAB, 0xCD, 0xEF};
    std::copy(std::begin(mac), std::end(mac), s.EVData.begin() + 45);
    const std::uint8_t valid[] = {1, 1, 0, 1};
    std::string printed;
    for (std::uint8_t v : valid) {
        s.EVData[44] = v;
        ::testing::internal::CaptureStdout();
        MirrorStatus(s);
        printed += ::testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(Count(printed, "02:00:00:AB:CD:EF"), 2) << printed;
    EXPECT_EQ(std::vector<std::uint8_t>(mem.begin() + 2215, mem.begin() + 2221), std::vector<std::uint8_t>(std::begin(mac), std::end(mac)));
}

TEST_F(ScrivetTest, StatusWordChangesAreLoggedOnlyWithAVehicle) {
    mem[2202] = 1;         // disconnected
    s.EVData[34] = 1;
    s.EVData[23] = 0x01;   // phase byte changes
    MirrorStatus(s);
    EXPECT_EQ(Log().find("PLC_STATUS+0"), std::string::npos);
    s.EVData[1] = 2;       // pilot B1
    s.EVData[23] = 0x06;
    MirrorStatus(s);
    const std::string log = Log();
    EXPECT_EQ(Count(log, " - [Scrivet]SHRMEM_CCS_PLC_STATUS+0 from 0x1 to 0x6\n"), 1) << log;
    EXPECT_EQ(Count(log, " - [Scrivet]SHRMEM_CCS_PLC_STATUS=0x1,0x0,0x0,0x0\n"), 1);
}

TEST_F(ScrivetTest, GfdSelfTestWalk) {
    const struct {
        const char* name;
        std::uint8_t answer;      // the detector's answer, 0x80 = none
        std::int64_t waitMs;
        std::uint8_t endState;
    } cases[] = {
        {"fails", 1, 0, kGfdFailed},
        {"passes", 0, 0, kGfdDone},
        {"never answers", 0x80, 3001, kGfdFailed},
        {"still within its time", 0x80, 2000, kGfdRunning},
    };
    for (const auto& c : cases) {
        std::fill(mem.begin(), mem.end(), 0);
        s = Scrivet{};
        s.map = map;
        mem[475] = 1;
        mem[21545] = 200;
        SetFrameVoltage(4000);
        s.EVData[28] = 0x01;
        MirrorStatus(s);
        ASSERT_EQ(s.GFDSelfTest, kGfdRequested) << c.name;

        map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 480);
        BuildEVSEData(s);
        EXPECT_EQ(s.GFDSelfTest, kGfdRequested) << "waits for 490 V";
        EXPECT_EQ(s.EVSEData[3] << 8 | s.EVSEData[4], 0);

        map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 495);
        BuildEVSEData(s);
        EXPECT_EQ(mem[108], 0x80);
        EXPECT_EQ(s.GFDSelfTest, kGfdRunning);

        mem[108] = c.answer;
        clock.SetWallSeconds(clock.WallSeconds() + 3600);  // calendar jumps do not count
        clock.Advance(c.waitMs);
        BuildEVSEData(s);
        EXPECT_EQ(s.GFDSelfTest, c.endState) << c.name;
        const bool failed = c.endState == kGfdFailed;
        EXPECT_EQ(map.get(ALARM_GFD_SELFTEST), failed) << c.name;
        EXPECT_EQ(mem[410], failed ? 255 : 0) << c.name;
        if (failed) {
            EXPECT_EQ(map.get(SHRMEM_SET_V1), 0);
            EXPECT_EQ(map.get(SHRMEM_SET_I1), 0);
            EXPECT_EQ(mem[145], 255);
        }
        BuildEVSEData(s);
        EXPECT_EQ(s.EVSEData[3] << 8 | s.EVSEData[4], c.endState == kGfdDone ? 495 : 0) << c.name;
    }
    EXPECT_EQ(Count(Log(), " - [Scrivet]:GFD self test NG\n"), 2);
}

TEST_F(ScrivetTest, GfdSelfTestRestartsOnPilotOrProximityChange) {
    for (int which = 0; which < 2; ++which) {
        s.GFDSelfTest = kGfdFailed;
        mem[475] = 0;
        if (which == 0) { mem[2160] = 4; s.EVData[1] = 2; s.EVData[34] = mem[2202]; }
        else { s.EVData[1] = mem[2160]; s.EVData[34] = mem[2202] ^ 1; }
        MirrorStatus(s);
        EXPECT_EQ(s.GFDSelfTest, kGfdIdle) << which;
    }
}

TEST_F(ScrivetTest, InitialStatusBlockWritesEveryByteOfItsList) {
    std::fill(mem.begin() + 2160, mem.begin() + 2221, 0xEE);
    map.set(SHRMEM_AVAILABLE_POWER, 30000);
    mem[452] = 90;
    InitCcsStatusBlock(map);
    std::vector<int> want(2221, 0);  // bytes 2160..2220; -1 = not written
    for (std::uint32_t b : {2161u, 2196u, 2203u, 2204u, 2205u, 2206u, 2207u, 2208u, 2209u, 2210u, 2211u, 2212u,
                            2213u, 2214u, 2187u, 2188u}) {
        want[b] = -1;
    }
    want[2175] = 1;
    want[2176] = 65;
    want[2177] = 30;
    want[2178] = 0x01;
    want[2179] = 0xF4;
    want[2180] = 2;
    want[2181] = 0x00;
    want[2182] = 0xC8;
    want[2183] = 90;
    want[2201] = 1;
    want[2202] = 1;
    for (std::uint32_t b = 2160; b <= 2220; ++b) {
        EXPECT_EQ(mem[b], want[b] < 0 ? 0xEE : want[b]) << "byte " << b;
    }
}

TEST_F(ScrivetTest, InitialStatusBlockFromAvailablePower) {
    const struct {
        std::uint16_t avail;
        std::uint8_t maxCurrent, maxPower;
    } cases[] = {{3000, 60, 3}, {3299, 65, 3}, {3300, 65, 3}, {30000, 65, 30}};
    for (const auto& c : cases) {
        map.set(SHRMEM_AVAILABLE_POWER, c.avail);
        mem[452] = 90;
        mem[2165] = 7;
        InitCcsStatusBlock(map);
        EXPECT_EQ(mem[2176], c.maxCurrent) << c.avail;
        EXPECT_EQ(mem[2177], c.maxPower) << c.avail;
        EXPECT_EQ(mem[2183], 90);
        EXPECT_EQ(mem[2165], 0);
        EXPECT_EQ(map.get(SHRMEM_CCS_EVSE_MAX_VOLTAGE), 500);
        EXPECT_EQ(map.get(SHRMEM_CCS_EVSE_MIN_VOLTAGE), 200);
        EXPECT_EQ(mem[2180], 2);
        EXPECT_EQ(mem[2202], 1);
    }
}

TEST_F(ScrivetTest, ChargerMalfunctionBits) {
    const Bits bits[] = {{316, 0x10}, {343, 0x02}, {313, 0x20}, {315, 0x80}, {323, 0x01}, {323, 0x04},
                         {323, 0x10}, {323, 0x40}, {324, 0x01}, {324, 0x04}};
    EXPECT_EQ(ChargerMalfun(map), 0);
    for (const Bits& b : bits) {
        map.set(b, true);
        EXPECT_EQ(ChargerMalfun(map), 1) << b.offset << "/" << int(b.mask);
        map.set(b, false);
    }
    map.set(Bits{314, 0x80}, true);  // a pre-warning is not a malfunction
    map.set(Bits{323, 0x02}, true);
    EXPECT_EQ(ChargerMalfun(map), 0);
}

TEST_F(ScrivetTest, FirmwarePushRequestLeavesTheCycle) {
    mem[264] = 2;
    EXPECT_TRUE(LinkCycle(s, port, 10));
    FirmwarePush(s, port);
    EXPECT_EQ(mem[264], 0);
    EXPECT_TRUE(map.get(ALARM_CCS_BOARD_UPDATE));
    EXPECT_EQ(Count(Log(), " - [Scrivet]Update Quorzel NG (transmission failed)\n"), 1);

    map.set(ALARM_CCS_BOARD_UPDATE, false);
    s.updateCAImage = [](linkwire::LinkPort&) { return 1; };
    FirmwarePush(s, port);
    EXPECT_FALSE(map.get(ALARM_CCS_BOARD_UPDATE));
    EXPECT_EQ(Count(Log(), " - [Scrivet]Update Quorzel OK\n"), 1);
}

// A status frame as the CCS board sends it during a charge: pilot C, V2G
// CurrentDemand, 50.0 A at 400.0 V armed.
linkwire::EVDataFrame ChargingFrame() {
    linkwire::EVDataFrame f{};
    f[0] = 0x55;
    f[63] = 0xAA;
    f[1] = 4;
    f[12] = 1;
    f[23] = 0x06;
    f[24] = 0x0A;
    f[28] = 0x01;  // 50.0 A
    f[29] = 0xF4;
    f[30] = 0x0F;  // 400.0 V
    f[31] = 0xA0;
    f[32] = 255;
    f[41] = 1;
    return f;
}

TEST_F(ScrivetTest, StatusFrameWithAnImpossibleValueIsRefusedWhole) {
    mem[475] = 1;
    mem[21545] = 125;
    s.EVData = ChargingFrame();
    ASSERT_TRUE(TakeStatusFrame(s));
    ASSERT_TRUE(TakeStatusFrame(s));
    map.set(SHRMEM_SET_PENDING, 0);  // taken by the modules
    const struct {
        std::size_t at;
        std::vector<std::uint8_t> bytes;
        const char* why;
    } cases[] = {
        {1, {211}, "pilot state 211"},
        {1, {8}, "pilot state 8"},
        {34, {2}, "proximity 2"},
        {32, {0x7F}, "set-point arming byte 127"},
        {28, {0x68, 0xE8}, "current set-point 26856"},
        {28, {0x09, 0xF7}, "current set-point 2551"},
        {30, {0xF0, 0xA0}, "voltage set-point 61600"},
        {30, {0x13, 0x89}, "voltage set-point 5001"},
        {23, {0x0C}, "status phase 12"},
        {26, {0x01}, "status result 1"},
        {3, {12}, "EV error code 12"},
        {12, {2}, "ReadyToCharge 2"},
        {41, {4}, "isolation status 4"},
        {44, {2}, "EV MAC valid flag 2"},
    };
    const std::vector<std::uint8_t> before = mem;
    unsigned refused = 0;
    for (const auto& c : cases) {
        // The same corrupted frame twice: agreeing frames confirm nothing impossible.
        for (int twice = 0; twice < 2; ++twice) {
            s.EVData = ChargingFrame();
            std::copy(c.bytes.begin(), c.bytes.end(), s.EVData.begin() + static_cast<std::ptrdiff_t>(c.at));
            ::testing::internal::CaptureStdout();
            EXPECT_FALSE(TakeStatusFrame(s)) << c.why;
            const std::string out = ::testing::internal::GetCapturedStdout();
            EXPECT_NE(out.find(std::string("Status frame refused (") + c.why + "), " + std::to_string(++refused) + " refused"),
                      std::string::npos) << out;
        }
        EXPECT_EQ(mem, before) << c.why << ": nothing of a refused frame reaches the map";
    }
    EXPECT_EQ(s.framesRefused, refused);

    // Through the link: a refused frame keeps the cycle going.
    slave.map.set(SHRMEM_CCS_PILOT_STATE, 9);
    EXPECT_FALSE(LinkCycle(s, port, 3));
    EXPECT_EQ(mem[2160], 4);
    EXPECT_EQ(Log().find("GetCCSData NG"), std::string::npos);
}

TEST_F(ScrivetTest, SetPointArmsOnlyWhenTwoFramesAgreeAndDisarmsAtOnce) {
    mem[475] = 1;
    mem[21545] = 100;
    struct Step {
        const char* what;
        std::uint16_t i, v;
        std::uint8_t arm;
        std::uint16_t wantI, wantV;
        std::uint8_t want145;
    };
    const Step steps[] = {
        {"first frame", 500, 4000, 255, 0, 0, 0},
        {"confirmed", 500, 4000, 255, 500, 4000, 255},
        {"taken by the modules", 0, 0, 0, 500, 4000, 0},  // (the stand-in for the modules clears 145)
        {"one frame changed on the line", 500, 3989, 255, 500, 4000, 0},
        {"back, but disagreeing with the frame before", 500, 4000, 255, 500, 4000, 0},
        {"agreeing again", 500, 4000, 255, 500, 4000, 255},
        {"a new set-point, once", 800, 4500, 255, 500, 4000, 255},
        {"the new set-point confirmed", 800, 4500, 255, 800, 4500, 255},
        {"disarmed at once", 800, 4500, 0, 800, 4500, 0},
        {"armed again after two frames", 800, 4500, 255, 800, 4500, 0},
        {"", 800, 4500, 255, 800, 4500, 255},
        {"switched off at once", 800, 0, 255, 0, 0, 255},
        {"more current than offered, once", 1500, 4000, 255, 0, 0, 255},
        {"clamped to the 100 A offered", 1500, 4000, 255, 1000, 4000, 255},
    };
    for (const Step& st : steps) {
        if (std::string(st.what) == "taken by the modules") {
            mem[145] = 0;
            continue;
        }
        s.EVData = ChargingFrame();
        s.EVData[28] = static_cast<std::uint8_t>(st.i >> 8);
        s.EVData[29] = static_cast<std::uint8_t>(st.i);
        SetFrameVoltage(st.v);
        s.EVData[32] = st.arm;
        ASSERT_TRUE(TakeStatusFrame(s)) << st.what;
        EXPECT_EQ(map.get(SHRMEM_SET_I1), st.wantI) << st.what;
        EXPECT_EQ(map.get(SHRMEM_SET_V1), st.wantV) << st.what;
        EXPECT_EQ(mem[145], st.want145) << st.what;
    }
    EXPECT_EQ(Count(Log(), " - [Scrivet][448] Current command(150.0A) higher than available current(100A)\n"), 1) << Log();
}

TEST_F(ScrivetTest, AlarmAndSessionBytesFollowWhenTwoFramesAgree) {
    // Each row: the frame byte, its values frame after frame and what the
    // main board holds after each (its own byte, or one alarm bit).
    struct Row {
        const char* what;
        std::size_t at;
        std::vector<std::uint8_t> frames;
        std::function<int()> held;
        std::vector<int> want;
    };
    const Row rows[] = {
        {"plug over-temperature", 33, {0x08, 0x00, 0x08, 0x08, 0x00, 0x08, 0x00, 0x00},
         [&] { return int(map.get(ALARM_CONNECTOR_OTP)); }, {0, 0, 0, 1, 1, 1, 1, 0}},
        {"pilot line broken", 42, {0x10, 0x10, 0x00, 0x10, 0x00, 0x00},
         [&] { return int(mem[21568]); }, {0, 0x10, 0x10, 0x10, 0x10, 0}},
        {"pilot state", 1, {4, 4, 1, 4, 1, 1},
         [&] { return int(mem[2160]); }, {0, 4, 4, 4, 4, 1}},
        {"proximity", 34, {0, 0, 1, 0, 1, 1},
         [&] { return int(mem[2202]); }, {9, 0, 0, 0, 0, 1}},
        {"status phase", 23, {6, 6, 0x0A, 6, 6},
         [&] { return int(mem[2197]); }, {0, 6, 6, 6, 6}},
    };
    for (const Row& r : rows) {
        std::fill(mem.begin(), mem.end(), 0);
        mem[2202] = 9;  // a value no frame brings
        s = Scrivet{};
        s.map = map;
        for (std::size_t k = 0; k < r.frames.size(); ++k) {
            s.EVData = ChargingFrame();
            s.EVData[r.at] = r.frames[k];
            ASSERT_TRUE(TakeStatusFrame(s));
            EXPECT_EQ(r.held(), r.want[k]) << r.what << ", frame " << k;
        }
    }
    EXPECT_EQ(Count(Log(), "[Scrivet][487] CCS plug temp OTP: Byte33:8\n"), 1) << Log();
}

TEST_F(ScrivetTest, AFrameFromBeforeAHandShakeConfirmsNothing) {
    mem[475] = 1;
    mem[21545] = 100;
    slave.map.set(SHRMEM_CCS_PILOT_STATE, 4);
    EXPECT_FALSE(LinkCycle(s, port, 1));
    EXPECT_EQ(mem[2160], 0) << "one frame";
    EXPECT_FALSE(LinkCycle(s, port, 1));
    EXPECT_EQ(mem[2160], 0) << "one frame after a hand-shake: the frame before it does not count";
    EXPECT_FALSE(LinkCycle(s, port, 2));
    EXPECT_EQ(mem[2160], 4);
}

TEST_F(ScrivetTest, SettingsFrameCarriesOnlyTheStopInputsTheCcsBoardKnows) {
    mem[412] = 0xFF;
    BuildEVSEData(s);
    EXPECT_EQ(s.EVSEData[7], 0x0A);
    EXPECT_EQ(linkwire::EVSEDataFault(s.EVSEData), "");
}

}  // namespace
