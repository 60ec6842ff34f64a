// The charger frames computed before the charging loop, the charging time,
// and the available current rating of the charging loop.
#include <gtest/gtest.h>

#include "charger_frames.h"
#include "chademo_rig.h"

namespace {

using namespace regmap;

struct FramesRig : ChademoRig {
    FramesRig() : frames(map, log, [this] { ++d1Offs; }) {
        map.set(SHRMEM_AVAILABLE_POWER, 30000);
        map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 120);
        map.set(SHRMEM_SMR_AVAIL_CURRENT, 125);
        map.set(SHRMEM_OCPP_CURRENT_LIMIT, -1);
        map.set(SHRMEM_OCPP_POWER_LIMIT, -1);
        map.set(SHRMEM_CURRENT_CAP, 125);
        map.set(EV100_MAX_BATTERY_VOLTAGE, 450);
    }
    chademo::ChargerFrames frames;
    int d1Offs = 0;
};

TEST(ChademoChargerFrames, AvailableCurrentAndThresholdVoltage) {
    struct Case {
        std::uint16_t target, batteryMax;
        std::int16_t profileCurrent, modulesCurrent;
        std::int32_t profilePower;
        std::uint8_t current;        // 0x108 byte 3
        std::uint16_t threshold;     // 0x108 bytes 4-5
    };
    const Case cases[] = {
        {400, 450, -1, 125, -1, 75, 450},       // 30,000 W / 400 V
        {490, 600, -1, 125, -1, 61, 500},       // threshold no higher than 500 V
        {400, 450, 50, 125, -1, 50, 450},       // a charging-profile current below the rated one
        {400, 450, 0, 125, -1, 0, 450},
        {400, 450, -1, 125, 0, 0, 450},         // a power limit of 0
        {400, 450, -1, 125, 40000, 75, 450},    // a power limit above the available power is no limit
        {400, 450, -1, 30, -1, 30, 450},        // the modules give less
        {400, 450, -1, -5, -1, 0, 450},         // a negative module figure is no current, not 255
        {0, 0, -1, 125, -1, 0, 0},              // nothing known yet: the limits keep their values
    };
    for (const Case& c : cases) {
        FramesRig r;
        r.map.set(EV102_TARGET_VOLTAGE, c.target);
        r.map.set(EV100_MAX_BATTERY_VOLTAGE, c.batteryMax);
        r.map.set(SHRMEM_OCPP_CURRENT_LIMIT, c.profileCurrent);
        r.map.set(SHRMEM_SMR_AVAIL_CURRENT, c.modulesCurrent);
        r.map.set(SHRMEM_OCPP_POWER_LIMIT, c.profilePower);
        r.map.set(SHRMEM_GET_V1, 3987);
        r.map.set(SHRMEM_GET_I1, 2563);   // 256.3 A: more than one byte carries
        r.frames.FramePass();
        const std::uint8_t* cp108 = r.map.bytes(CP108);
        EXPECT_EQ(cp108[0], 1);
        EXPECT_EQ(cp108[1] | cp108[2] << 8, 500);
        EXPECT_EQ(cp108[3], c.current) << c.target << " " << c.profileCurrent << " " << c.modulesCurrent;
        EXPECT_EQ(cp108[4] | cp108[5] << 8, c.threshold) << c.batteryMax;
        const std::uint8_t* cp109 = r.map.bytes(CP109);
        EXPECT_EQ(cp109[0], 1);
        EXPECT_EQ(cp109[1] | cp109[2] << 8, 398);
        EXPECT_EQ(cp109[3], 255);
        EXPECT_NE(r.map.get(ChargerFlag) & kFramesComputed, 0);
        EXPECT_EQ(r.d1Offs, 0);
    }
}

TEST(ChademoChargerFrames, TargetsBeyondTheBatteryOrTheStationStopTheVehicleOnce) {
    struct Case { std::uint16_t target, batteryMax; std::uint8_t status; const char* line; };
    const Case cases[] = {
        {460, 450, kCpSystemMalfunction, "[Corvane][00476][EVSE] CHG_MX(460V) > BAT_MX(450V); "},
        {600, 650, kCpBatteryIncompatible, "[Corvane][00489][EVSE] CHG_MX(600V) > LIMIT_V(500V);"},
    };
    for (const Case& c : cases) {
        FramesRig r;
        r.map.set(EV102_TARGET_VOLTAGE, c.target);
        r.map.set(EV100_MAX_BATTERY_VOLTAGE, c.batteryMax);
        for (int i = 0; i < 3; ++i) r.frames.FramePass();
        EXPECT_EQ(r.map.get(CP109_STATUS), c.status) << c.target;
        EXPECT_EQ(r.d1Offs, 3);
        EXPECT_EQ(Count(r.Log(), c.line), 1) << r.Log();
    }
    FramesRig r;
    r.map.set(EV102_TARGET_VOLTAGE, 600);
    r.map.set(EV100_MAX_BATTERY_VOLTAGE, 650);
    r.frames.FramePass();
    EXPECT_TRUE(r.map.get(ALARM_CHADEMO_BATTERY_INCOMPATIBLE));
    EXPECT_EQ(r.map.bytes(CP108)[3], 60);   // 30,000 W / 500 V, not / 600 V
}

TEST(ChademoChargerFrames, ChargingTimeLimitAndRemainingTimeBytes) {
    struct Case { std::uint8_t station, units10s, minutes, flags; std::int32_t limit; std::uint8_t b6, b7; };
    const Case cases[] = {
        {60, 255, 90, 0, 3600, 255, 60},
        {60, 120, 0, 0, 1200, 120, 0},
        {0, 120, 0, 0, 0, 0, 0},
        {60, 120, 0, kLoopEnded, 1200, 0, 0},
    };
    for (const Case& c : cases) {
        FramesRig r;
        r.map.set(SHRMEM_MAX_CHARGE_TIME, c.station);
        r.map.set(EV101_TIME_10S, c.units10s);
        r.map.set(EV101_TIME_MIN, c.minutes);
        r.map.set(ChargerFlag, c.flags);
        r.frames.TimePass();
        EXPECT_EQ(r.map.get(LIMIT_TIME), c.limit) << int(c.units10s);
        EXPECT_EQ(r.map.bytes(CP109)[6], c.b6) << int(c.units10s);
        EXPECT_EQ(r.map.bytes(CP109)[7], c.b7) << int(c.units10s);
        EXPECT_NE(r.map.get(ChargerFlag) & kTimeLimitComputed, 0);
    }
}

TEST(ChademoPowerRating, AvailableCurrentFollowsThePowerAtThePresentVoltage) {
    struct Case { std::uint16_t present; std::uint8_t old; std::int16_t profile; std::int32_t power; std::uint8_t now; int result; bool logged; };
    const Case cases[] = {
        {395, 100, -1, -1, 75, 1, true},    // 30,000 W / 400 V
        {600, 50, -1, -1, 60, 2, true},     // divisor 500, not 605
        {395, 77, -1, -1, 75, 1, false},    // a change of 2 A is not logged
        {395, 75, -1, -1, 75, 0, false},
        {395, 75, 0, -1, 0, 1, true},
        {395, 75, -1, 0, 0, 1, true},
    };
    for (const Case& c : cases) {
        FramesRig r;
        r.map.set(SHRMEM_CHADEMO_PRESENT_VOLTAGE, c.present);
        r.map.set(CP108_AVAILABLE_CURRENT, c.old);
        r.map.set(SHRMEM_OCPP_CURRENT_LIMIT, c.profile);
        r.map.set(SHRMEM_OCPP_POWER_LIMIT, c.power);
        r.map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);
        EXPECT_EQ(chademo::ChangePowerRating(r.map), c.result) << c.present << " " << int(c.old);
        EXPECT_EQ(r.map.get(CP108_AVAILABLE_CURRENT), c.now) << c.present << " " << int(c.old);
        const std::string line = "[Corvane]ChangePowerRating:CP108[3]:" + std::to_string(c.old) + " -> New1083:" +
                                 std::to_string(c.now) + " Amp";
        EXPECT_EQ(Count(r.Log(), line), c.logged ? 1 : 0) << r.Log();
    }
}

}  // namespace
