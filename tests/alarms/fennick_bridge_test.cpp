#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bastide.h"
#include "clock.h"
#include "command.h"
#include "fennick_bridge.h"
#include "ocpp15_status.h"
#include "regmap_chademo.h"
#include "regmap_fields.h"
#include "testroot.h"
#include "utc_time.h"

namespace {

using namespace alarms;
using namespace regmap;
using Records = std::vector<std::string>;

// Bastide with the station's bridge on a register map and a FennickApp of its
// own; the OCPP 1.6J managers run, no limit is set.
class FennickBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/Events");
        root.Make("/Storage/SystemLog");
        clock.SetWallSeconds(UtcSeconds(2021, 3, 4, 5, 6, 7));
        b.map = RegisterMap(mapBytes.data(), kMapSize);
        b.app = app.get();
        b.bridge = &station;
        b.map.set(SHRMEM_SERIAL_NUMBER, "SN1");
        b.map.set(SHRMEM_OCPP_ENABLE, 1);
        b.map.set(SHRMEM_OCPP_URL, "ws://cs.example/ocpp");
        b.map.set(SHRMEM_OCPP_MODE, 2);
        b.map.set(mainb::SHRMEM_SYSTEM_READY, 1);
        NoLimit();
        StartUp(b);
    }
    void NoLimit() {
        b.map.set(SHRMEM_OCPP_CURRENT_LIMIT, -1);
        b.map.set(SHRMEM_OCPP_POWER_LIMIT, -1);
    }
    // "connectorId errorCode info status" of every record queued since the last call.
    Records New() {
        Records r;
        for (; seen != app->statusRingWriteIndex; ++seen) {
            const fennick::CpStatus& s = app->statusRing[seen];
            r.push_back(std::to_string(s.connectorId) + " " + std::to_string(s.errorCode) + " " + s.info + " " +
                        std::to_string(s.status));
        }
        return r;
    }
    std::uint8_t Sts() { return station.FennickStsMgmt(); }
    fennick::ConnectorRecord& Rec(int c) { return fennick::ConnectorRec(*app, c); }
    fennick::ConnectorMeterBlock& Meter(int c) { return fennick::MeterBlock(*app, c); }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> mapBytes = std::vector<std::uint8_t>(kMapSize);
    std::unique_ptr<fennick::FennickApp> app = std::make_unique<fennick::FennickApp>();
    Bastide b;
    StationBridge station{b.map, &b};
    std::uint8_t seen = 0;
};

TEST_F(FennickBridgeTest, FirstPassQueuesConnectorOneTwoThenTheChargePointAndThenNothing) {
    EXPECT_EQ(Sts(), 0);
    EXPECT_EQ(New(), (Records{"1 6 Available 0", "2 6 Available 0", "0 6 Available 0"}));
    for (int n = 0; n < 3; ++n) {
        const fennick::CpStatus& s = app->statusRing[n];
        EXPECT_STREQ(s.timestamp, "2021-03-04T05:06:07Z");
        EXPECT_STREQ(s.vendorId, "Vanto Electronics");
        EXPECT_STREQ(s.vendorErrorCode, "");
    }
    for (int n = 0; n < 3; ++n) Sts();
    EXPECT_TRUE(New().empty());
}

TEST_F(FennickBridgeTest, ChargeOnConnectorOneFromPlugToUnplug) {
    Sts();
    New();
    b.map.set(SHRMEM_ACTIVE_CONNECTOR, 1);
    std::strcpy(Rec(1).idTag, "ABC123");
    struct Step {
        const char* what;
        std::function<void()> act;
        Records expect;
    };
    const std::vector<Step> steps = {
        {"plugged", [&] { b.map.set(mainb::SHRMEM_PLUG_IN, 1); }, {"1 6 Preparing 1"}},
        {"preparing", [&] { b.map.set(SHRMEM_CHARGER_STATE, 16); }, {}},
        {"charging", [&] { b.map.set(SHRMEM_CHARGER_STATE, 1); }, {"1 6 Wait EV to start charging 4"}},
        {"no transaction yet", [] {}, {}},
        {"transaction runs", [&] { Rec(1).txnRunning = 1; }, {}},
        {"999 ms later", [&] { clock.Advance(999); }, {}},
        {"1 s later", [&] { clock.Advance(1); }, {}},
        {"next pass", [] {}, {"1 6 Charging 2", "2 6 Unavailable 7"}},
        {"current limit 0", [&] { b.map.set(SHRMEM_OCPP_CURRENT_LIMIT, 0); }, {"1 6 Suspended by smart charging 3"}},
        {"limit lifted", [&] { NoLimit(); }, {"1 6 Charging 2"}},
        {"power limit 0", [&] { b.map.set(SHRMEM_OCPP_POWER_LIMIT, 0); }, {"1 6 Suspended by smart charging 3"}},
        {"limit lifted again", [&] { NoLimit(); }, {"1 6 Charging 2"}},
        {"EV stops",
         [&] {
             b.map.set(SHRMEM_CHARGER_STATE, 32);
             b.map.set(mainb::SHRMEM_CHARGE_END, 1);
             mapBytes[21541] = 0x10;
         },
         {"1 6 Suspended by EV 4"}},
        {"idTag still held", [] {}, {}},
        {"idTag cleared", [&] { Rec(1).idTag[0] = '\0'; }, {"1 6 Finishing 5"}},
        {"unplugged",
         [&] {
             b.map.set(SHRMEM_CHARGER_STATE, 0);
             b.map.set(mainb::SHRMEM_PLUG_IN, 0);
         },
         {"1 6 Available 0", "2 6 Available 0"}},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(Sts(), 0) << step.what;
        EXPECT_EQ(New(), step.expect) << step.what;
    }
}

TEST_F(FennickBridgeTest, FinishingWithoutAnEvSideStopGoesStraightToFinishing) {
    struct Case {
        const char* name;
        std::uint32_t byte;
        std::uint8_t bit;
        const char* first;
    };
    const Case cases[] = {
        {"no stop event", 21541, 0x00, "2 6 Finishing 5"},
        {"00C315", 21541, 0x20, "2 6 Suspended by EV 4"},
        {"00C317", 21541, 0x80, "2 6 Suspended by EV 4"},
        {"00C316 is no stop", 21541, 0x40, "2 6 Finishing 5"},
        {"shift position", 341, 0x20, "2 6 Suspended by EV 4"},
        {"no permission", 340, 0x20, "2 6 Suspended by EV 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FennickBridge fresh(&b);
        mapBytes[21541] = mapBytes[340] = mapBytes[341] = 0;
        b.map.set(SHRMEM_ACTIVE_CONNECTOR, 2);
        b.map.set(SHRMEM_CHARGER_STATE, 1);
        Rec(2).txnRunning = 1;
        fresh.FennickStsMgmt();  // Wait EV to start charging
        fresh.FennickStsMgmt();
        clock.Advance(FennickBridge::kChargingDelayMs);
        fresh.FennickStsMgmt();
        fresh.FennickStsMgmt();  // Charging
        New();
        b.map.set(SHRMEM_CHARGER_STATE, 32);
        fresh.FennickStsMgmt();  // no charge end yet: nothing
        EXPECT_TRUE(New().empty());
        b.map.set(mainb::SHRMEM_CHARGE_END, 1);
        mapBytes[c.byte] = c.bit;
        fresh.FennickStsMgmt();
        EXPECT_EQ(New(), Records{c.first});
        b.map.set(mainb::SHRMEM_CHARGE_END, 0);
        b.map.set(SHRMEM_CHARGER_STATE, 0);
        Rec(2).txnRunning = 0;
    }
}

TEST_F(FennickBridgeTest, StationConditionsOverrideEveryConnector) {
    struct Case {
        const char* name;
        std::function<void()> set;
        std::uint8_t cp;
        Records expect;
    };
    const Records unavailable = {"1 6 Unavailable 7", "2 6 Unavailable 7", "0 6 Unavailable 7"};
    const Records faulted = {"1 7 Other Errors 8", "2 7 Other Errors 8", "0 7 Other Errors 8"};
    const std::vector<Case> cases = {
        {"station unavailable", [&] { b.map.set(SHRMEM_CHARGER_STATE, 8); }, 7, unavailable},
        {"firmware install", [&] { app->fwInstallState = 1; }, 7, unavailable},
        {"hard reset", [&] { app->hardResetReq = 2; }, 7, unavailable},
        {"soft reset", [&] { app->softResetReq = 1; }, 7, unavailable},
        {"fault 2", [&] { b.map.set(SHRMEM_CHARGER_STATE, 2); }, 8, faulted},
        {"fault 4", [&] { b.map.set(SHRMEM_CHARGER_STATE, 4); }, 8, faulted},
        {"emergency button", [&] { mapBytes[412] = 0x08; }, 8, faulted},
        {"reset wins over a fault", [&] { b.map.set(SHRMEM_CHARGER_STATE, 2); app->softResetReq = 1; }, 7, unavailable},
        {"one connector out of service", [&] { Rec(1).unavailable = 1; }, 0,
         {"1 6 Unavailable 7", "2 6 Available 0", "0 6 Available 0"}},
        {"both out of service", [&] { Rec(1).unavailable = Rec(2).unavailable = 1; }, 7, unavailable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(mapBytes.data(), 0, 512);
        app->fwInstallState = 0;
        app->hardResetReq = app->softResetReq = 0;
        Rec(1).unavailable = Rec(2).unavailable = 0;
        c.set();
        New();
        FennickBridge fresh(&b);
        EXPECT_EQ(fresh.FennickStsMgmt(), c.cp);
        EXPECT_EQ(New(), c.expect);
    }
}

TEST_F(FennickBridgeTest, AReservedConnectorMakesTheOtherUnavailableOnePassLater) {
    Rec(2).reserved = 1;
    Sts();
    EXPECT_EQ(New(), (Records{"1 6 Available 0", "2 6 Reserved 6", "0 6 Available 0"}));
    Sts();
    EXPECT_EQ(New(), (Records{"1 6 Unavailable 7"}));
    Sts();
    EXPECT_TRUE(New().empty());
}

TEST_F(FennickBridgeTest, PreparingFollowsThePluggedConnector) {
    struct Case {
        const char* name;
        std::uint8_t plug, u1, r2;
        Records expect;
    };
    const Case cases[] = {
        {"connector 1 plugged", 0x01, 0, 0, {"1 6 Preparing 1"}},
        {"connector 2 plugged", 0x02, 0, 0, {"2 6 Preparing 1"}},
        {"both plugged, 1 out of service", 0x03, 1, 0, {"2 6 Preparing 1"}},
        {"nothing plugged: both", 0x00, 0, 0, {"1 6 Preparing 1", "2 6 Preparing 1"}},
        {"nothing plugged, 2 reserved", 0x00, 0, 1, {"2 6 Preparing 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FennickBridge fresh(&b);
        Rec(1).unavailable = c.u1;
        Rec(2).reserved = c.r2;
        b.map.set(mainb::SHRMEM_PLUG_IN, 0);
        b.map.set(SHRMEM_CHARGER_STATE, 0);
        fresh.FennickStsMgmt();
        New();
        b.map.set(mainb::SHRMEM_PLUG_IN, c.plug);
        b.map.set(SHRMEM_CHARGER_STATE, 16);
        fresh.FennickStsMgmt();
        EXPECT_EQ(New(), c.expect);
    }
}

TEST_F(FennickBridgeTest, APluggedIdleConnectorPreparesUnlessHeld) {
    struct Case {
        const char* name;
        std::uint8_t plug, u1, r1, u2, r2;
        Records expect;  // after a pass with both Available
    };
    const Case cases[] = {
        {"1 plugged", 0x01, 0, 0, 0, 0, {"1 6 Preparing 1"}},
        {"1 plugged, other reserved", 0x01, 0, 0, 0, 1, {"1 6 Unavailable 7", "2 6 Reserved 6"}},
        {"1 plugged and reserved", 0x01, 0, 1, 0, 0, {"1 6 Reserved 6", "2 6 Unavailable 7"}},
        {"2 plugged, out of service", 0x02, 0, 0, 1, 0, {"2 6 Unavailable 7"}},
        {"both plugged", 0x03, 0, 0, 0, 0, {"1 6 Preparing 1", "2 6 Preparing 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FennickBridge fresh(&b);
        Rec(1).unavailable = Rec(1).reserved = Rec(2).unavailable = Rec(2).reserved = 0;
        b.map.set(mainb::SHRMEM_PLUG_IN, 0);
        fresh.FennickStsMgmt();
        New();
        Rec(1).unavailable = c.u1;
        Rec(1).reserved = c.r1;
        Rec(2).unavailable = c.u2;
        Rec(2).reserved = c.r2;
        b.map.set(mainb::SHRMEM_PLUG_IN, c.plug);
        fresh.FennickStsMgmt();
        EXPECT_EQ(New(), c.expect);
    }
}

TEST_F(FennickBridgeTest, MeterBlocksFollowTheConnectorInUse) {
    struct Case {
        const char* name;
        std::uint8_t state, active, soc2165, full2172, ref2055, rate2071;
        std::int32_t soc1, soc2;
        bool live1, live2;
        std::int32_t offered1, offered2;
    };
    const Case cases[] = {
        {"idle: both live, no soc", 0, 2, 40, 80, 100, 50, 0, 0, true, true, 0, 0},
        {"CCS: soc of full soc", 1, 2, 40, 80, 100, 50, 0, 50, false, true, 0, 6300},
        {"CCS: no full soc", 1, 2, 40, 0, 100, 50, 0, 40, false, true, 0, 6300},
        {"CHAdeMO", 1, 1, 40, 80, 200, 50, 25, 0, true, false, 12500, 0},
        {"CHAdeMO without reference", 1, 1, 40, 80, 0, 50, 0, 0, true, false, 12500, 0},
    };
    b.map.set(SHRMEM_GET_V1, 4001);    // 400.1 V
    b.map.set(SHRMEM_GET_I1, 1234);    // 123.4 A
    b.map.set(SHRMEM_GET_P1, 49370);   // W
    b.map.set(SHRMEM_ENERGY_OFFSET, 7777);
    b.map.set(mainb::SHRMEM_CCS_CURRENT_LIMIT, 63);
    b.map.set(CP108_AVAILABLE_CURRENT, 125);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        b.map.set(SHRMEM_CHARGER_STATE, c.state);
        b.map.set(SHRMEM_ACTIVE_CONNECTOR, c.active);
        b.map.set(SHRMEM_CCS_EV_SOC, c.soc2165);
        b.map.set(SHRMEM_CCS_EV_FULL_SOC, c.full2172);
        b.map.set(mainb::SHRMEM_CHADEMO_SOC_REFERENCE, c.ref2055);
        b.map.set(mainb::SHRMEM_CHADEMO_SOC, c.rate2071);
        station.FennickMeterValMgmt();
        const bool live[2] = {c.live1, c.live2};
        const std::int32_t soc[2] = {c.soc1, c.soc2};
        const std::int32_t offered[2] = {c.offered1, c.offered2};
        for (int k = 0; k < 2; ++k) {
            const auto& m = Meter(k + 1);
            EXPECT_EQ(m.voltage, live[k] ? 40010 : 0) << k + 1;
            EXPECT_EQ(m.currentImport, live[k] ? 12340 : 0) << k + 1;
            EXPECT_EQ(m.powerImport, live[k] ? 49370 : 0) << k + 1;
            EXPECT_EQ(m.soc, soc[k]) << k + 1;
            EXPECT_EQ(m.currentOffered, offered[k]) << k + 1;
            EXPECT_EQ(m.energyImportRegister, 7777) << k + 1;  // on both, always
        }
    }
}

TEST_F(FennickBridgeTest, EnergyNeverFallsAndHoldRepeatsTheLastValue) {
    struct Step {
        std::int32_t energy;
        std::uint8_t hold;
        std::int32_t shown;
    };
    const Step steps[] = {{100, 0, 100}, {250, 0, 250}, {90, 0, 250}, {900, 1, 250}, {300, 0, 300}, {-5, 0, 300}};
    for (const Step& s : steps) {
        b.map.set(SHRMEM_ENERGY_OFFSET, s.energy);
        b.map.set(mainb::SHRMEM_ENERGY_HOLD, s.hold);
        station.FennickMeterValMgmt();
        EXPECT_EQ(Meter(1).energyImportRegister, s.shown) << s.energy;
        EXPECT_EQ(Meter(2).energyImportRegister, s.shown) << s.energy;
    }
}

TEST_F(FennickBridgeTest, LimitOfTheConnectorInUseSaturatesIntoItsFields) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::uint8_t active;
        float current, power;
        std::int16_t currentOut;
        std::int32_t powerOut;
    };
    const Case cases[] = {
        {"connector 1", 1, 32.9f, 11000.7f, 32, 11000},
        {"connector 2 reads its own record", 2, -1.0f, -1.0f, -1, -1},
        {"no connector in use", 0, 32.0f, 100.0f, -1, -1},
        {"unknown connector", 3, 32.0f, 100.0f, -1, -1},
        {"zero suspends", 1, 0.0f, 0.0f, 0, 0},
        {"beyond the fields", 1, 1e9f, 1e12f, 32767, 2147483647},
        {"far below", 1, -1e9f, -1e12f, -32768, std::numeric_limits<std::int32_t>::min()},
        {"not a number", 1, nan, nan, -1, -1},
    };
    Rec(2).currentLimitA = -1.0f;
    Rec(2).powerLimitW = -1.0f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        b.map.set(SHRMEM_ACTIVE_CONNECTOR, c.active);
        Rec(1).currentLimitA = c.current;
        Rec(1).powerLimitW = c.power;
        if (c.active == 2) Rec(1).currentLimitA = Rec(1).powerLimitW = 5.0f;
        b.map.set(SHRMEM_OCPP_CURRENT_LIMIT, 77);
        b.map.set(SHRMEM_OCPP_POWER_LIMIT, 77);
        station.FennickUpdateLimit();
        EXPECT_EQ(b.map.get(SHRMEM_OCPP_CURRENT_LIMIT), c.currentOut);
        EXPECT_EQ(b.map.get(SHRMEM_OCPP_POWER_LIMIT), c.powerOut);
    }
}

TEST_F(FennickBridgeTest, SystemEventRecordsCarryTheStatusOfTheirPass) {
    app->fwInstallState = 1;  // the pass status is Unavailable
    Pass(b);
    New();
    mapBytes[21529] = 0x10;
    Pass(b);
    const Records raised = New();
    ASSERT_EQ(raised, (Records{"0 7 00A013 7"}));
    EXPECT_STREQ(app->statusRing[static_cast<std::uint8_t>(seen - 1)].vendorErrorCode, "00A013");
    app->fwInstallState = 0;
    mapBytes[21529] = 0;
    Pass(b);
    EXPECT_EQ(New(), (Records{"1 6 Available 0", "2 6 Available 0", "0 6 Available 0", "0 6 10A013 0"}));
    EXPECT_STREQ(app->statusRing[static_cast<std::uint8_t>(seen - 1)].vendorErrorCode, "10A013");
}

TEST_F(FennickBridgeTest, NothingIsBridgedWithoutTheApplicationSegment) {
    b.app = nullptr;
    b.map.set(SHRMEM_OCPP_CURRENT_LIMIT, 77);
    b.map.set(SHRMEM_ACTIVE_CONNECTOR, 1);
    EXPECT_EQ(station.FennickStsMgmt(), 0);
    station.FennickMeterValMgmt();
    station.FennickUpdateLimit();
    EXPECT_EQ(b.map.get(SHRMEM_OCPP_CURRENT_LIMIT), 77);
    b.app = app.get();
    EXPECT_TRUE(New().empty());
    EXPECT_EQ(Meter(1).voltage, 0);
}

}  // namespace
