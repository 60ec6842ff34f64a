// Field definitions of the register map, by owner. Offsets are byte numbers of
// the segment; the type of each constant fixes its width and byte order.
//
// Where a byte means different things on the two boards, the field lives in
// namespace regmap::ccsb (CCS board) or regmap::mainb (main board).
#pragma once

#include "regmap.h"

namespace regmap {

// ---- Station values (both boards) ------------------------------------------
inline constexpr U16 SHRMEM_GET_V1{1};                 // present output voltage, 0.1 V
inline constexpr U8 SHRMEM_ACTIVE_CONNECTOR{110};      // connector in use (1 or 2)
inline constexpr U8 SHRMEM_SUPERVISOR_STARTED{128};    // 0x80 once the CCS supervisor has started

// Output set-point mailbox: written whole, then armed with 255.
inline constexpr U16 SHRMEM_SET_I1{134};               // current, 0.1 A
inline constexpr U16 SHRMEM_SET_POWER{138};            // power limit
inline constexpr U32 SHRMEM_REMAIN_TIME{141};
inline constexpr U8 SHRMEM_SET_PENDING{145};           // 255 = new set-point
inline constexpr U16 SHRMEM_SET_V1{146};               // voltage, 0.1 V; 0 switches off

// Module parameter block and its CRC.
inline constexpr Bytes SHRMEM_MODULE_PARAMS{196, 46};  // 196-241
inline constexpr U16 SHRMEM_PARAM_LENGTH{196};         // n, bytes covered by the CRC
inline constexpr U16 SHRMEM_PARAM_CRC{250};

inline constexpr U32 SHRMEM_FW_VERSION{257};           // 257-260, most significant first
inline constexpr U8 SHRMEM_RATE_NOW_HIGH{261};         // current hourly rate, copied from the table
inline constexpr U8 SHRMEM_RATE_NOW_LOW{262};
inline constexpr U8 SHRMEM_CHARGER_STATE{263};         // 1 = charging
inline constexpr U8 SHRMEM_FW_UPDATE{264};
inline constexpr Ipv4 SHRMEM_ETH0_IP{266};
inline constexpr Ipv4 SHRMEM_ETH0_NETMASK{270};
inline constexpr Ipv4 SHRMEM_ETH0_GATEWAY{274};
inline constexpr U8 SHRMEM_DHCP{280};                  // 0 = DHCP, else static addresses
inline constexpr Text SHRMEM_ETH0_MAC{282, 18};        // "aa:bb:cc:dd:ee:ff"
inline constexpr Ipv4 SHRMEM_FW_SERVER_IP{300};
inline constexpr Ipv4 SHRMEM_ADDRESS_SLOT_304{304};
inline constexpr Ipv4 SHRMEM_SNMP_TRAP_IP{344};
inline constexpr Bytes SHRMEM_RATE_TABLE{352, 48};     // 24 hourly entries, 16-bit high byte first
inline constexpr U16 RateTableEntry(unsigned hour) { return U16{352 + 2 * (hour % 24)}; }
inline constexpr Ipv4 SHRMEM_NTP_SERVER_IP{400};
inline constexpr Ipv4 SHRMEM_ADDRESS_SLOT_404{404};
inline constexpr U8 SHRMEM_STOP_CHARGING{410};         // stop request and reason, 0 = none
inline constexpr U8 SHRMEM_STOP_BUTTON{412};           // 0x02 stop request, 0x08 emergency button
inline constexpr Ipv4 SHRMEM_ADDRESS_SLOT_433{433};
inline constexpr U8 SHRMEM_MAX_OUTPUT_POWER{443};      // kW
inline constexpr U8 SHRMEM_MAX_CHARGING_DURATION{444};
inline constexpr U8 SHRMEM_ENERGY_TO_DELIVER{452};     // kWh
inline constexpr U32 SHRMEM_VALUE_459{459};
inline constexpr U8 SHRMEM_BYTE_467{467};
inline constexpr U8 SHRMEM_CLOCK_CHANGED{469};
inline constexpr U8 SHRMEM_CCS_SELECTED{475};          // 1 = CCS is the active connector
inline constexpr U16 SHRMEM_AVAILABLE_POWER{515};      // W
inline constexpr U8 SHRMEM_MAX_CHARGE_TIME{2048};      // minutes

// Native little-endian exceptions.
inline constexpr S32Le SHRMEM_CONNECTION_TIMEOUT{463};  // s
inline constexpr S32Le SHRMEM_ENERGY_OFFSET{2029};   // Wh

// Texts.
inline constexpr Text SHRMEM_MODEL_NAME{1024, 64};
inline constexpr Text SHRMEM_STATION_NAME{1088, 32};
inline constexpr Text SHRMEM_SERIAL_NUMBER{1120, 32};
inline constexpr Text SHRMEM_LOCATION{1152, 32};
inline constexpr Text SHRMEM_REMAIN_TIME_TEXT{1216, 32};
inline constexpr Text SHRMEM_PASS_TIME_TEXT{1248, 32};
inline constexpr Text SHRMEM_TEXT_SLOT_1280{1280, 32};
inline constexpr Text SHRMEM_SNMP_COMMUNITY{1312, 32};
inline constexpr Text SHRMEM_TEXT_SLOT_1344{1344, 32};
inline constexpr Text SHRMEM_SNMP_SEC_LEVEL{1376, 16};
inline constexpr Text SHRMEM_SNMP_AUTH_PROTO{1392, 8};
inline constexpr Text SHRMEM_SNMP_AUTH_PASS{1400, 32};
inline constexpr Text SHRMEM_SNMP_PRIV_PROTO{1432, 8};
inline constexpr Text SHRMEM_SNMP_PRIV_PASS{1440, 32};
inline constexpr Text SHRMEM_OUTPUT_ENERGY_TEXT{1472, 32};
inline constexpr Text SHRMEM_ID_TAG{1504, 32};

// ---- Alarm bit map (312-343) -------------------------------------------------
inline constexpr Bytes SHRMEM_ALARM_MAP{312, 32};
inline constexpr Bits ALARM_CCS_BOARD_COMM{312, 0x20};
inline constexpr Bits ALARM_BOOT_ENV_UPDATE{313, 0x02};
inline constexpr Bits ALARM_CCS_BOARD_UPDATE{313, 0x04};
inline constexpr Bits ALARM_DISPLAY_COMM{313, 0x20};
inline constexpr Bits ALARM_GFD_SELFTEST{314, 0x10};
inline constexpr Bits ALARM_GFD_PREWARNING{314, 0x80};
inline constexpr Bits ALARM_CONTACTOR_FEEDBACK{315, 0x40};
inline constexpr Bits ALARM_GFD{315, 0x80};
inline constexpr Bits ALARM_EMERGENCY_BUTTON{316, 0x10};
inline constexpr Bits ALARM_CONNECTOR_SENSOR_BROKEN{321, 0x04};
inline constexpr Bits ALARM_CONNECTOR_OTP{321, 0x08};
inline constexpr Bits ALARM_CCS_PROXIMITY_DISCONNECT{321, 0x10};
inline constexpr Bits ALARM_SURGE_PROTECTION{343, 0x02};
inline constexpr Bits ALARM_MEMORY_LEAKAGE{343, 0x20};
inline constexpr Bits ALARM_INIT_FAIL{343, 0x40};

// ---- CCS status block (2160-2220), same offsets on both boards ----------------
inline constexpr U8 SHRMEM_CCS_PILOT_STATE{2160};
inline constexpr U8 SHRMEM_CCS_BYTE_2161{2161};
inline constexpr U8 SHRMEM_CCS_RESPONSE_CODE{2162};
inline constexpr U8 SHRMEM_CCS_EV_READY{2163};
inline constexpr U8 SHRMEM_CCS_EV_ERROR_CODE{2164};
inline constexpr U8 SHRMEM_CCS_EV_SOC{2165};
inline constexpr U8 SHRMEM_CCS_EV_MAX_CURRENT{2166};
inline constexpr U8 SHRMEM_CCS_EV_MAX_POWER{2167};
inline constexpr U16 SHRMEM_CCS_EV_MAX_VOLTAGE{2168};
inline constexpr U8 SHRMEM_CCS_EV_ENERGY_CAPACITY{2170};
inline constexpr U8 SHRMEM_CCS_EV_ENERGY_REQUEST{2171};
inline constexpr U8 SHRMEM_CCS_EV_FULL_SOC{2172};
inline constexpr U8 SHRMEM_CCS_EV_BULK_SOC{2173};
inline constexpr U8 SHRMEM_CCS_EVSE_ISOLATION{2174};
inline constexpr U8 SHRMEM_CCS_EVSE_STATUS_CODE{2175};
inline constexpr U8 SHRMEM_CCS_EVSE_MAX_CURRENT{2176};
inline constexpr U8 SHRMEM_CCS_EVSE_MAX_POWER{2177};
inline constexpr U16 SHRMEM_CCS_EVSE_MAX_VOLTAGE{2178};
inline constexpr U8 SHRMEM_CCS_EVSE_MIN_CURRENT{2180};
inline constexpr U16 SHRMEM_CCS_EVSE_MIN_VOLTAGE{2181};
inline constexpr U8 SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER{2183};
inline constexpr U16 SHRMEM_CCS_EV_TARGET_VOLTAGE{2184};
inline constexpr U8 SHRMEM_CCS_EV_TARGET_CURRENT{2186};
inline constexpr U16 SHRMEM_CCS_EVSE_PRESENT_VOLTAGE{2187};
inline constexpr U8 SHRMEM_CCS_EV_READY_TO_CHARGE{2189};
inline constexpr U8 SHRMEM_CCS_EV_BULK_COMPLETE{2190};
inline constexpr U8 SHRMEM_CCS_EV_CHARGING_COMPLETE{2191};
inline constexpr U16 SHRMEM_CCS_EV_TIME_TO_FULL{2192};
inline constexpr U16 SHRMEM_CCS_EV_TIME_TO_BULK{2194};
inline constexpr U8 SHRMEM_CCS_EVSE_PRESENT_CURRENT{2196};  // main board: written by the module manager
inline constexpr U32 SHRMEM_CCS_PLC_STATUS{2197};
inline constexpr U8 SHRMEM_CCS_EVSE_PROCESSING{2201};
inline constexpr U8 SHRMEM_CCS_EV_PROXIMITY{2202};
inline constexpr U8 SHRMEM_CCS_CPD_PROCESSING{2203};

// ---- Event bit blocks ----------------------------------------------------------
inline constexpr Bytes SHRMEM_SYS_EVT{21529, 4};        // ptSysEvt, 32 bits
inline constexpr Bytes SHRMEM_DIN_EVT{21533, 11};       // ptDINEvt, 88 bits
inline constexpr S16Le SHRMEM_OCPP_CURRENT_LIMIT{21506};  // A, negative = none
inline constexpr S32Le SHRMEM_OCPP_POWER_LIMIT{21508};    // W, negative = none
inline constexpr S16Le SHRMEM_SMR_AVAIL_CURRENT{21512};   // A
inline constexpr U8 SHRMEM_CURRENT_CAP{21608};            // A

// ---- Charge state the station controller writes (main board) -----------------------
namespace mainb {
inline constexpr U8 SHRMEM_PLUG_IN{21516};                // bit 0 connector 1, bit 1 connector 2 plugged
inline constexpr U8 SHRMEM_CHARGE_END{21563};             // non-zero once charging has ended
inline constexpr U8 SHRMEM_ENERGY_HOLD{21603};            // non-zero: the energy register is not to be read
inline constexpr U8 SHRMEM_CHADEMO_SOC_REFERENCE{2055};   // EV frame 0x100 byte 6, 1 %/bit
inline constexpr U8 SHRMEM_CHADEMO_SOC{2071};             // EV frame 0x102 byte 6, 1 %/bit
}  // namespace mainb

// ---- CCS board only --------------------------------------------------------------
namespace ccsb {
inline constexpr U16Le SHRMEM_CCS_PLUG_TEMP_SUM{438};     // six-sample sum, low byte first
inline constexpr U8 SHRMEM_CCS_CPD_DONE{2204};            // ChargeParameterDiscovery seen
inline constexpr U16 SHRMEM_CCS_BOARD_ALARM{2205};        // two bytes of alarm bits
inline constexpr U8 SHRMEM_CCS_PEV_MAC_VALID{2207};
inline constexpr Bytes SHRMEM_CCS_PEV_MAC{2208, 6};       // wire order
inline constexpr Bytes SHRMEM_SETTINGS_MIRROR{196608, 65536};
}  // namespace ccsb

// ---- Main board only -------------------------------------------------------------
namespace mainb {
inline constexpr U8 SHRMEM_MAX_OUTPUT_CURRENT{2204};      // A, rated output current
inline constexpr Bytes SHRMEM_CCS_PEV_MAC_COPY{2214, 7};  // flag + EV MAC from the status frame
}  // namespace mainb

// ---- Board link (settings and status frames, GFD self-test, CCS session events) ----
inline constexpr U8 SHRMEM_GFD_SELFTEST{108};             // 0x80 start; answer 1 failed, 0 passed
inline constexpr U8 SHRMEM_CCS_RELAYED_BYTE{476};         // carried in status-frame byte 27
inline constexpr U8 SHRMEM_CHARGE_STEP{21562};            // station charging step; 0, 1, 6 = none
inline constexpr Bits SYSEVT_CCS_PILOT_BROKEN{21529, 0x10};  // ptSysEvt entry 4
namespace ccsb {
inline constexpr U8 SHRMEM_RESET_NOTICE{474};             // settings-frame byte 10
inline constexpr U8 SHRMEM_SETTING_482{482};              // settings-frame byte 12
inline constexpr U8 SHRMEM_SYSTEM_READY{21505};           // settings-frame byte 14
inline constexpr U8 SHRMEM_CCS_FW_WRITING{7142};
}  // namespace ccsb
namespace mainb {
inline constexpr Bytes SHRMEM_CCS_FW_VERSION{517, 4};     // 517-520, lowest byte first (frame order)
inline constexpr U8 SHRMEM_CCS_FW_VERSION_LOW{517};
inline constexpr U16Le SHRMEM_CCS_PLUG_TEMP{521};         // 521-522, the CCS board's plug-temperature sum
inline constexpr U8 SHRMEM_CCS_SETTING12{525};            // sent in settings-frame byte 12
inline constexpr U8 SHRMEM_PEV_MAC_REPORT{939};           // non-zero = copy the EV MAC report
inline constexpr U8 SHRMEM_CCS_POWER_LIMIT{21544};        // kW, as last sent
inline constexpr U8 SHRMEM_CCS_CURRENT_LIMIT{21545};      // A, as last sent
inline constexpr U8 SHRMEM_CCS_SETTING14{21547};          // 2 = do not take the CCS set-point
inline constexpr U8 SHRMEM_CCS_ALARM{21568};              // pCCSalarm, 21568-21569
inline constexpr U8 SHRMEM_CCS_ALARM2{21569};
inline constexpr Bits CCSALARM_EVSE_MIN_OVER_EV_MAX{21568, 0x01};
inline constexpr Bits CCSALARM_VOLT_CMD_RANGE{21568, 0x02};
inline constexpr Bits CCSALARM_CURR_CMD_RANGE{21568, 0x04};
inline constexpr Bits CCSALARM_PILOT_BROKEN{21568, 0x10};
inline constexpr U8 SHRMEM_CCS_SETTING10{21570};          // sent in settings-frame byte 10
}  // namespace mainb

// ---- Alarm reporting: SNMP trap target, OCPP selection, CHAdeMO alarm blocks ------
inline constexpr Text SHRMEM_SNMP_TRAP_PORT{508, 6};      // decimal text
inline constexpr U8 SHRMEM_OCPP_ENABLE{481};              // bit 0 = OCPP reporting on
inline constexpr U8 SHRMEM_OCPP_MODE{514};                // 0, 1 = OCPP 1.5; 2, 3 = OCPP 1.6J
inline constexpr Text SHRMEM_OCPP_URL{1536, 256};         // empty = no central system
inline constexpr Bytes SHRMEM_CHADEMO_ALARM{21517, 4};    // pChaDeMoAlarm
inline constexpr Bytes SHRMEM_CHADEMO_ALARM_MEM{21523, 6};  // pChaDeMoAlarmMem, force bits
namespace mainb {
inline constexpr U8 SHRMEM_SYSTEM_READY{21505};           // 1 = the OCPP 1.6J managers may run
}  // namespace mainb

// ---- OCPP 1.5 request bytes and the status record the alarm manager fills ----------
inline constexpr U8 SHRMEM_OCPP15_CP_REQUEST{445};        // 0x08 = status record pending
inline constexpr U8 SHRMEM_OCPP15_CS_REQUEST2{448};       // 0x80 = central system answers
inline constexpr S32Le OCPP15_STS_CONNECTOR{3239};
inline constexpr U8 OCPP15_STS_STATUS{3243};
inline constexpr U8 OCPP15_STS_ERROR_CODE{3244};
inline constexpr Text OCPP15_STS_INFO{3245, 50};
inline constexpr S32Le OCPP15_STS_TIMESTAMP{3295};        // seconds since the epoch
inline constexpr Text OCPP15_STS_VENDOR_ID{3299, 255};
inline constexpr Text OCPP15_STS_VENDOR_ERROR{3554, 50};
inline constexpr U8 SHRMEM_AVAILABILITY{451};             // 1 = Inoperative
inline constexpr U8 SHRMEM_OCPP15_RESERVED{7388};         // non-zero = a reservation holds the connector
inline constexpr U8 SHRMEM_OCPP15_RESET_TYPE{7389};       // 0 hard, 1 soft
inline constexpr U8 SHRMEM_OCPP15_FW_STATE{7909};         // 2 and above: downloaded or installing
inline constexpr U8 SHRMEM_OCPP15_RESET_PENDING{7910};    // non-zero = an accepted reset pends

// ---- Cellular modem (main board): identity, radio state, uplink, test mailbox ----
namespace mainb {
inline constexpr Text SHRMEM_3G_IP{728, 30};              // ppp0 address, empty while the link is down
inline constexpr U8 SHRMEM_3G_BAND_LOCK{938};             // non-zero: lock to the serving 4G band
inline constexpr Text SHRMEM_3G_ICCID{1856, 32};
inline constexpr Text SHRMEM_3G_IMSI{1888, 32};
inline constexpr Text SHRMEM_3G_APN{1921, 32};            // configured APN
inline constexpr Text SHRMEM_3G_OPERATOR{1953, 32};       // as the module quotes it, or "No Connect"
inline constexpr Text SHRMEM_3G_MODEL{20480, 32};
inline constexpr Text SHRMEM_3G_REVISION{20512, 32};
inline constexpr Text SHRMEM_3G_IMEI{20544, 16};
inline constexpr Text SHRMEM_3G_MODEM_IMSI{20560, 16};
inline constexpr U8 SHRMEM_3G_MODEM_RSSI{20576};          // AT+CSQ index, 99 = unknown
inline constexpr U8 SHRMEM_3G_MODEM_RSRQ{20577};          // AT+CESQ index, 255 = unknown
inline constexpr U8 SHRMEM_3G_MODEM_RSRP{20578};
inline constexpr Text SHRMEM_3G_SERVICE_STATUS{20579, 32};
inline constexpr Text SHRMEM_3G_SERVICE_DOMAIN{20611, 32};
inline constexpr Text SHRMEM_3G_ROAM_STATUS{20643, 32};
inline constexpr Text SHRMEM_3G_SYSTEM_MODE{20675, 32};
inline constexpr Text SHRMEM_3G_SIM_STATE{20707, 32};
inline constexpr Text SHRMEM_3G_SYSTEM_SUBMODE{20739, 32};
inline constexpr U8 SHRMEM_3G_RF_TEST_CMD{21564};         // 0 normal, 1 reset, 2 Tx, 3 Rx, 255 leave
inline constexpr U8 SHRMEM_3G_RF_TEST_BAND{21565};
inline constexpr U8 SHRMEM_3G_RF_TEST_BAND_TYPE{21566};   // 0 = 4G, 1 = 3G
inline constexpr U8 SHRMEM_3G_RF_TEST_TX_LEVEL{21567};    // signed
inline constexpr Text SHRMEM_3G_ACCESS_TECH{21571, 32};
inline constexpr U8 SHRMEM_3G_RF_TX_RESULT{21611};
inline constexpr U8 SHRMEM_3G_RF_RX_POWER{21612};         // signed dBm, 127 = no measurement
inline constexpr Bits ALARM_3G_MODULE_FAIL{339, 0x01};    // module missing for 210 s
inline constexpr Bits ALARM_3G_DISCONNECTED{339, 0x04};   // ppp0 without address
}  // namespace mainb

}  // namespace regmap
