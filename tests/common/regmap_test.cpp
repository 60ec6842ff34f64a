#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "regmap_fields.h"

using namespace regmap;

namespace {

struct Golden {
    const char* name;
    FieldInfo actual;
    FieldInfo expected;
};

constexpr ByteOrder H = ByteOrder::HighFirst;
constexpr ByteOrder L = ByteOrder::LowFirst;
constexpr ByteOrder N = ByteOrder::None;

#define ROW(field, off, width, order) Golden{#field, (field).info(), FieldInfo{off, width, order}}

// The layout every program of both boards relies on. A change here is a change
// of the wire and flash formats.
const Golden kGolden[] = {
    ROW(SHRMEM_GET_V1, 1, 2, H),
    ROW(SHRMEM_ACTIVE_CONNECTOR, 110, 1, N),
    ROW(SHRMEM_SUPERVISOR_STARTED, 128, 1, N),
    ROW(SHRMEM_SET_I1, 134, 2, H),
    ROW(SHRMEM_SET_POWER, 138, 2, H),
    ROW(SHRMEM_REMAIN_TIME, 141, 4, H),
    ROW(SHRMEM_SET_PENDING, 145, 1, N),
    ROW(SHRMEM_SET_V1, 146, 2, H),
    ROW(SHRMEM_MODULE_PARAMS, 196, 46, N),
    ROW(SHRMEM_PARAM_LENGTH, 196, 2, H),
    ROW(SHRMEM_PARAM_CRC, 250, 2, H),
    ROW(SHRMEM_FW_VERSION, 257, 4, H),
    ROW(SHRMEM_RATE_NOW_HIGH, 261, 1, N),
    ROW(SHRMEM_RATE_NOW_LOW, 262, 1, N),
    ROW(SHRMEM_CHARGER_STATE, 263, 1, N),
    ROW(SHRMEM_FW_UPDATE, 264, 1, N),
    ROW(SHRMEM_ETH0_IP, 266, 4, L),
    ROW(SHRMEM_ETH0_NETMASK, 270, 4, L),
    ROW(SHRMEM_ETH0_GATEWAY, 274, 4, L),
    ROW(SHRMEM_DHCP, 280, 1, N),
    ROW(SHRMEM_ETH0_MAC, 282, 18, N),
    ROW(SHRMEM_FW_SERVER_IP, 300, 4, L),
    ROW(SHRMEM_ADDRESS_SLOT_304, 304, 4, L),
    ROW(SHRMEM_ALARM_MAP, 312, 32, N),
    ROW(SHRMEM_SNMP_TRAP_IP, 344, 4, L),
    ROW(SHRMEM_RATE_TABLE, 352, 48, N),
    ROW(RateTableEntry(23), 398, 2, H),
    ROW(SHRMEM_NTP_SERVER_IP, 400, 4, L),
    ROW(SHRMEM_ADDRESS_SLOT_404, 404, 4, L),
    ROW(SHRMEM_STOP_CHARGING, 410, 1, N),
    ROW(SHRMEM_STOP_BUTTON, 412, 1, N),
    ROW(SHRMEM_ADDRESS_SLOT_433, 433, 4, L),
    ROW(ccsb::SHRMEM_CCS_PLUG_TEMP_SUM, 438, 2, L),
    ROW(SHRMEM_MAX_OUTPUT_POWER, 443, 1, N),
    ROW(SHRMEM_MAX_CHARGING_DURATION, 444, 1, N),
    ROW(SHRMEM_ENERGY_TO_DELIVER, 452, 1, N),
    ROW(SHRMEM_VALUE_459, 459, 4, H),
    ROW(SHRMEM_CONNECTION_TIMEOUT, 463, 4, L),
    ROW(SHRMEM_BYTE_467, 467, 1, N),
    ROW(SHRMEM_CLOCK_CHANGED, 469, 1, N),
    ROW(SHRMEM_CCS_SELECTED, 475, 1, N),
    ROW(SHRMEM_AVAILABLE_POWER, 515, 2, H),
    ROW(SHRMEM_MODEL_NAME, 1024, 64, N),
    ROW(SHRMEM_STATION_NAME, 1088, 32, N),
    ROW(SHRMEM_SERIAL_NUMBER, 1120, 32, N),
    ROW(SHRMEM_LOCATION, 1152, 32, N),
    ROW(SHRMEM_REMAIN_TIME_TEXT, 1216, 32, N),
    ROW(SHRMEM_PASS_TIME_TEXT, 1248, 32, N),
    ROW(SHRMEM_TEXT_SLOT_1280, 1280, 32, N),
    ROW(SHRMEM_SNMP_COMMUNITY, 1312, 32, N),
    ROW(SHRMEM_TEXT_SLOT_1344, 1344, 32, N),
    ROW(SHRMEM_SNMP_SEC_LEVEL, 1376, 16, N),
    ROW(SHRMEM_SNMP_AUTH_PROTO, 1392, 8, N),
    ROW(SHRMEM_SNMP_AUTH_PASS, 1400, 32, N),
    ROW(SHRMEM_SNMP_PRIV_PROTO, 1432, 8, N),
    ROW(SHRMEM_SNMP_PRIV_PASS, 1440, 32, N),
    ROW(SHRMEM_OUTPUT_ENERGY_TEXT, 1472, 32, N),
    ROW(SHRMEM_ID_TAG, 1504, 32, N),
    ROW(SHRMEM_ENERGY_OFFSET, 2029, 4, L),
    ROW(SHRMEM_MAX_CHARGE_TIME, 2048, 1, N),
    ROW(SHRMEM_CCS_PILOT_STATE, 2160, 1, N),
    ROW(SHRMEM_CCS_BYTE_2161, 2161, 1, N),
    ROW(SHRMEM_CCS_RESPONSE_CODE, 2162, 1, N),
    ROW(SHRMEM_CCS_EV_READY, 2163, 1, N),
    ROW(SHRMEM_CCS_EV_ERROR_CODE, 2164, 1, N),
    ROW(SHRMEM_CCS_EV_SOC, 2165, 1, N),
    ROW(SHRMEM_CCS_EV_MAX_CURRENT, 2166, 1, N),
    ROW(SHRMEM_CCS_EV_MAX_POWER, 2167, 1, N),
    ROW(SHRMEM_CCS_EV_MAX_VOLTAGE, 2168, 2, H),
    ROW(SHRMEM_CCS_EV_ENERGY_CAPACITY, 2170, 1, N),
    ROW(SHRMEM_CCS_EV_ENERGY_REQUEST, 2171, 1, N),
    ROW(SHRMEM_CCS_EV_FULL_SOC, 2172, 1, N),
    ROW(SHRMEM_CCS_EV_BULK_SOC, 2173, 1, N),
    ROW(SHRMEM_CCS_EVSE_ISOLATION, 2174, 1, N),
    ROW(SHRMEM_CCS_EVSE_STATUS_CODE, 2175, 1, N),
    ROW(SHRMEM_CCS_EVSE_MAX_CURRENT, 2176, 1, N),
    ROW(SHRMEM_CCS_EVSE_MAX_POWER, 2177, 1, N),
    ROW(SHRMEM_CCS_EVSE_MAX_VOLTAGE, 2178, 2, H),
    ROW(SHRMEM_CCS_EVSE_MIN_CURRENT, 2180, 1, N),
    ROW(SHRMEM_CCS_EVSE_MIN_VOLTAGE, 2181, 2, H),
    ROW(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, 2183, 1, N),
    ROW(SHRMEM_CCS_EV_TARGET_VOLTAGE, 2184, 2, H),
    ROW(SHRMEM_CCS_EV_TARGET_CURRENT, 2186, 1, N),
    ROW(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 2187, 2, H),
    ROW(SHRMEM_CCS_EV_READY_TO_CHARGE, 2189, 1, N),
    ROW(SHRMEM_CCS_EV_BULK_COMPLETE, 2190, 1, N),
    ROW(SHRMEM_CCS_EV_CHARGING_COMPLETE, 2191, 1, N),
    ROW(SHRMEM_CCS_EV_TIME_TO_FULL, 2192, 2, H),
    ROW(SHRMEM_CCS_EV_TIME_TO_BULK, 2194, 2, H),
    ROW(SHRMEM_CCS_EVSE_PRESENT_CURRENT, 2196, 1, N),
    ROW(SHRMEM_CCS_PLC_STATUS, 2197, 4, H),
    ROW(SHRMEM_CCS_EVSE_PROCESSING, 2201, 1, N),
    ROW(SHRMEM_CCS_EV_PROXIMITY, 2202, 1, N),
    ROW(SHRMEM_CCS_CPD_PROCESSING, 2203, 1, N),
    ROW(ccsb::SHRMEM_CCS_CPD_DONE, 2204, 1, N),
    ROW(ccsb::SHRMEM_CCS_BOARD_ALARM, 2205, 2, H),
    ROW(ccsb::SHRMEM_CCS_PEV_MAC_VALID, 2207, 1, N),
    ROW(ccsb::SHRMEM_CCS_PEV_MAC, 2208, 6, N),
    ROW(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 2204, 1, N),
    ROW(mainb::SHRMEM_CCS_PEV_MAC_COPY, 2214, 7, N),
    // Board link
    ROW(SHRMEM_GFD_SELFTEST, 108, 1, N),
    ROW(SHRMEM_CCS_RELAYED_BYTE, 476, 1, N),
    ROW(SHRMEM_CHARGE_STEP, 21562, 1, N),
    ROW(SYSEVT_CCS_PILOT_BROKEN, 21529, 1, N),
    ROW(ccsb::SHRMEM_RESET_NOTICE, 474, 1, N),
    ROW(ccsb::SHRMEM_SETTING_482, 482, 1, N),
    ROW(ccsb::SHRMEM_SYSTEM_READY, 21505, 1, N),
    ROW(ccsb::SHRMEM_CCS_FW_WRITING, 7142, 1, N),
    ROW(mainb::SHRMEM_CCS_FW_VERSION, 517, 4, N),
    ROW(mainb::SHRMEM_CCS_PLUG_TEMP, 521, 2, L),
    ROW(mainb::SHRMEM_CCS_SETTING12, 525, 1, N),
    ROW(mainb::SHRMEM_PEV_MAC_REPORT, 939, 1, N),
    ROW(mainb::SHRMEM_CCS_POWER_LIMIT, 21544, 1, N),
    ROW(mainb::SHRMEM_CCS_CURRENT_LIMIT, 21545, 1, N),
    ROW(mainb::SHRMEM_CCS_SETTING14, 21547, 1, N),
    ROW(mainb::SHRMEM_CCS_ALARM, 21568, 1, N),
    ROW(mainb::SHRMEM_CCS_SETTING10, 21570, 1, N),
    ROW(SHRMEM_OCPP_CURRENT_LIMIT, 21506, 2, L),
    ROW(SHRMEM_OCPP_POWER_LIMIT, 21508, 4, L),
    ROW(SHRMEM_SMR_AVAIL_CURRENT, 21512, 2, L),
    ROW(SHRMEM_SYS_EVT, 21529, 4, N),
    ROW(SHRMEM_DIN_EVT, 21533, 11, N),
    ROW(SHRMEM_CURRENT_CAP, 21608, 1, N),
    ROW(ccsb::SHRMEM_SETTINGS_MIRROR, 196608, 65536, N),
    // Alarm reporting and the OCPP 1.5 status record
    ROW(SHRMEM_SNMP_TRAP_PORT, 508, 6, N),
    ROW(SHRMEM_OCPP_ENABLE, 481, 1, N),
    ROW(SHRMEM_OCPP_MODE, 514, 1, N),
    ROW(SHRMEM_OCPP_URL, 1536, 256, N),
    ROW(SHRMEM_CHADEMO_ALARM, 21517, 4, N),
    ROW(SHRMEM_CHADEMO_ALARM_MEM, 21523, 6, N),
    ROW(mainb::SHRMEM_SYSTEM_READY, 21505, 1, N),
    ROW(SHRMEM_OCPP15_CP_REQUEST, 445, 1, N),
    ROW(SHRMEM_OCPP15_CS_REQUEST2, 448, 1, N),
    ROW(OCPP15_STS_CONNECTOR, 3239, 4, L),
    ROW(OCPP15_STS_STATUS, 3243, 1, N),
    ROW(OCPP15_STS_ERROR_CODE, 3244, 1, N),
    ROW(OCPP15_STS_INFO, 3245, 50, N),
    ROW(OCPP15_STS_TIMESTAMP, 3295, 4, L),
    ROW(OCPP15_STS_VENDOR_ID, 3299, 255, N),
    ROW(OCPP15_STS_VENDOR_ERROR, 3554, 50, N),
    ROW(SHRMEM_AVAILABILITY, 451, 1, N),
    ROW(SHRMEM_OCPP15_RESERVED, 7388, 1, N),
    ROW(SHRMEM_OCPP15_RESET_TYPE, 7389, 1, N),
    ROW(SHRMEM_OCPP15_FW_STATE, 7909, 1, N),
    ROW(SHRMEM_OCPP15_RESET_PENDING, 7910, 1, N),
};

}  // namespace

TEST(RegisterMapLayout, EveryFieldSitsAtItsOffsetWidthAndOrder) {
    for (const auto& g : kGolden) {
        EXPECT_EQ(g.actual, g.expected) << g.name;
        EXPECT_LE(g.actual.offset + g.actual.width, kMapSize) << g.name;
    }
}

class RegisterMapTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
};

TEST_F(RegisterMapTest, NumbersUseTheirFieldsByteOrder) {
    map.set(SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
    EXPECT_EQ(mem[2178], 0x01);
    EXPECT_EQ(mem[2179], 0xF4);

    map.set(SHRMEM_CONNECTION_TIMEOUT, 300);  // native little-endian exception
    EXPECT_EQ((std::vector<std::uint8_t>{mem[463], mem[464], mem[465], mem[466]}),
              (std::vector<std::uint8_t>{0x2C, 0x01, 0x00, 0x00}));

    map.set(ccsb::SHRMEM_CCS_PLUG_TEMP_SUM, 0x1234);  // low byte first
    EXPECT_EQ(mem[438], 0x34);
    EXPECT_EQ(mem[439], 0x12);

    map.set(SHRMEM_CCS_PLC_STATUS, 0x060A00FE);
    EXPECT_EQ((std::vector<std::uint8_t>{mem[2197], mem[2198], mem[2199], mem[2200]}),
              (std::vector<std::uint8_t>{0x06, 0x0A, 0x00, 0xFE}));
    EXPECT_EQ(map.get(SHRMEM_CCS_PLC_STATUS), 0x060A00FEu);

    map.set(SHRMEM_OCPP_CURRENT_LIMIT, -1);
    EXPECT_EQ(mem[21506], 0xFF);
    EXPECT_EQ(map.get(SHRMEM_OCPP_CURRENT_LIMIT), -1);
}

TEST_F(RegisterMapTest, Ipv4IsStoredLastOctetFirst) {
    ASSERT_TRUE(map.setIpv4Text(SHRMEM_ETH0_GATEWAY, "192.168.1.254"));
    EXPECT_EQ((std::vector<std::uint8_t>{mem[274], mem[275], mem[276], mem[277]}),
              (std::vector<std::uint8_t>{254, 1, 168, 192}));
    EXPECT_EQ(map.ipv4Text(SHRMEM_ETH0_GATEWAY), "192.168.1.254");

    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.4 ", "1234.1.1.1"}) {
        EXPECT_FALSE(map.setIpv4Text(SHRMEM_ETH0_IP, bad)) << bad;
    }
    EXPECT_EQ(map.get(SHRMEM_ETH0_IP), 0u) << "a refused address writes nothing";
}

TEST_F(RegisterMapTest, TextsNeverLeaveTheirSlot) {
    // A slot full of garbage without a NUL reads as the slot, not beyond.
    std::memset(mem.data() + 1120, 'X', 32);
    mem[1152] = 'Y';
    EXPECT_EQ(map.get(SHRMEM_SERIAL_NUMBER), std::string(32, 'X'));

    // A long text is cut so that its NUL still fits.
    map.set(SHRMEM_SERIAL_NUMBER, std::string(100, 'Z'));
    EXPECT_EQ(map.get(SHRMEM_SERIAL_NUMBER), std::string(31, 'Z'));
    EXPECT_EQ(mem[1151], 0);
    EXPECT_EQ(mem[1152], 'Y') << "neighbour untouched";

    map.set(SHRMEM_SERIAL_NUMBER, "SN1");
    EXPECT_EQ(map.get(SHRMEM_SERIAL_NUMBER), "SN1");
}

TEST(RegisterMapBounds, AccessOutsideASmallViewDies) {
    std::vector<std::uint8_t> small(100);
    RegisterMap m(small.data(), small.size());
    EXPECT_DEATH(m.get(SHRMEM_CCS_PILOT_STATE), "outside");
}
