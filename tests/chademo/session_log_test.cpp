// The coded session lines: their values, their re-announce bits, the queue
// and the vehicle-fault lines of alarm byte 341.
#include <gtest/gtest.h>

#include "chademo_rig.h"
#include "syslog.h"

namespace {

using namespace regmap;

void FillSession(ChademoRig& r) {
    std::uint8_t* ev100 = r.map.bytes(EV100);
    for (int i = 0; i < 8; ++i) ev100[i] = static_cast<std::uint8_t>(0x10 + i);
    ev100[4] = 0xF4, ev100[5] = 0x01;                      // 500 V battery maximum
    std::uint8_t* ev102 = r.map.bytes(EV102);
    const std::uint8_t e2[8] = {2, 0x9A, 0x01, 30, 0, 0x0B, 55, 0};   // 410 V, 30 A
    std::copy_n(e2, 8, ev102);
    std::uint8_t* cp108 = r.map.bytes(CP108);
    const std::uint8_t c8[8] = {1, 0xF4, 0x01, 125, 0xA4, 0x01, 0, 0};
    std::copy_n(c8, 8, cp108);
    r.map.set(LIMIT_VOLT, 420);
    r.map.set(SHRMEM_SMR_AVAIL_CURRENT, 80);
    r.map.set(SHRMEM_SMR_AVAIL_POWER, 30000);
    r.map.set(SHRMEM_SET_V1, 4100);
    r.map.set(SHRMEM_SET_I1, 300);
    r.map.set(SHRMEM_GET_V1, 4056);
    r.map.set(SHRMEM_GET_I1, 23);
    r.map.set(SHRMEM_RECTIFIER_OUTPUT_VOLT, 4060);
    r.map.set(SHRMEM_RECTIFIER2_RELAY, 3);
}

TEST(ChademoSessionLog, MessagesCarryTheirValues) {
    ChademoRig r;
    FillSession(r);
    r.j = 0;
    r.lock = 0;
    const std::string P = "SMR AvailPwr:30000W, SMR AvailCurr:80A, Vcmd:410V, Icmd:30A, Vout:405V, Iout:2.3A";
    const std::string F =
        "\n\tEV100(Hex 0-7): 10 11 12 13 f4 01 16 17"
        "\n\tEV101(Hex 0-7): 00 00 00 00 00 00 00 00"
        "\n\tEV102(Hex 0-7): 02 9a 01 1e 00 0b 37 00"
        "\n\tCP108(Hex 0-7): 01 f4 01 7d a4 01 00 00"
        "\n\tCP109(Hex 0-7): 00 00 00 00 00 00 00 00";
    struct Case { unsigned code; std::string message; };
    const Case cases[] = {
        {0, "[Corvane][00007][EV] No permission; Opto-coupler(j):0, " + P + F},
        {1, "[Corvane][00007][EVSE] CHG_MX(410V) > LIMIT_V(500V);" + F},
        {9, "[Corvane][00007][EVSE] CHAdeMO connector lock is broken; Detect status:0"},
        {10, "[Corvane][00007][EVSE] CHG_MX(410V) > BAT_MX(500V); " + F},
        {11, "[Corvane][00007][EVSE] Target current(30A) > Available current(125A); " + F},
        {17, "[Corvane][00007][EVSE] Insulation error - SMR Vout(406V) < 390V(Target volt - 20V); " + P},
        {19, "[Corvane][00007][EVSE] Insulation error - Output voltage(405V) > 10V before insulation test; "
             "Output relay status:0x3, SMR Vout:406V"},
        {21, "[Corvane][00007][EVSE] Insulation error - Output current(2.3A) > 2A; " + P},
        {25, "[Corvane][00007][EVSE] Timeout error - EV contactor open after charging; EV102.5:0x0b, " + F},
        {26, "[Corvane][00007][EVSE] Output OVP: Output voltage(405V) > LIMIT_VOLT(420V); " + P + F},
        {28, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(r.log.Message(c.code, 7), c.message) << c.code;
    // The longest line fits the system log line whole.
    for (unsigned code = 0; code < chademo::kLogCodeCount; ++code)
        EXPECT_LT(r.log.Message(code, 65535).size(), common::kMaxLogText) << code;
}

TEST(ChademoSessionLog, ReannounceBitsAndTheQueue) {
    struct Case { unsigned code; unsigned byte; std::uint8_t mask; };
    const Case cases[] = {{0, 3, 0x01}, {7, 3, 0x80}, {8, 4, 0x01}, {9, 4, 0x02}, {10, 0, 0x01},
                          {13, 1, 0x02}, {17, 2, 0x01}, {22, 0, 0x04}, {25, 1, 0x40}, {27, 0, 0x20}};
    for (const Case& c : cases) {
        ChademoRig r;
        r.log.systemLogHandle(c.code, 1);
        const std::uint8_t* mem = r.map.bytes(SHRMEM_CHADEMO_ALARM_MEM);
        for (unsigned b = 0; b < 5; ++b) EXPECT_EQ(mem[b], b == c.byte ? c.mask : 0) << c.code << " " << b;
    }
    ChademoRig r;
    r.log.systemLogHandle(12, 1);
    r.log.systemLogHandle(23, 2);   // a second event before the write is kept too
    EXPECT_EQ(r.log.systemLogHandle(28, 3), 0u);
    EXPECT_TRUE(r.log.Pending());
    r.log.writeSysLog();
    EXPECT_FALSE(r.log.Pending());
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Corvane][00001][EVSE] Timeout error - Start of Vehicle CAN data\n"), 1) << log;
    EXPECT_EQ(Count(log, "[Corvane][00002][EVSE] CHAdeMO system error - process\n"), 1) << log;
    EXPECT_EQ(Count(log, " - \n"), 1) << log;   // code 28: the time stamp only
}

TEST(ChademoSessionLog, NewVehicleFaultBitsAreLoggedInBitOrder) {
    ChademoRig r;
    r.map.set(SHRMEM_CHADEMO_EV_ALARM, 0x03);
    r.log.trapAlarm29LogHandle(5);
    r.map.set(SHRMEM_CHADEMO_EV_ALARM, 0x00);
    r.log.trapAlarm29LogHandle(5);
    r.map.set(SHRMEM_CHADEMO_EV_ALARM, 0x01);
    r.log.trapAlarm29LogHandle(5);
    r.map.set(SHRMEM_CHADEMO_EV_ALARM, 0x81);
    r.log.trapAlarm29LogHandle(5);
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "Battery overvoltage"), 2) << log;
    EXPECT_EQ(Count(log, "Battery undervoltage"), 1) << log;
    EXPECT_EQ(Count(log, "connector lock is broken"), 1) << log;
    EXPECT_LT(log.find("Battery overvoltage"), log.find("Battery undervoltage"));
}

}  // namespace
