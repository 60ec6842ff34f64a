#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "clock.h"
#include "din_errors.h"
#include "log_reader.h"
#include "regmap_fields.h"
#include "testroot.h"

using namespace boardlink;
using namespace regmap;

namespace {

class DinTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.Make("/Storage/SystemLog");
        mem[110] = 2;     // the CCS outlet
        mem[21562] = 3;   // an active charging step
        st = DinErrorState{};
    }
    std::string Log() const { return ReadSystemLog(root.path()); }
    int Lines() const { return Count(Log(), "\n"); }
    void Status(std::uint32_t w) { map.set(SHRMEM_CCS_PLC_STATUS, w); }
    void Pass() { DIN_ErrHandling(map, st); }
    std::vector<unsigned> RaisedEntries() const {
        std::vector<unsigned> r;
        for (unsigned e = 0; e < 88; ++e) if (DinBit(map, e)) r.push_back(e);
        return r;
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
    DinErrorState st;
};

const char* kTail = "SMR AvailPwr:0W, SMR AvailCurr:0A, Vcmd:0V, Icmd:0.0A, Vout:0V, Iout:0A, EVSEPwrLimit:0kW, EVSECurrLimit:0A";

TEST_F(DinTest, SlacErrorIsRaisedOnce) {
    Status(0x010000FF);
    mem[21533] = 0;
    Pass();
    Pass();
    EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{0});
    EXPECT_EQ(Count(Log(), " - [Scrivet][1741] SLAC No PLC data(0x010000FF); Phase:DIN_SLAC, SLAC:0x0000, Error:V2G_Error\n"), 1)
        << Log();
}

TEST_F(DinTest, CommunicationErrorsByPhaseAndStep) {
    const struct {
        std::uint32_t status;
        unsigned entry;
        const char* line;
    } cases[] = {
        {0x01030100 | 0x10, 1, "[Scrivet][1723] SLAC error(0x01030110); Phase:DIN_SLAC, SLAC:0x0301, Error:Unknown"},
        {0x030000FC, 2, "[Scrivet][1763] SDP error(0x030000FC); Phase:DIN_SECC, Error:V2G_SEQUENCE_ERROR"},
        {0x050000FF, 3, "[Scrivet][1783] TCP error(0x050000FF); Phase:DIN_TCPWaitConnection, Error:V2G_Error"},
        {0x060400FE, 9, "[Scrivet][1845] V2G error(0x060400FE); Phase:DIN_V2GCommunication, V2G:ContractAuth, Error:V2G_SEQUENCE_TIME_OUT"},
        {0x060500FD, 8, "[Scrivet][1856] V2G error(0x060500FD); Phase:DIN_V2GCommunication, V2G:ServicePaySelect, Error:V2G_PERFORMANCE_TIME_OUT"},
        {0x060C00FF, 16, "[Scrivet][1933] V2G error(0x060C00FF); Phase:DIN_V2GCommunication, V2G:SessionStop, Error:V2G_Error"},
    };
    for (const auto& c : cases) {
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        Status(c.status);
        CheckDINCommError(map);
        EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{c.entry}) << c.line;
        EXPECT_EQ(Count(Log(), std::string(" - ") + c.line + "\n"), 1) << Log();
    }
    // Every V2G step 0..12 has its own bit; later steps, result 0 and phases 0 or 7+ none.
    const unsigned stepEntries[13] = {4, 5, 6, 7, 9, 8, 10, 11, 12, 13, 14, 15, 16};
    for (unsigned step = 0; step <= 13; ++step) {
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        Status(0x060000FF | step << 16);
        CheckDINCommError(map);
        EXPECT_EQ(RaisedEntries(), step <= 12 ? std::vector<unsigned>{stepEntries[step]} : std::vector<unsigned>{}) << step;
    }
    for (std::uint32_t w : {0x06040000u, 0x000000FFu, 0x070000FFu, 0x0B0000FFu}) {
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        Status(w);
        CheckDINCommError(map);
        EXPECT_TRUE(RaisedEntries().empty()) << std::hex << w;
    }
}

TEST_F(DinTest, AnEventBitClosesTheGateOfTheSessionChecks) {
    Status(0x060A00FF);
    Pass();
    ASSERT_EQ(RaisedEntries(), std::vector<unsigned>{14});
    EXPECT_EQ(IsDINCommAlarm(map), 1);
    const int before = Lines();
    mem[2160] = 1;  // pilot A would otherwise be raised
    Pass();
    EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{14});
    EXPECT_EQ(Lines(), before);

    // Entries without a code, or of level 3, do not close it.
    std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
    RaiseDinBit(map, 73);
    RaiseDinBit(map, 40);
    EXPECT_EQ(IsDINCommAlarm(map), 0);
}

TEST_F(DinTest, ReadyToChargeTimeout) {
    Status(0x06080000);   // PreCharge, ReadyToCharge 0
    Pass();               // the wait starts with the program, not at 0
    EXPECT_TRUE(RaisedEntries().empty());
    clock.Advance(179000);
    clock.SetWallSeconds(clock.WallSeconds() + 86400);  // a calendar jump is no waiting
    Pass();
    EXPECT_TRUE(RaisedEntries().empty());
    clock.Advance(1000);
    Pass();
    EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{26});
    EXPECT_EQ(Count(Log(), std::string(" - [Scrivet][2001][EVSE] Timeout error - ReadyToCharge(0x06080000); Pilot state:Unknown(0), ") +
                               kTail + "\n"), 1) << Log();
    clock.Advance(300000);
    Pass();
    EXPECT_EQ(Lines(), 1);
}

TEST_F(DinTest, ReadyToChargeAndGateRestartTheWait) {
    Status(0x06080000);
    Pass();
    clock.Advance(170000);
    mem[2189] = 1;
    Pass();
    mem[2189] = 0;
    clock.Advance(170000);
    Pass();
    mem[21562] = 6;  // not an active step: the wait restarts
    clock.Advance(100000);
    Pass();
    mem[21562] = 3;
    clock.Advance(100000);
    Pass();
    EXPECT_TRUE(RaisedEntries().empty());
}

// Runs a session into the V2G phase at `prevStep`, then ends it with `endStatus`.
class DinStopTest : public DinTest {
protected:
    void Session(std::uint8_t prevStep, std::uint32_t endStatus) {
        mem[2189] = 1;
        Status(0x06000000 | prevStep << 16);
        Pass();
        Pass();
        mem[2189] = 0;
        Status(endStatus);
        Pass();
    }
};

TEST_F(DinStopTest, VehicleErrorCodes) {
    const struct {
        std::uint8_t code;
        unsigned entry;
        const char* line;
    } cases[] = {
        {1, 48, "[Scrivet][2072][EV] FAILED_RESSTemperatureInhibit(0x060C0000); "},
        {2, 49, "[Scrivet][2092][EV] FAILED_EVShiftPosition(0x060C0000)\n"},
        {10, 57, "[Scrivet][2241][EV] FAILED_ChargingSystemIncompatibility(0x060C0000); "},
        {11, 58, "[Scrivet][2261][EV] FAILED_NoData(0x060C0000)\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        mem[2164] = c.code;
        Session(10, 0x060C0000);
        EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{c.entry}) << int(c.code);
        EXPECT_EQ(Count(Log(), c.line), 1) << Log();
    }
}

TEST_F(DinStopTest, StopsByThePreviousStep) {
    const struct {
        std::uint8_t prev;
        std::uint32_t end;
        std::uint8_t chargingComplete, bulkComplete;
        unsigned entry;
        const char* line;
    } cases[] = {
        {1, 0x060B0000, 0, 0, 59, "[Scrivet][2288][EV] Stop charging at supportedAppProtocol(0x060B0000); "},
        {4, 0x0A000000, 0, 0, 63, "[Scrivet][2368][EV] Stop charging at ContractAuthentication(0x0A000000); "},
        {5, 0x06150000, 0, 0, 62, "[Scrivet][2348][EV] Stop charging at ServicePaymentSelection(0x06150000); "},
        {8, 0x060C0000, 0, 0, 66, "[Scrivet][2430][EV] Stop charging at PreCharge(0x060C0000); "},
        {10, 0x06090000, 1, 0, 69, "[Scrivet][2454][EV] Stop charging at CurrentDemand by PowerDelivery(ChargingComplete)(0x06090000)\n"},
        {10, 0x06090000, 0, 1, 68, "[Scrivet][2470][EV] Stop charging at CurrentDemand by PowerDelivery(BulkChargingComplete)(0x06090000)\n"},
        {10, 0x06090000, 0, 0, 67, "[Scrivet][2486][EV] Stop charging at CurrentDemand(0x06090000); "},
        {10, 0x060B0000, 0, 0, 67, "[Scrivet][2505][EV] Stop charging at CurrentDemand(0x060B0000); "},
    };
    for (const auto& c : cases) {
        SetUp();
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        mem[2191] = c.chargingComplete;
        mem[2190] = c.bulkComplete;
        Session(c.prev, c.end);
        EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{c.entry}) << c.line;
        EXPECT_EQ(Count(Log(), c.line), 1) << c.line << "\n" << Log();
    }
}

TEST_F(DinStopTest, StopAfterPowerDeliveryLeavesItToThePilotCheck) {
    // The pilot drops to A as the session ends: after PowerDelivery (no stop
    // row) the pilot check reports it; after PreCharge the stop row does.
    const struct {
        std::uint8_t prev;
        unsigned entry;
    } cases[] = {{9, 70}, {8, 66}};
    for (const auto& c : cases) {
        SetUp();
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        mem[2160] = 4;
        mem[2189] = 1;
        Status(0x06000000 | c.prev << 16);
        Pass();
        Pass();
        mem[2160] = 1;
        Status(0x060C0000);
        Pass();
        EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{c.entry}) << int(c.prev);
    }
    EXPECT_EQ(Count(Log(), " - [Scrivet][2543][EV] Stop charging by pilot A(0x060C0000); Pilot state:A1(1)\n"), 1) << Log();
}

TEST_F(DinStopTest, CableCheckStopIsSilentWithAGfdAlarm) {
    mem[315] = 0x80;
    mem[2160] = 1;     // would raise pilot A if the pilot check ran
    mem[2189] = 1;
    Status(0x06070000);
    Pass();
    ASSERT_EQ(RaisedEntries(), std::vector<unsigned>{70}) << "pilot A while the session runs";
    std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
    Status(0x060C0000);
    Pass();
    EXPECT_TRUE(RaisedEntries().empty());
}

TEST_F(DinStopTest, PilotRows) {
    const struct {
        std::uint8_t pilot, step;
        std::vector<unsigned> entries;
    } cases[] = {
        {2, 2, {}}, {3, 2, {}}, {2, 3, {71}}, {3, 5, {71}}, {6, 4, {72}}, {7, 4, {}}, {4, 4, {}},
    };
    for (const auto& c : cases) {
        std::fill(mem.begin() + 21533, mem.begin() + 21544, 0);
        mem[2160] = c.pilot;
        mem[21562] = c.step;
        Status(0x01000000);
        Pass();
        EXPECT_EQ(RaisedEntries(), c.entries) << int(c.pilot) << " in step " << int(c.step);
    }
    EXPECT_EQ(Count(Log(), std::string(" - [Scrivet][2565][EV] Stop charging by pilot B(0x01000000); Pilot state:B1(2), ") + kTail + "\n"), 1)
        << Log();
    EXPECT_EQ(Count(Log(), " - [Scrivet][2586][EV] Stop charging by pilot E, F or error(0x01000000); Pilot state:E(6), "), 1);
}

TEST_F(DinTest, ProximityDisconnectionComesBeforeTheCommunicationCheck) {
    mem[517] = 2;
    mem[2202] = 1;
    mem[2160] = 4;
    Status(0x010000FF);
    Pass();
    EXPECT_TRUE(map.get(ALARM_CCS_PROXIMITY_DISCONNECT));
    EXPECT_TRUE(RaisedEntries().empty()) << "no communication error in the same pass";
    EXPECT_EQ(Count(Log(), " - [Scrivet][1676][EV] CCS proximity disconnected; Proximity:1, Pilot state:C(4)\n"), 1) << Log();
    Pass();
    EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{0}) << "once the bit is set, the check runs";
}

TEST_F(DinTest, EvseSideConditions) {
    mem[21562] = 5;
    mem[21568] = 0x06;
    map.set(SHRMEM_CCS_EV_MAX_VOLTAGE, 450);
    Pass();
    Pass();
    EXPECT_EQ(RaisedEntries(), std::vector<unsigned>{73});
    EXPECT_EQ(Count(Log(), std::string(" - [Scrivet][2645][EVSE] Target command Volt over range; ") + kTail + ", EVSEVoltLimit:500V\n"), 1) << Log();
    EXPECT_EQ(Count(Log(), std::string(" - [Scrivet][2658][EVSE] Target command Curr over range; ") + kTail + ", EVSEVoltLimit:500V\n"), 1);

    mem[21568] = 0x01;
    Pass();
    mem[21568] = 0;
    Pass();
    mem[21568] = 0x01;
    Pass();
    EXPECT_EQ(Count(Log(), " - [Scrivet][2677][EVSE] EVSE Minimum voltage limit over EV Max voltage limit; EvseMinVoltLimit:200V, "
                           "EvMaxVoltageLimit:450V\n"), 2);
}

TEST_F(DinTest, PilotLineBrokenFollowsBothWaysAndLogsTheRise) {
    mem[110] = 1;       // runs whatever the outlet
    mem[2160] = 6;
    mem[21568] = 0x10;
    Pass();
    EXPECT_TRUE(map.get(SYSEVT_CCS_PILOT_BROKEN));
    mem[21568] = 0;
    Pass();
    EXPECT_FALSE(map.get(SYSEVT_CCS_PILOT_BROKEN));
    EXPECT_EQ(Lines(), 1);
    EXPECT_EQ(Count(Log(), " - [Scrivet][2696][EVSE] CCS pilot line broken; Pilot state:6\n"), 1);
}

}  // namespace
