#include "config_keys.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "command_area.h"
#include "regmap_fields.h"
#include "requests.h"
#include "store_flash.h"
#include "syslog.h"

namespace ocpps {

using namespace regmap;
using namespace regmap::mainb;

namespace {

constexpr U8 SHRMEM_AUTH_MODE{442};
constexpr U8 SHRMEM_OFFLINE_POLICY{767};
constexpr U8 SHRMEM_OFFLINE_LIMIT_POWER{2205};
constexpr Bytes SHRMEM_HMI_FW_VERSION{348, 4};

bool Same(const std::string& a, const char* b) { return !a.empty() && strcasecmp(a.c_str(), b) == 0; }

// The whole text as a decimal number, or nothing.
bool Number(const std::string& text, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    *value = v;
    return true;
}

// A settings byte written and persisted in the flash image.
void Persist(RegisterMap map, U8 field, std::uint8_t value) {
    map.set(field, value);
    common::StoreFlash(map, static_cast<std::int32_t>(field.offset), 1);
}

std::string Dec(unsigned v) { return std::to_string(v); }

std::string HmiVersion(RegisterMap map) {
    const std::uint8_t* b = map.bytes(SHRMEM_HMI_FW_VERSION);
    std::string text = "v";
    for (int i = 0; i < 4; ++i) {
        if (i) text += '.';
        text += static_cast<char>((b[i] >> 4) + 0x30);
        text += static_cast<char>((b[i] & 0x0F) + 0x30);
    }
    return text;
}

// Answer texts of the demand-response messages: fields apart by SEP.
const std::string kSep = " \t    \t\t\t\t\t\t\t\t";

std::string TempText(std::uint16_t v) {
    char buf[16];
    if (v >= 41) std::snprintf(buf, sizeof buf, "%d", v - 40); else std::snprintf(buf, sizeof buf, "- %d", 40 - v);
    return buf;
}

std::uint16_t Le16(RegisterMap map, std::uint32_t offset) {
    const std::uint8_t* b = map.bytes(Bytes{offset, 2});
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

double StateOfCharge(RegisterMap map) {
    auto byte = [&](std::uint32_t o) { return map.bytes(Bytes{o, 1})[0]; };
    if (map.get(SHRMEM_CCS_SELECTED) == 1) {
        if (byte(2191) == 1) return 100;
        return byte(2172) == 0 ? 0 : byte(2165) * 100.0 / byte(2172);
    }
    const std::uint8_t protocol = byte(2065);
    if (protocol == 1 || protocol == 2) return byte(2055) == 0 ? 0 : byte(2071) * 100.0 / byte(2055);
    return 0;
}

std::string InformationText(RegisterMap map) {
    const U16 v1{1}, i1{5}, p1{9}, in1{71}, in2{73}, in3{81};
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "output_voltage:%-3.2f,output_current:%-3.2f,output_power:%-3.2f,output_energy:%s,remain_time:%s,"
                  "soc:%-3.2f,pass_time:%s,input_voltage_1:%-3.2f,input_voltage_2:%-3.2f,input_voltage_3:%-3.2f,"
                  "pwm:%d,inlet_temp:%s,outlet_temp:%s",
                  map.get(v1) / 10.0, map.get(i1) / 10.0, map.get(p1) / 1000.0,
                  map.get(SHRMEM_OUTPUT_ENERGY_TEXT).c_str(), map.get(SHRMEM_REMAIN_TIME_TEXT).c_str(),
                  StateOfCharge(map), map.get(SHRMEM_PASS_TIME_TEXT).c_str(), map.get(in1) / 10.0,
                  map.get(in2) / 10.0, map.get(in3) / 10.0, map.get(SHRMEM_CCS_PILOT_STATE) < 3 ? 100 : 5,
                  TempText(Le16(map, 438)).c_str(), TempText(Le16(map, 440)).c_str());
    return buf;
}

std::string ConfigurationText(RegisterMap map) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "eth_ip:%s,eth_mask:%s,eth_gateway:%s,wifi_ip:NOT_SUPPORT,wifi_mask:NOT_SUPPORT,"
                  "wifi_gateway:NOT_SUPPORT,wifi_ssid:NOT_SUPPORT,wifi_rssi:NOT_SUPPORT,3g_ip:%s,3g_apn:%s,3g_signal:%d",
                  map.ipv4Text(SHRMEM_ETH0_IP).c_str(), map.ipv4Text(SHRMEM_ETH0_NETMASK).c_str(),
                  map.ipv4Text(SHRMEM_ETH0_GATEWAY).c_str(), map.get(SHRMEM_3G_IP).c_str(),
                  map.get(SHRMEM_3G_APN).c_str(), map.bytes(Bytes{1985, 1})[0]);
    return buf;
}

// The demand-response messages: their data is a JSON object with a
// "ConnectorsConfig" list of at most three connectors that count.
std::uint8_t DemandResponse(RegisterMap map, const std::string& messageId, const std::string& data,
                            std::string* answer) {
    const bool set = Same(messageId, "SetDRConfig");
    const bool get = Same(messageId, "GetDRConfig");
    const bool status = Same(messageId, "GetStatus");
    if (!set && !get && !status) return 2;
    const nlohmann::json doc = nlohmann::json::parse(data, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("ConnectorsConfig") ||
        !doc["ConnectorsConfig"].is_array()) {
        return 1;  // the request's data goes back
    }
    std::uint8_t result = 1;
    int connector = -1;
    int seen = 0;
    for (const nlohmann::json& c : doc["ConnectorsConfig"]) {
        if (seen == 3) break;
        if (!c.is_object() || !c.contains("ConnectorID") || !c["ConnectorID"].is_number_integer()) continue;
        ++seen;
        if (connector == -1) connector = c["ConnectorID"].get<int>();
        if (!set) {
            result = 0;
            continue;
        }
        if (!c.contains("ChargePointMaxPower") || !c["ChargePointMaxPower"].is_number()) continue;
        const double p = std::max(c["ChargePointMaxPower"].get<double>(), 1000.0);
        Persist(map, SHRMEM_MAX_OUTPUT_POWER, p > 24999 ? 25 : static_cast<std::uint8_t>(static_cast<int>(p) / 1000));
        result = 0;
    }
    connector = std::max(connector, 1);
    const int cpStatus = map.get(OCPP15_STS_STATUS);
    if (status) {
        *answer = "{\"ConnectorsConfig\": [" + kSep + "{" + kSep + "\"ConnectorID\": " + std::to_string(connector) +
                  "," + kSep + "\"Status\": " + std::to_string(cpStatus) + "," + kSep + "}" + kSep + "]}";
        return result;
    }
    std::string message = map.get(OCPP15_STS_INFO);
    if (message.empty()) message = "No Error";
    const int power = map.get(SHRMEM_MAX_OUTPUT_POWER) * 1000;
    *answer = "{\"ConnectorsConfig\": [" + kSep + "{" + kSep + "\"ErrorCode\": " +
              std::to_string(map.get(OCPP15_STS_ERROR_CODE)) + "," + kSep + "\"ErrorMessage\": " +
              nlohmann::json(message).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "," + kSep +
              "\"ConnectorID\": " + std::to_string(connector) + "," + kSep + "\"ChargePointMaxPower\": " +
              std::to_string(power) + "," + kSep + "\"ChargePointMaxCurrent\": 82," + kSep +
              "\"ChargePointMaxVoltage\": 500," + kSep + "\"ChargePointPresentPower\": " + std::to_string(power) + "," +
              kSep + "\"Status\": " + std::to_string(cpStatus) + "," + kSep + "}" + kSep + "]}";
    return result;
}

}  // namespace

void BuildConfigTable(RegisterMap map, int heartbeatIntervalS, int meterIntervalS) {
    const ConfigEntry entries[] = {
        {"SystemSN", true, map.get(SHRMEM_SERIAL_NUMBER)},
        {"SystemFirmwareVersion", true, FirmwareVersionText(map)},
        {"HmiFirmwareVersion", true, HmiVersion(map)},
        {"MaxOutputPower", false, Dec(map.get(SHRMEM_MAX_OUTPUT_POWER))},
        {"MaxChargingduration", false, Dec(map.get(SHRMEM_MAX_CHARGING_DURATION))},
        {"HeartBeatInterval", false, std::to_string(heartbeatIntervalS)},
        {"AuthenticationMode", false, Dec(map.get(SHRMEM_AUTH_MODE))},
        {"OfflinePolicy", false, Dec(map.get(SHRMEM_OFFLINE_POLICY))},
        {"MeterValueSampleInterval", false, std::to_string(meterIntervalS)},
        {"MaxOutputCurrent", false, Dec(map.get(SHRMEM_MAX_OUTPUT_CURRENT))},
        {"OfflineLimitPower", false, Dec(map.get(SHRMEM_OFFLINE_LIMIT_POWER))},
        {"MeterValuesSampledData", true, "Energy.Active.Import.Register,Power.Active.Import,Current.Import,Voltage"},
    };
    std::memset(map.bytes(cmd::CONFIG_TABLE), 0, cmd::CONFIG_TABLE.size);
    std::uint8_t count = 0;
    for (const ConfigEntry& e : entries) {
        const std::uint32_t at = cmd::kConfigTableFirst + cmd::kConfigEntrySize * count;
        map.set(Text{at, 32}, e.key);
        map.set(U8{at + 32}, e.readonly ? 1 : 0);
        map.set(Text{at + 33, 128}, e.value);
        map.set(cmd::CONFIG_TABLE_COUNT, ++count);
    }
}

std::vector<ConfigEntry> ReadConfigTable(RegisterMap map) {
    std::vector<ConfigEntry> table;
    const unsigned count = std::min<unsigned>(map.get(cmd::CONFIG_TABLE_COUNT), 12);
    for (unsigned k = 0; k < count; ++k) {
        const std::uint32_t at = cmd::kConfigTableFirst + cmd::kConfigEntrySize * k;
        table.push_back({map.get(Text{at, 32}), map.get(U8{at + 32}) != 0, map.get(Text{at + 33, 128})});
    }
    return table;
}

const ConfigEntry* FindConfigEntry(const std::vector<ConfigEntry>& table, const std::string& key) {
    for (const ConfigEntry& e : table) {
        if (Same(key, e.key.c_str())) return &e;
    }
    return nullptr;
}

std::uint8_t ChangeConfiguration(RegisterMap map, int* heartbeatIntervalS, int* meterIntervalS) {
    constexpr std::uint8_t kAccepted = 0, kRejected = 1, kNotSupported = 2;
    const std::string key = map.get(cmd::CONFIG_KEY);
    long v = 0;
    const bool number = Number(map.get(cmd::CONFIG_VALUE), &v);
    auto inRange = [&](long lo, long hi) { return number && v >= lo && v <= hi; };
    std::uint8_t status = kRejected;
    struct ByteKey {
        const char* key;
        U8 field;
        long hi;
    };
    static const ByteKey byteKeys[] = {
        {"AuthenticationMode", SHRMEM_AUTH_MODE, 3},
        {"OfflinePolicy", SHRMEM_OFFLINE_POLICY, 4},
        {"MaxOutputCurrent", SHRMEM_MAX_OUTPUT_CURRENT, 254},
        {"OfflineLimitPower", SHRMEM_OFFLINE_LIMIT_POWER, 25},
    };
    const ByteKey* byteKey = nullptr;
    for (const ByteKey& b : byteKeys) {
        if (Same(key, b.key)) byteKey = &b;
    }
    if (byteKey != nullptr) {
        // Authentication mode and offline policy start at 0.
        const long lo = byteKey->field.offset == 442 || byteKey->field.offset == 767 ? 0 : 1;
        if (inRange(lo, byteKey->hi)) {
            Persist(map, byteKey->field, static_cast<std::uint8_t>(v));
            status = kAccepted;
        }
    } else if (Same(key, "HeartBeatInterval")) {
        if (inRange(0, INT32_MAX)) {
            *heartbeatIntervalS = static_cast<int>(v);
            status = kAccepted;
        }
    } else if (Same(key, "MeterValueSampleInterval")) {
        if (inRange(0, INT32_MAX)) {
            std::int32_t value = static_cast<std::int32_t>(v);
            if (FlashRW(true, kMeterIntervalFile, &value)) {
                *meterIntervalS = value;
                status = kAccepted;
            }
        }
    } else if (Same(key, "MaxOutputPower")) {
        // Above the station's 25 kW the limit itself is stored, the value refused.
        if (inRange(1, INT32_MAX)) {
            Persist(map, SHRMEM_MAX_OUTPUT_POWER, static_cast<std::uint8_t>(std::min(v, 25L)));
            status = v <= 25 ? kAccepted : kRejected;
        }
    } else if (Same(key, "MaxChargingDuration")) {
        if (inRange(1, 255)) {
            map.set(SHRMEM_MAX_CHARGING_DURATION, static_cast<std::uint8_t>(v));
            map.set(SHRMEM_MAX_CHARGE_TIME, static_cast<std::uint8_t>(v));
            common::StoreFlash(map, static_cast<std::int32_t>(SHRMEM_MAX_CHARGING_DURATION.offset), 1);
            common::StoreFlash(map, static_cast<std::int32_t>(SHRMEM_MAX_CHARGE_TIME.offset), 1);
            status = kAccepted;
        }
    } else {
        status = kNotSupported;
    }
    map.set(cmd::CONFIG_STATUS, status);
    return status;
}

std::uint8_t DataTransfer(RegisterMap map) {
    const std::string vendor = map.get(cmd::DT_VENDOR_ID);
    const std::string messageId = map.get(cmd::DT_MESSAGE_ID);
    const std::string data = map.get(cmd::LOCATION_DATA);
    std::string answer = data;
    std::uint8_t status = 3;
    if (Same(vendor, kVantoVendorId)) {
        status = 0;
        if (Same(messageId, "information")) answer = InformationText(map);
        else if (Same(messageId, "configuration")) answer = ConfigurationText(map);
        else status = 2;
    } else if (Same(vendor, kDrVendorId)) {
        status = DemandResponse(map, messageId, data, &answer);
    }
    map.set(cmd::DT_STATUS, status);
    map.clear(cmd::LOCATION_DATA);
    map.set(cmd::LOCATION_DATA, answer);
    return status;
}

}  // namespace ocpps
