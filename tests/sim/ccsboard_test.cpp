// The CCS board's stand-in against a status block the test plays the session
// into: authorisation and isolation times to the millisecond, the output
// following the vehicle's targets within the station's limits, the fall after
// a stop, and the main board's side following the set-point mailbox.
#include <gtest/gtest.h>

#include <vector>

#include "ccs_board.h"
#include "regmap_fields.h"
#include "regmap_power.h"

namespace {

using namespace regmap;

struct Rig {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{bytes.data()};
    ccsboard::StandIn standIn;
    std::int64_t now = 0;
    explicit Rig(ccsboard::Options o = {}) : standIn(map, o) { standIn.Start(); }
    void AtStep(std::uint8_t step) { map.set(SHRMEM_CCS_PLC_STATUS, 0x06000000u | static_cast<std::uint32_t>(step) << 16); }
    std::string TickAt(std::int64_t t) {
        now = t;
        return standIn.Tick(t);
    }
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) TickAt(now + 50);
    }
    void Targets(std::uint16_t volts, std::uint8_t amps) {
        map.set(SHRMEM_CCS_EV_TARGET_VOLTAGE, volts);
        map.set(SHRMEM_CCS_EV_TARGET_CURRENT, amps);
    }
};

TEST(CcsBoardStandIn, AuthorisesAndTestsTheIsolationAfterTheirTimes) {
    struct Case {
        const char* what;
        std::uint8_t step;
        ccsboard::Options o;
        std::int64_t doneMs;
        std::uint8_t isolation;  // after the time
    } cases[] = {
        {"authorisation", 0x04, {}, 300, 0},
        {"isolation valid", 0x07, {}, 500, 1},
        {"isolation fault", 0x07, [] { ccsboard::Options o; o.isolationResult = 3; o.isolationMs = 800; return o; }(), 800, 3},
    };
    for (const Case& c : cases) {
        Rig r(c.o);
        r.AtStep(c.step);
        r.map.set(SHRMEM_CCS_EVSE_PROCESSING, 1);
        r.TickAt(1000);
        r.TickAt(1000 + c.doneMs - 1);
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PROCESSING), 1) << c.what;
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_ISOLATION), 0) << c.what;
        EXPECT_NE(r.TickAt(1000 + c.doneMs), "") << c.what;
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PROCESSING), 0) << c.what;
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_ISOLATION), c.isolation) << c.what;
    }
    // Before ContractAuthentication nothing is authorised.
    Rig early;
    early.AtStep(0x03);
    early.map.set(SHRMEM_CCS_EVSE_PROCESSING, 1);
    early.TickAt(0);
    early.TickAt(10000);
    EXPECT_EQ(early.map.get(SHRMEM_CCS_EVSE_PROCESSING), 1);
}

TEST(CcsBoardStandIn, OutputFollowsTheTargetsWithinTheStationsLimits) {
    struct Case {
        const char* what;
        std::uint8_t step, ready;
        std::uint16_t volts;
        std::uint8_t amps, maxAmps, maxKw;
        std::int32_t wantVolts, wantAmps;
    } cases[] = {
        {"precharge", 0x08, 0, 400, 2, 125, 50, 400, 2},
        {"charging", 0x0A, 1, 400, 100, 125, 50, 400, 100},
        {"current limit", 0x0A, 1, 400, 150, 125, 90, 400, 125},
        {"power limit 30 kW at 400 V", 0x0A, 1, 400, 100, 125, 30, 400, 75},
        {"PowerDelivery start", 0x09, 1, 380, 10, 125, 50, 380, 10},
        {"PowerDelivery stop", 0x09, 0, 380, 10, 125, 50, 0, 0},
        {"CableCheck: no output", 0x07, 1, 400, 100, 125, 50, 0, 0},
    };
    for (const Case& c : cases) {
        Rig r;
        r.AtStep(c.step);
        r.map.set(SHRMEM_CCS_EV_READY_TO_CHARGE, c.ready);
        r.map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, c.maxAmps);
        r.map.set(SHRMEM_CCS_EVSE_MAX_POWER, c.maxKw);
        r.Targets(c.volts, c.amps);
        r.Ticks(1);
        if (c.wantVolts > 0) {
            EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 50) << c.what;  // one step a tick
        }
        r.Ticks(20);
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), c.wantVolts) << c.what;
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT), c.wantAmps) << c.what;
        EXPECT_EQ(r.map.get(SHRMEM_SET_V1), c.wantVolts * 10) << c.what;
        EXPECT_EQ(r.map.get(SHRMEM_SET_I1), c.wantAmps * 10) << c.what;
    }
}

TEST(CcsBoardStandIn, StopBringsTheOutputDownWellWithinTheStopWait) {
    Rig r;
    r.AtStep(0x0A);
    r.map.set(SHRMEM_CCS_EV_READY_TO_CHARGE, 1);
    r.map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, 200);
    r.map.set(SHRMEM_CCS_EVSE_MAX_POWER, 255);
    r.Targets(500, 200);
    r.Ticks(20);
    ASSERT_EQ(r.standIn.present().amps, 200);
    r.AtStep(0x09);
    r.map.set(SHRMEM_CCS_EV_READY_TO_CHARGE, 0);
    r.map.set(SHRMEM_CCS_EV_CHARGING_COMPLETE, 1);
    int ticks = 0;
    while (r.map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT) > 5 || r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE) > 9) {
        r.Ticks(1);
        ASSERT_LT(++ticks, 30);
    }
    EXPECT_LE(ticks * 50, 500);
    EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0);
    EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 255);
}

TEST(CcsBoardStandIn, PresentValuesFromTheLinkAreLeftAlone) {
    ccsboard::Options o;
    o.presentFromLink = true;
    Rig r(o);
    r.AtStep(0x08);
    r.Targets(400, 2);
    r.map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, 125);
    r.map.set(SHRMEM_CCS_EVSE_MAX_POWER, 50);
    r.map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 123);
    r.Ticks(10);
    EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 123);
    EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 4000);
}

TEST(CcsBoardStandIn, MainBoardFollowsTheSetPointMailbox) {
    ccsboard::Options o;
    o.mainBoard = true;
    Rig r(o);
    r.map.set(SHRMEM_MAX_OUTPUT_POWER, 25);
    r.map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);
    r.Ticks(3);
    EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 0);  // nothing asked yet
    EXPECT_EQ(r.map.get(SHRMEM_AVAILABLE_POWER), 25000);
    EXPECT_EQ(r.map.get(SHRMEM_SMR_AVAIL_CURRENT), 125);
    r.map.set(SHRMEM_SET_V1, 4000);
    r.map.set(SHRMEM_SET_I1, 1000);
    r.map.set(SHRMEM_SET_PENDING, 255);
    EXPECT_EQ(r.TickAt(r.now + 50), "ccsboard: set-point 400 V 100 A");
    EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 0);
    r.Ticks(10);
    EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 400);
    EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT), 100);
    EXPECT_EQ(r.map.get(SHRMEM_GET_V1), 4000);
    EXPECT_EQ(r.map.get(SHRMEM_GET_I1), 1000);
    // 0 V switches the output off.
    r.map.set(SHRMEM_SET_V1, 0);
    r.map.set(SHRMEM_SET_PENDING, 255);
    r.Ticks(5);
    EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 0);
    EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT), 0);
}

TEST(CcsBoardStandIn, MainBoardAnswersTheGfdSelfTestAsADetector) {
    for (bool fails : {false, true}) {
        ccsboard::Options o;
        o.mainBoard = true;
        o.gfdFails = fails;
        o.gfdTestMs = 200;
        Rig r(o);
        r.Ticks(2);
        EXPECT_EQ(r.map.get(SHRMEM_GFD_SELFTEST), 0) << "nothing asked: nothing answered";
        for (int test = 0; test < 2; ++test) {  // every self-test, not only the first
            r.map.set(SHRMEM_GFD_SELFTEST, 0x80);
            r.TickAt(r.now + 50);
            r.TickAt(r.now + 199);
            EXPECT_EQ(r.map.get(SHRMEM_GFD_SELFTEST), 0x80) << "still testing";
            EXPECT_EQ(r.TickAt(r.now + 1), fails ? "ccsboard: GFD self-test failed" : "ccsboard: GFD self-test passed");
            EXPECT_EQ(r.map.get(SHRMEM_GFD_SELFTEST), fails ? 1 : 0);
        }
    }
}

}  // namespace
