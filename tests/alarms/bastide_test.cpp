#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bastide.h"
#include "clock.h"
#include "command.h"
#include "files.h"
#include "regmap_fields.h"
#include "testroot.h"
#include "utc_time.h"

namespace {

using namespace alarms;
using namespace regmap;


// Records which manager ran, in order, and answers a chosen status.
class FakeBridge : public OcppBridge {
public:
    std::uint8_t FennickStsMgmt() override { return Note("FennickStsMgmt"), status; }
    void FennickMeterValMgmt() override { Note("FennickMeterValMgmt"); }
    void sync_OCPP16Conf_with_SysConf() override { Note("sync_OCPP16Conf_with_SysConf"); }
    void Local_update_OCPP16Conf() override { Note("Local_update_OCPP16Conf"); }
    void FennickCmdMgmt() override { Note("FennickCmdMgmt"); }
    void FennickUpdateLimit() override { Note("FennickUpdateLimit"); }
    std::uint8_t OCPP15SStsMgmt() override { return Note("OCPP15SStsMgmt"), status; }
    void OCPP15SCmdMgmt() override { Note("OCPP15SCmdMgmt"); }
    void Note(const char* name) { calls.push_back(name); }
    std::vector<std::string> calls;
    std::uint8_t status = 0;
};

// Bastide on a register map and a FennickApp of its own, local time UTC,
// every command recorded.
class BastideTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/Events");
        root.Make("/Storage/SystemLog");
        clock.SetWallSeconds(UtcSeconds(2021, 3, 4, 5, 6, 7));
        b.map = RegisterMap(mapBytes.data(), kMapSize);
        b.app = app.get();
        b.bridge = &bridge;
        b.map.set(SHRMEM_SERIAL_NUMBER, "SN1");
        b.map.setIpv4Text(SHRMEM_SNMP_TRAP_IP, "10.0.0.8");
        b.map.set(SHRMEM_SNMP_TRAP_PORT, "162");
        b.map.set(SHRMEM_SNMP_COMMUNITY, "public");
        StartUp(b);
    }

    std::uint8_t& M(std::uint32_t offset) { return mapBytes[offset]; }
    void Set(std::uint32_t offset, std::uint8_t mask, bool on) {
        if (on) M(offset) |= mask; else M(offset) &= static_cast<std::uint8_t>(~mask);
    }
    // The event codes written since the last call, one per line.
    std::vector<std::string> NewEvents() {
        std::vector<std::string> codes;
        const std::string all = platform::ReadTextFile(root.path() + "/Storage/Events/[2021.03]SN1_Events.csv", 1 << 20);
        std::istringstream in(all.substr(eventsSeen));
        eventsSeen = all.size();
        for (std::string line; std::getline(in, line);) codes.push_back(line.substr(line.rfind(' ') + 1));
        return codes;
    }
    std::string SystemLog() {
        return platform::ReadTextFile(root.path() + "/Storage/SystemLog/[2021.03]SystemLog", 1 << 20);
    }
    std::vector<std::vector<std::string>> Traps() {
        std::vector<std::vector<std::string>> t;
        for (const auto& c : runner.commands) t.push_back(c.argv);
        runner.commands.clear();
        return t;
    }
    void Ocpp16() {
        M(SHRMEM_OCPP_ENABLE.offset) = 1;
        b.map.set(SHRMEM_OCPP_URL, "ws://cs.example/ocpp");
        M(SHRMEM_OCPP_MODE.offset) = 2;
        M(mainb::SHRMEM_SYSTEM_READY.offset) = 1;
    }
    void Ocpp15(bool online) {
        M(SHRMEM_OCPP_ENABLE.offset) = 1;
        b.map.set(SHRMEM_OCPP_URL, "http://cs.example/ocpp15");
        M(SHRMEM_OCPP_MODE.offset) = 0;
        Set(SHRMEM_OCPP15_CS_REQUEST2.offset, 0x80, online);
    }
    std::uint8_t RingIndex() const { return app->statusRingWriteIndex; }
    const fennick::CpStatus& Slot(unsigned n) const { return app->statusRing[n]; }
    // "connectorId errorCode info status" of ring slot n.
    std::string Record(unsigned n) const {
        const auto& s = Slot(n);
        return std::to_string(s.connectorId) + " " + std::to_string(s.errorCode) + " " + s.info + " " +
               std::to_string(s.status);
    }
    bool Ocpp15Pending() { return (M(SHRMEM_OCPP15_CP_REQUEST.offset) & 0x08) != 0; }
    // The agent sends the record and clears its bit.
    void AgentTakes() { Set(SHRMEM_OCPP15_CP_REQUEST.offset, 0x08, false); }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> mapBytes = std::vector<std::uint8_t>(kMapSize);
    std::unique_ptr<fennick::FennickApp> app = std::make_unique<fennick::FennickApp>();
    FakeBridge bridge;
    Bastide b;
    std::size_t eventsSeen = 0;
};

TEST_F(BastideTest, RaiseAndClearAppendEventLinesToTheMonthlyFile) {
    Set(312, 0x10, true);
    Pass(b);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/Storage/Events/[2021.03]SN1_Events.csv"),
              "2021.03.04 05:06:07 - 00500D\n");
    Pass(b);  // no change, no line
    clock.Advance(1000);
    Set(312, 0x10, false);
    Pass(b);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/Storage/Events/[2021.03]SN1_Events.csv"),
              "2021.03.04 05:06:07 - 00500D\n2021.03.04 05:06:08 - 10500D\n");
}

TEST_F(BastideTest, TrapCommandCarriesTheAlarmOidAndValue) {
    struct Case {
        std::uint32_t byte;
        std::uint8_t mask;
        const char* oid;
    } cases[] = {
        {312, 0x10, ".1.3.6.1.4.1.4291.1.8.5.0.10"},
        {315, 0x80, ".1.3.6.1.4.1.4291.1.8.5.3.80"},
        {317, 0x80, ".1.3.6.1.4.1.4291.1.8.5.5.80"},
        {320, 0x02, ".1.3.6.1.4.1.4291.1.8.5.30.10"},  // CcsStopByEV reports under its own OID
        {343, 0x02, ".1.3.6.1.4.1.4291.1.8.5.31.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oid);
        for (bool on : {true, false}) {
            Set(c.byte, c.mask, on);
            Pass(b);
            const std::string value = std::to_string(on ? c.mask : 0);
            const std::vector<std::string> argv = {"/root/snmptrap", "-v", "2c", "-r", "0", "-t", "1", "-c",
                                                   "public", "10.0.0.8:162", "", c.oid, c.oid, "i", value};
            EXPECT_EQ(Traps(), std::vector<std::vector<std::string>>{argv});
        }
    }
}

TEST_F(BastideTest, TrapsStopWhileTheTrapMuteBitIsSet) {
    Ocpp16();
    Set(312, 0x02, true);
    Set(315, 0x80, true);
    Pass(b);
    EXPECT_EQ(NewEvents(), (std::vector<std::string>{"006007", "009001"}));
    EXPECT_TRUE(Traps().empty());
    EXPECT_EQ(RingIndex(), 1);  // the mute bit itself gives no record
    Set(312, 0x02, false);
    Set(315, 0x80, false);
    Pass(b);
    EXPECT_EQ(NewEvents(), (std::vector<std::string>{"106007", "109001"}));
    ASSERT_EQ(Traps().size(), 1u);
}

TEST_F(BastideTest, TrapTargetComesFromTheMapAndBadSettingsSkipTheTrap) {
    b.map.set(SHRMEM_SNMP_COMMUNITY, std::string(40, 'c'));
    Set(312, 0x10, true);
    Pass(b);
    auto traps = Traps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0][8], std::string(31, 'c'));
    EXPECT_EQ(traps[0][9], "10.0.0.8:162");
    NewEvents();

    struct Bad {
        const char* port;
        const char* community;
    } bad[] = {{"", "public"}, {"16x", "public"}, {"70000", "public"}, {"-1", "public"},
               {"162", ""}, {"162", "pub\nlic"}};
    int n = 0;
    for (const auto& c : bad) {
        SCOPED_TRACE(std::string(c.port) + "/" + c.community);
        b.map.set(SHRMEM_SNMP_TRAP_PORT, c.port);
        b.map.set(SHRMEM_SNMP_COMMUNITY, c.community);
        Set(312, 0x10, (++n % 2) == 0);
        Pass(b);
        EXPECT_EQ(NewEvents().size(), 1u);  // the event line is still written
        EXPECT_TRUE(Traps().empty());
    }
    // Every refusal is counted, but the log gets one line a minute: a bad
    // setting under a storm of alarm changes must not fill the disk.
    auto lines = [&] {
        const std::string log = SystemLog();
        std::size_t n = 0;
        for (auto p = log.find("SNMP trap not sent"); p != std::string::npos; p = log.find("SNMP trap not sent", p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(lines(), 1u);
    clock.Advance(common::kRepeatLogPeriodMs);
    Set(312, 0x10, (++n % 2) == 0);
    Pass(b);
    EXPECT_EQ(lines(), 2u);
    EXPECT_NE(SystemLog().find("(and " + std::to_string(std::size(bad) - 1) + " more like it"), std::string::npos);
}

TEST_F(BastideTest, HungTrapSenderIsEndedAndHoldsTrapsForAMinuteNotTheEventLines) {
    runner.result = platform::kCommandTimedOut;
    Set(312, 0x10, true);
    Pass(b);
    ASSERT_EQ(runner.commands.size(), 1u);
    EXPECT_EQ(runner.commands[0].limitMs, kTrapLimitMs) << "the runner ends the sender after its limit";
    Traps();
    runner.result = 0;
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"00500D"});

    // Within the minute every change still gives its line, and no sender runs.
    for (int i = 0; i < 30; ++i) {
        Set(312, 0x10, i % 2 != 0);
        Pass(b);
        clock.Advance(1000);
    }
    EXPECT_TRUE(Traps().empty());
    EXPECT_EQ(NewEvents().size(), 30u);
    clock.Advance(kTrapHoldMs);
    Set(312, 0x10, false);
    Pass(b);
    EXPECT_EQ(Traps().size(), 1u);
    EXPECT_EQ(NewEvents().size(), 1u);
    const std::string log = SystemLog();
    EXPECT_NE(log.find("SNMP trap sender did not end within its limit"), std::string::npos);
    EXPECT_EQ(log.find("trap sender hung a moment ago"), std::string::npos) << "repeats are counted, not logged";
}

TEST_F(BastideTest, TrapHostIsTheDottedAddressWithTheFirstOctetInTheHighestByte) {
    M(344) = 8; M(345) = 0; M(346) = 0; M(347) = 10;
    BuildTrapTarget(b);
    EXPECT_EQ(b.trapHost, "10.0.0.8:162");
}

// What one change of a bit gives, by the kind of its row.
TEST_F(BastideTest, EachKindOfRowGivesItsOwnReports) {
    Ocpp16();
    struct Case {
        std::uint32_t byte;
        std::uint8_t mask;
        const char* raised;  // "" = no event line
        bool trap;
        bool record;
    } cases[] = {
        {312, 0x01, "004007", true, true},
        {312, 0x04, "006008", false, false},
        {312, 0x08, "006009", false, false},
        {312, 0x80, "", false, false},
        {316, 0x40, "004021", true, false},
        {316, 0x80, "004014", true, false},
        {324, 0x08, "00A00C", true, true},
        {339, 0x80, "006006", true, true},
        {340, 0x40, "", false, false},
        {342, 0x01, "00400B", true, true},
        {342, 0x02, "00400C", true, false},
        {343, 0x80, "004020", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.byte) + "." + std::to_string(c.mask));
        const std::uint8_t ring = RingIndex();
        Set(c.byte, c.mask, true);
        Pass(b);
        auto events = NewEvents();
        if (*c.raised) EXPECT_EQ(events, std::vector<std::string>{c.raised});
        else EXPECT_TRUE(events.empty());
        EXPECT_EQ(Traps().size(), c.trap ? 1u : 0u);
        EXPECT_EQ(RingIndex(), static_cast<std::uint8_t>(ring + (c.record ? 1 : 0)));
        EXPECT_EQ(b.tOldAlarm[c.byte - 312] & c.mask, c.mask);  // the copy follows even when nothing is said
        Set(c.byte, c.mask, false);
        Pass(b);
        NewEvents();
        Traps();
    }
}

TEST_F(BastideTest, UnwatchedBitsNeverReportNorFollow) {
    Ocpp16();
    const std::pair<std::uint32_t, std::uint8_t> unwatched[] = {
        {313, 0x40}, {313, 0x80}, {314, 0x10}, {319, 0x01}, {319, 0x02}, {319, 0x04}, {319, 0x08},
        {320, 0x01}, {321, 0x40}, {321, 0x80}, {324, 0x10}, {324, 0x20}, {324, 0x40}, {324, 0x80},
        {340, 0x01}, {342, 0x04}, {342, 0x80}, {343, 0x01}, {343, 0x04}, {343, 0x08}, {343, 0x10}};
    for (const auto& [byte, mask] : unwatched) Set(byte, mask, true);
    for (std::uint32_t byte = 325; byte <= 338; ++byte) M(byte) = 0xFF;
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
    EXPECT_TRUE(Traps().empty());
    EXPECT_EQ(RingIndex(), 0);
    for (const auto& [byte, mask] : unwatched) EXPECT_EQ(b.tOldAlarm[byte - 312] & mask, 0) << byte;
}

TEST_F(BastideTest, BitsSetAtStartAreReportedOnceAndAQuickBlinkNever) {
    Set(313, 0x01, true);
    Set(339, 0x02, true);
    Pass(b);
    EXPECT_EQ(NewEvents(), (std::vector<std::string>{"007001", "006001"}));
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
    Set(318, 0x01, true);  // set and cleared again between two passes
    Set(318, 0x01, false);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
}

TEST_F(BastideTest, Ocpp16RecordsGoToTheRingAndWrapAfterSlot255) {
    Ocpp16();
    bridge.status = 7;
    app->statusRingWriteIndex = 255;
    Set(312, 0x10, true);
    Pass(b);
    EXPECT_EQ(RingIndex(), 0);
    const fennick::CpStatus& s = Slot(255);
    EXPECT_EQ(s.connectorId, 0);
    EXPECT_EQ(s.errorCode, 7);
    EXPECT_STREQ(s.info, "00500D");
    EXPECT_EQ(s.status, 7);
    EXPECT_STREQ(s.timestamp, "2021-03-04T05:06:07Z");
    EXPECT_STREQ(s.vendorId, "Vanto Electronics");
    EXPECT_STREQ(s.vendorErrorCode, "00500D");
    Set(312, 0x10, false);
    Pass(b);
    EXPECT_EQ(RingIndex(), 1);
    EXPECT_EQ(Slot(0).errorCode, 6);
    EXPECT_STREQ(Slot(0).info, "10500D");
}

TEST_F(BastideTest, GroundFaultRecordsKeepTheConnectorOfTheRaise) {
    Ocpp16();
    bridge.status = 0;
    M(SHRMEM_ACTIVE_CONNECTOR.offset) = 1;
    Set(314, 0x80, true);  // a pre-warning seen first while already set at start gives connector 1
    Pass(b);
    M(SHRMEM_ACTIVE_CONNECTOR.offset) = 2;
    Set(315, 0x80, true);
    Pass(b);
    M(SHRMEM_ACTIVE_CONNECTOR.offset) = 1;
    Set(315, 0x80, false);
    Pass(b);
    EXPECT_EQ(Record(0), "1 7 009003 0");
    EXPECT_EQ(Record(1), "2 2 009001 8");  // ground failure, faulted
    EXPECT_EQ(Record(2), "2 6 109001 0");  // the connector of the raise
}

TEST_F(BastideTest, GroundFaultClearWithoutRaiseSinceStartNamesTheChargePoint) {
    Ocpp16();
    b.tOldAlarm[2] = 0x80;  // remembered as set, never raised in this run
    M(SHRMEM_ACTIVE_CONNECTOR.offset) = 2;
    Pass(b);
    EXPECT_STREQ(Slot(0).info, "109003");
    EXPECT_EQ(Slot(0).connectorId, 0);
}

TEST_F(BastideTest, EmergencyButtonWaitsForAChargeStepAndFaultsTheChargePoint) {
    Ocpp16();
    bridge.status = 0;
    Set(316, 0x10, true);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
    M(SHRMEM_CHARGE_STEP.offset) = 3;
    Pass(b);
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"00400A"});
    EXPECT_EQ(Slot(0).status, 8);
    EXPECT_EQ(Slot(0).errorCode, 7);
    Set(316, 0x10, false);
    Pass(b);
    EXPECT_EQ(Slot(1).status, 0);
}

TEST_F(BastideTest, SmrInputUvpIsDebouncedOnTheMonotonicClock) {
    Set(316, 0x08, true);
    Pass(b);
    clock.Advance(3000);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());  // 3 s are not yet more than 3 s
    clock.Advance(1000);
    Pass(b);
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"007003"});

    // Gone again within 3 s, also right after a report: never reported.
    Set(316, 0x08, false);
    Pass(b);
    clock.Advance(2000);
    Set(316, 0x08, true);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());

    // Held 5 s under a GFD alarm: reported in the first pass after it clears.
    Set(315, 0x80, true);
    Set(316, 0x08, false);
    Pass(b);
    NewEvents();
    for (int i = 0; i < 5; ++i) {
        clock.Advance(1000);
        Pass(b);
    }
    EXPECT_TRUE(NewEvents().empty());
    Set(315, 0x80, false);
    Pass(b);
    EXPECT_EQ(NewEvents(), (std::vector<std::string>{"109001", "107003"}));
}

TEST_F(BastideTest, ModemAlarmIsIgnoredOnTheProductModel) {
    b.map.set(SHRMEM_MODEL_NAME, "VDCQ50-CC");
    Set(339, 0x01, true);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
    EXPECT_EQ(b.tOldAlarm[27] & 0x01, 0);
    b.map.set(SHRMEM_MODEL_NAME, "DC50-CC");
    Pass(b);
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"00500E"});
}

TEST_F(BastideTest, ForceBitsOfTheChademoRowsRaiseOnceThenClear) {
    struct Case {
        std::uint32_t forceByte;
        std::uint8_t forceMask;
        const char* code;
    } cases[] = {
        {21526, 0x01, "D001"}, {21526, 0x02, "D003"}, {21526, 0x04, "D004"}, {21526, 0x08, "D005"},
        {21526, 0x10, "D006"}, {21526, 0x20, "D007"}, {21526, 0x40, "D008"}, {21526, 0x80, "D009"},
        {21527, 0x01, "D00A"}, {21527, 0x02, "D00B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        Set(c.forceByte, c.forceMask, true);
        Pass(b);
        EXPECT_EQ(NewEvents(), std::vector<std::string>{std::string("00") + c.code});
        EXPECT_EQ(M(c.forceByte) & c.forceMask, 0);
        Pass(b);
        EXPECT_EQ(NewEvents(), std::vector<std::string>{std::string("10") + c.code});
        Pass(b);
        EXPECT_TRUE(NewEvents().empty());
    }
}

TEST_F(BastideTest, ForceBitOfAnAlarmAlreadyReportedIsDroppedSilently) {
    Set(340, 0x20, true);
    Pass(b);
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"00D001"});
    Set(21526, 0x01, true);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
    EXPECT_EQ(M(21526), 0);
}

TEST_F(BastideTest, ChademoAlarmsAreReportedOnePerPassInPriorityOrder) {
    struct Step {
        std::uint32_t byte;
        std::uint8_t bits;
    };
    struct Case {
        const char* name;
        std::vector<Step> set;
        std::vector<std::vector<std::string>> passes;  // events per pass
    } cases[] = {
        {"voltage before CAN start", {{21517, 0x01}, {21518, 0x01}}, {{"00D00D"}, {"00D00F"}, {}}},
        {"insulation current before vehicle voltage", {{21517, 0x04}, {21519, 0x10}}, {{"00D018"}, {"00D019"}, {}}},
        {"bit without alarm", {{21520, 0x01}}, {{}, {}}},
        {"forced while clear", {{21524, 0x01}}, {{"00D00F"}, {"10D00F"}, {}}},
        {"force bit without alarm stays", {{21523, 0x40}}, {{}, {}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::fill(mapBytes.begin() + 21517, mapBytes.begin() + 21529, 0);
        std::fill(std::begin(b.trapDataOld), std::end(b.trapDataOld), 0);
        for (const auto& s : c.set) M(s.byte) = s.bits;
        for (const auto& expected : c.passes) {
            Pass(b);
            EXPECT_EQ(NewEvents(), expected);
        }
        EXPECT_TRUE(Traps().empty());
    }
    EXPECT_EQ(M(21523), 0x40);
    EXPECT_EQ(b.trapDataOld[3], 0);  // the 21520 bit was taken over, then cleared by the fill
}

TEST_F(BastideTest, ChademoForceBitOfAReportedAlarmIsDropped) {
    M(21518) = 0x01;
    Pass(b);
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"00D00F"});
    M(21524) = 0x01;
    EXPECT_EQ(checkAlarmMem(b), 0);
    EXPECT_EQ(M(21524), 0);
    Pass(b);
    EXPECT_TRUE(NewEvents().empty());
}

TEST_F(BastideTest, ChademoRecordsCarryTheirCode) {
    Ocpp16();
    bridge.status = 8;
    M(21517) = 0x02;
    Pass(b);
    EXPECT_STREQ(Slot(0).info, "00D00E");
    EXPECT_STREQ(Slot(0).vendorErrorCode, "00D00E");
    EXPECT_EQ(Slot(0).errorCode, 7);
    EXPECT_EQ(Slot(0).status, 8);
    M(21517) = 0;
    Pass(b);
    EXPECT_EQ(Slot(1).errorCode, 6);

    // OCPP 1.5: errorCode 12 for the clear too.
    Ocpp15(true);
    M(21517) = 0x02;
    Pass(b);
    AgentTakes();
    M(21517) = 0;
    Pass(b);
    EXPECT_EQ(b.map.get(OCPP15_STS_ERROR_CODE), 12);
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "10D00E");
    EXPECT_EQ(b.map.get(OCPP15_STS_VENDOR_ERROR), "10D00E");
}

TEST_F(BastideTest, EventBlocksGiveLinesAndRecordsButNoTrap) {
    Ocpp16();
    M(21529) = 0x10 | 0x40;  // entry 4 and entry 6 (no code)
    M(21533) = 0x01;
    M(21539) = 0x02;         // DIN entry 49
    Pass(b);
    EXPECT_EQ(NewEvents(), (std::vector<std::string>{"00A013", "00C100", "00C301"}));
    EXPECT_TRUE(Traps().empty());
    ASSERT_EQ(RingIndex(), 3);
    EXPECT_EQ(Slot(0).errorCode, 7);
    EXPECT_STREQ(Slot(0).info, "00A013");
    EXPECT_STREQ(Slot(0).vendorErrorCode, "00A013");
    M(21529) = 0;
    Pass(b);
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"10A013"});
    EXPECT_EQ(Slot(3).errorCode, 6);

    Ocpp15(true);
    M(21529) = 0x10;
    Pass(b);
    EXPECT_EQ(b.map.get(OCPP15_STS_ERROR_CODE), 12);
    AgentTakes();
    M(21529) = 0;
    Pass(b);
    EXPECT_EQ(b.map.get(OCPP15_STS_ERROR_CODE), 3);
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "10A013");
}

TEST_F(BastideTest, Ocpp15RecordFillsTheSlotAndSetsItsRequestBit) {
    Ocpp15(true);
    bridge.status = 2;
    Set(312, 0x10, true);
    Pass(b);
    ASSERT_TRUE(Ocpp15Pending());
    EXPECT_EQ(b.map.get(OCPP15_STS_CONNECTOR), 0);
    EXPECT_EQ(b.map.get(OCPP15_STS_STATUS), 2);
    EXPECT_EQ(b.map.get(OCPP15_STS_ERROR_CODE), 12);
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "RFID reader error");
    EXPECT_EQ(b.map.get(OCPP15_STS_TIMESTAMP), UtcSeconds(2021, 3, 4, 5, 6, 7));
    EXPECT_EQ(b.map.get(OCPP15_STS_VENDOR_ERROR), "1.3.6.1.4.1.4291.1.8.5.0.10(1)");
    EXPECT_EQ(RingIndex(), 0);

    struct Case {
        std::uint32_t byte;
        std::uint8_t mask;
        const char* info;
        const char* vendor;
    } cases[] = {
        {315, 0x10, "Smr Fan broken ", "1.3.6.1.4.1.4291.1.8.5.3.10(1)"},
        {320, 0x02, "CcsStopByEV ", "1.3.6.1.4.1.4291.1.8.5.30.10(1)"},
        {342, 0x01, "SystemAuthByBackendPnCFail ", ".1.3.6.1.4.1.4291.1.8.5.30.1(1)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info);
        AgentTakes();
        Set(c.byte, c.mask, true);
        Pass(b);
        EXPECT_EQ(b.map.get(OCPP15_STS_INFO), c.info);
        EXPECT_EQ(b.map.get(OCPP15_STS_VENDOR_ERROR), c.vendor);
    }
}

TEST_F(BastideTest, Ocpp15RecordsWaitForTheSlotAndForTheCentralSystem) {
    Ocpp15(true);
    Set(312, 0x10, true);
    Pass(b);
    Set(312, 0x10, false);  // the raise is not sent yet: the clear must not replace it
    Pass(b);
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "RFID reader error");
    AgentTakes();
    Pass(b);
    EXPECT_TRUE(Ocpp15Pending());
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "RFID reader error recovered");
    EXPECT_EQ(b.map.get(OCPP15_STS_VENDOR_ERROR), "1.3.6.1.4.1.4291.1.8.5.0.10(0)");
    EXPECT_EQ(b.map.get(OCPP15_STS_ERROR_CODE), 12);

    // Offline: the record waits for the central system, never in the 1.6 ring.
    AgentTakes();
    Set(SHRMEM_OCPP15_CS_REQUEST2.offset, 0x80, false);
    M(SHRMEM_OCPP_MODE.offset) = 1;
    Set(312, 0x20, true);
    Pass(b);
    Pass(b);
    EXPECT_FALSE(Ocpp15Pending());
    EXPECT_EQ(RingIndex(), 0);
    Set(SHRMEM_OCPP15_CS_REQUEST2.offset, 0x80, true);
    Pass(b);
    EXPECT_TRUE(Ocpp15Pending());
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "Quorzel communication error");
}

TEST_F(BastideTest, Ocpp15QueueIsBoundedAndDropsTheOldest) {
    Ocpp15(false);
    for (std::size_t i = 0; i < kOcpp15QueueLimit + 1; ++i) {
        Set(312, 0x10, i % 2 == 0);
        Pass(b);
    }
    EXPECT_EQ(b.ocpp15Queue.size(), kOcpp15QueueLimit);
    EXPECT_NE(SystemLog().find("the oldest is dropped"), std::string::npos);
    Set(SHRMEM_OCPP15_CS_REQUEST2.offset, 0x80, true);
    Pass(b);
    // The first raise went; the clear after it leads the queue.
    EXPECT_EQ(b.map.get(OCPP15_STS_INFO), "RFID reader error recovered");
}

TEST_F(BastideTest, NoRecordWithoutOcppOrWithAnUnknownMode) {
    struct Case {
        const char* name;
        std::uint8_t enable;
        const char* url;
        std::uint8_t mode;
    } cases[] = {
        {"disabled", 0, "ws://cs", 2}, {"no URL", 1, "", 2}, {"mode 4", 1, "ws://cs", 4}, {"mode 200", 1, "ws://cs", 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        M(SHRMEM_OCPP_ENABLE.offset) = c.enable;
        b.map.set(SHRMEM_OCPP_URL, c.url);
        M(SHRMEM_OCPP_MODE.offset) = c.mode;
        Set(SHRMEM_OCPP15_CS_REQUEST2.offset, 0x80, true);
        M(312) ^= 0x10;
        Pass(b);
        EXPECT_EQ(NewEvents().size(), 1u);
        EXPECT_EQ(Traps().size(), 1u);
        EXPECT_EQ(RingIndex(), 0);
        EXPECT_FALSE(Ocpp15Pending());
        EXPECT_TRUE(bridge.calls.empty());
    }
}

TEST_F(BastideTest, ManagersRunForTheSelectedVersionAndTheirStatusIsKept) {
    Ocpp16();
    bridge.status = 8;
    Pass(b);
    EXPECT_EQ(bridge.calls, (std::vector<std::string>{"FennickStsMgmt", "FennickMeterValMgmt",
                                                      "sync_OCPP16Conf_with_SysConf", "Local_update_OCPP16Conf",
                                                      "FennickCmdMgmt", "FennickUpdateLimit"}));
    bridge.calls.clear();
    M(mainb::SHRMEM_SYSTEM_READY.offset) = 0;
    bridge.status = 0;
    Set(312, 0x10, true);
    Pass(b);
    EXPECT_TRUE(bridge.calls.empty());
    EXPECT_EQ(Slot(0).status, 8);  // the status of the last pass a manager ran in

    M(SHRMEM_OCPP_MODE.offset) = 1;
    Pass(b);
    EXPECT_EQ(bridge.calls, (std::vector<std::string>{"OCPP15SStsMgmt", "OCPP15SCmdMgmt"}));
}

TEST_F(BastideTest, StartUpClearsForceBytesAndFlagsAMissingApplicationSegment) {
    for (std::uint32_t i = 21523; i <= 21528; ++i) M(i) = 0xFF;
    b.app = nullptr;
    StartUp(b);
    for (std::uint32_t i = 21523; i <= 21528; ++i) EXPECT_EQ(M(i), 0) << i;
    EXPECT_EQ(M(343) & 0x40, 0x40);
    Ocpp16();
    Pass(b);  // no segment: the managers do not run and no ring is written
    EXPECT_EQ(NewEvents(), std::vector<std::string>{"004009"});
    EXPECT_TRUE(bridge.calls.empty());
}

// The "Z" promises UTC: a station set to another zone writes the same text.
TEST(EpochToUTC, UtcWhateverTheLocalZone) {
    for (const char* zone : {"UTC", "Asia/Tokyo", "America/St_Johns"}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(EpochToUTC(0), "1970-01-01T00:00:00Z") << zone;
        EXPECT_EQ(EpochToUTC(UtcSeconds(2026, 12, 11, 10, 9, 39)), "2026-12-11T10:09:39Z") << zone;
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace
