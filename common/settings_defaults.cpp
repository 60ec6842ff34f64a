#include "settings_defaults.h"

#include <cstring>

#include "crc.h"
#include "regmap_fields.h"

namespace common {

using namespace regmap;

namespace {

struct TextDefault {
    Text field;
    const char* value;
};

struct AddressDefault {
    Ipv4 field;
    const char* value;
};

}  // namespace

void WriteDefaults(RegisterMap& map) {
    // 1. Current rate and the low bytes of the hourly rate table.
    map.set(SHRMEM_RATE_NOW_LOW, 0);
    for (unsigned h = 0; h < 24; ++h) map.set(U8{RateTableEntry(h).offset + 1}, 0);

    // 2. Texts and addresses, in this order.
    static const TextDefault kTexts[] = {
        {SHRMEM_MODEL_NAME, "Vanto Charging Station"},
        {SHRMEM_STATION_NAME, "Vanto Charging Station"},
        {SHRMEM_SERIAL_NUMBER, "0"},
        {SHRMEM_LOCATION, "Location"},
        {SHRMEM_TEXT_SLOT_1280, "0"},
        {SHRMEM_PASS_TIME_TEXT, "0"},
        {SHRMEM_REMAIN_TIME_TEXT, "0"},
        {SHRMEM_SNMP_COMMUNITY, "Vanto"},
        {SHRMEM_TEXT_SLOT_1344, "Vanto"},
        {SHRMEM_SNMP_SEC_LEVEL, "authPriv"},
        {SHRMEM_SNMP_AUTH_PROTO, "MD5"},
        {SHRMEM_SNMP_AUTH_PASS, "tarvodex"},
        {SHRMEM_SNMP_PRIV_PROTO, "DES"},
        {SHRMEM_SNMP_PRIV_PASS, "tarvodex"},
        {SHRMEM_OUTPUT_ENERGY_TEXT, "0"},
        {SHRMEM_ID_TAG, "0"},
    };
    for (const auto& t : kTexts) map.set(t.field, t.value);
    static const AddressDefault kAddresses[] = {
        {SHRMEM_ETH0_IP, "192.168.1.10"},         {SHRMEM_ETH0_NETMASK, "255.255.255.0"},
        {SHRMEM_ETH0_GATEWAY, "192.168.1.254"},   {SHRMEM_FW_SERVER_IP, "192.168.1.1"},
        {SHRMEM_ADDRESS_SLOT_304, "192.168.1.1"}, {SHRMEM_SNMP_TRAP_IP, "192.168.1.1"},
        {SHRMEM_NTP_SERVER_IP, "192.168.1.1"},    {SHRMEM_ADDRESS_SLOT_404, "192.168.1.1"},
        {SHRMEM_ADDRESS_SLOT_433, "192.168.1.1"},
    };
    for (const auto& a : kAddresses) map.setIpv4Text(a.field, a.value);

    // 3. Numbers.
    map.set(SHRMEM_REMAIN_TIME, 0);
    map.set(SHRMEM_MAX_OUTPUT_POWER, 25);
    map.set(SHRMEM_MAX_CHARGING_DURATION, 60);
    map.set(SHRMEM_MAX_CHARGE_TIME, 60);
    map.set(SHRMEM_ENERGY_TO_DELIVER, 255);
    map.set(SHRMEM_VALUE_459, 10000);
    map.set(SHRMEM_CONNECTION_TIMEOUT, 300);
    map.set(SHRMEM_CCS_BYTE_2161, 0);
    map.set(SHRMEM_BYTE_467, 0);
    map.set(SHRMEM_CLOCK_CHANGED, 0);

    // 4. Module parameter block (bytes 218-241 are left as they are).
    static const std::uint16_t kParams[] = {32, 1, 3000, 100, 36768, 17634, 16884, 2, 35718, 35818, 38268};
    for (std::size_t i = 0; i < std::size(kParams); ++i) {
        map.set(U16{SHRMEM_MODULE_PARAMS.offset + 2 * static_cast<std::uint32_t>(i)}, kParams[i]);
    }

    // 5. Its CRC.
    map.set(SHRMEM_PARAM_CRC, CalCrc16(map));

    // 6. The mirror holds the image as it stands now, without the status block.
    std::memcpy(map.bytes(ccsb::SHRMEM_SETTINGS_MIRROR), map.data(), kSettingsImageSize);

    // 7. CCS status block.
    for (std::uint32_t b = SHRMEM_CCS_RESPONSE_CODE.offset; b <= SHRMEM_CCS_EVSE_ISOLATION.offset; ++b) map.set(U8{b}, 0);
    map.set(SHRMEM_CCS_EVSE_STATUS_CODE, 1);
    map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, 125);
    map.set(SHRMEM_CCS_EVSE_MAX_POWER, map.get(SHRMEM_MAX_OUTPUT_POWER));
    map.set(SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
    map.set(SHRMEM_CCS_EVSE_MIN_CURRENT, 0);
    map.set(SHRMEM_CCS_EVSE_MIN_VOLTAGE, 50);
    map.set(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, map.get(SHRMEM_ENERGY_TO_DELIVER));
    map.set(SHRMEM_CCS_EV_TARGET_VOLTAGE, 0);
    map.set(SHRMEM_CCS_EV_TARGET_CURRENT, 0);
    for (std::uint32_t b = SHRMEM_CCS_EV_READY_TO_CHARGE.offset; b <= SHRMEM_CCS_EV_TIME_TO_BULK.offset + 1; ++b) map.set(U8{b}, 0);
    ClearCcsRunTimeFields(map);
}

void ClearCcsRunTimeFields(RegisterMap& map) {
    map.set(SHRMEM_CCS_RESPONSE_CODE, 0);
    // A session's states from before the restart: the main board refuses a
    // status frame that carries one out of its range, which a settings image
    // from flash may well hold.
    for (U8 f : {SHRMEM_CCS_EV_READY, SHRMEM_CCS_EV_ERROR_CODE, SHRMEM_CCS_EVSE_ISOLATION, SHRMEM_CCS_EV_READY_TO_CHARGE,
                 SHRMEM_CCS_EV_BULK_COMPLETE, SHRMEM_CCS_EV_CHARGING_COMPLETE}) {
        map.set(f, 0);
    }
    map.set(SHRMEM_CCS_PLC_STATUS, 0);
    map.set(SHRMEM_CCS_EVSE_PROCESSING, 1);
    map.set(ccsb::SHRMEM_CCS_PEV_MAC_VALID, 0);
    std::memset(map.bytes(ccsb::SHRMEM_CCS_PEV_MAC), 0, ccsb::SHRMEM_CCS_PEV_MAC.size);
}

}  // namespace common
