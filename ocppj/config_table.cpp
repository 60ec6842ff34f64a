#include "config_table.h"

#include <cstdlib>
#include <cstring>

#include "messages.h"

namespace ocppj {

namespace {

using fennick::ConfigValues;

// Where a key's value lives in configValues.
enum class ValueKind { None, Bool, Int, Len, Text };
struct KeyDef {
    const char* key;
    bool writable;
    int type;
    ValueKind store;
    std::size_t offset;  // within ConfigValues
    std::size_t width;   // text fields: room including the NUL
    const char* constant;
};

#define B(name) ValueKind::Bool, offsetof(ConfigValues, name), 0, nullptr
#define I(name) ValueKind::Int, offsetof(ConfigValues, name), 0, nullptr
#define L(name) ValueKind::Len, offsetof(ConfigValues, name), 0, nullptr
#define T(name, w) ValueKind::Text, offsetof(ConfigValues, name), w, nullptr
#define C(text) ValueKind::None, 0, 0, text

// Table order: core 0-29, local list 30-32, reservation 33, smart charging
// 34-38, vendor keys 39-49.
const KeyDef kKeys[kConfigKeys] = {
    {"AllowOfflineTxForUnknownId", true, 1, B(AllowOfflineTxForUnknownId)},
    {"AuthorizationCacheEnabled", true, 1, B(AuthorizationCacheEnabled)},
    {"AuthorizeRemoteTxRequests", true, 1, B(AuthorizeRemoteTxRequests)},
    {"ClockAlignedDataInterval", true, 2, I(ClockAlignedDataInterval)},
    {"ConnectionTimeOut", true, 2, I(ConnectionTimeOut)},
    {"GetConfigurationMaxKeys", false, 2, C("50")},
    {"HeartbeatInterval", true, 2, I(HeartbeatInterval)},
    {"LocalAuthorizeOffline", true, 1, B(LocalAuthorizeOffline)},
    {"LocalPreAuthorize", true, 1, B(LocalPreAuthorize)},
    {"MeterValuesAlignedData", true, 3, T(MeterValuesAlignedData, 501)},
    {"MeterValuesAlignedDataMaxLength", false, 0, L(MeterValuesAlignedDataMaxLength)},
    {"MeterValuesSampledData", true, 3, T(MeterValuesSampledData, 501)},
    {"MeterValuesSampledDataMaxLength", false, 0, L(MeterValuesSampledDataMaxLength)},
    {"MeterValueSampleInterval", true, 2, I(MeterValueSampleInterval)},
    {"NumberOfConnectors", false, 2, ValueKind::None, 0, 0, nullptr},
    {"ResetRetries", true, 2, I(ResetRetries)},
    {"ConnectorPhaseRotation", true, 3, T(ConnectorPhaseRotation, 501)},
    {"ConnectorPhaseRotationMaxLength", false, 0, L(ConnectorPhaseRotationMaxLength)},
    {"StopTransactionOnEVSideDisconnect", true, 1, B(StopTransactionOnEVSideDisconnect)},
    {"StopTransactionOnInvalidId", true, 1, B(StopTransactionOnInvalidId)},
    {"StopTxnAlignedData", true, 3, T(StopTxnAlignedData, 501)},
    {"StopTxnAlignedDataMaxLength", false, 0, L(StopTxnAlignedDataMaxLength)},
    {"StopTxnSampledData", true, 3, T(StopTxnSampledData, 501)},
    {"StopTxnSampledDataMaxLength", false, 0, L(StopTxnSampledDataMaxLength)},
    {"SupportedFeatureProfiles", false, 3,
     C("Core,FirmwareManagement,LocalAuthListManagement,Reservation,SmartCharging,RemoteTrigger")},
    {"SupportedFeatureProfilesMaxLength", false, 0, C("6")},
    {"TransactionMessageAttempts", true, 2, I(TransactionMessageAttempts)},
    {"TransactionMessageRetryInterval", true, 2, I(TransactionMessageRetryInterval)},
    {"UnlockConnectorOnEVSideDisconnect", true, 1, B(UnlockConnectorOnEVSideDisconnect)},
    {"WebSocketPingInterval", true, 2, I(WebSocketPingInterval)},
    {"LocalAuthListEnabled", true, 1, B(LocalAuthListEnabled)},
    {"LocalAuthListMaxLength", false, 2, C("5000")},
    {"SendLocalListMaxLength", false, 2, C("100")},
    {"ReserveConnectorZeroSupported", false, 1, C("false")},
    {"ChargeProfileMaxStackLevel", false, 2, C("3")},
    {"ChargingScheduleAllowedChargingRateUnit", false, 3, C("Power,Current")},
    {"ChargingScheduleMaxPeriods", false, 2, C("20")},
    {"ConnectorSwitch3to1PhaseSupported", false, 1, C("false")},
    {"MaxChargingProfilesInstalled", false, 2, C("20")},
    {"AuthorizationRequired", true, 1, B(AuthorizationRequired)},
    {"NonAuthorizedTag", true, 3, T(NonAuthorizedTag, 128)},  // at most 127 characters are kept
    {"OfflinePolicy", true, 2, I(OfflinePolicy)},
    {"IsIdTagLittleEndian", true, 1, B(IsIdTagLittleEndian)},
    {"APN", true, 3, T(APN, 32)},
    {"ChapUsername", true, 3, T(ChapUsername, 32)},
    {"ChapPassword", true, 3, T(ChapPassword, 32)},
    {"ServerURL", true, 3, T(ServerURL, 256)},
    {"HTTPBasicAuthEnable", true, 1, B(HTTPBasicAuthEnable)},
    {"AuthorizationKey", true, 3, T(AuthorizationKey, 40)},
    {"ChargeBoxID", true, 3, T(ChargeBoxID, 128)},  // at most 127 characters are kept
};
#undef B
#undef I
#undef L
#undef T
#undef C

const std::uint8_t* Field(const ConfigValues& v, std::size_t off) {
    return reinterpret_cast<const std::uint8_t*>(&v) + off;
}
std::uint8_t* Field(ConfigValues& v, std::size_t off) { return reinterpret_cast<std::uint8_t*>(&v) + off; }

std::int32_t ReadS32(const ConfigValues& v, std::size_t off) {
    std::int32_t n;
    std::memcpy(&n, Field(v, off), 4);
    return n;
}

bool AllDigits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

bool IsItemNeedReboot(const std::string& key) {
    static const char* const kKeysNeedReboot[] = {"APN",        "ChapUsername",        "ChapPassword", "ServerURL",
                                                  "HTTPBasicAuthEnable", "AuthorizationKey", "ChargeBoxID"};
    for (const char* k : kKeysNeedReboot)
        if (key == k) return true;
    return false;
}

bool IsWriteOnly(const std::string& key) { return key == "AuthorizationKey" || key == "ChapPassword"; }

void ConfigTable::Init(const fennick::FennickApp& app) {
    const ConfigValues& v = app.configValues;
    for (int i = 0; i < kConfigKeys; ++i) {
        const KeyDef& d = kKeys[i];
        ConfigEntry& e = entries_[i];
        e.key = d.key;
        e.writable = d.writable;
        e.type = d.type;
        switch (d.store) {
        case ValueKind::Bool:
            e.value = *Field(v, d.offset) == 1 ? "true" : "false";
            break;
        case ValueKind::Int:
            e.value = std::to_string(ReadS32(v, d.offset));
            break;
        case ValueKind::Len:
            e.value = std::to_string(*Field(v, d.offset));
            break;
        case ValueKind::Text: {
            const char* p = reinterpret_cast<const char*>(Field(v, d.offset));
            e.value.assign(p, strnlen(p, d.width - 1));
            break;
        }
        case ValueKind::None:
            e.value = d.constant ? d.constant : "";
            break;
        }
    }
    // Every per-connector array holds five entries.
    std::int32_t n = v.NumberOfConnectors;
    n = n < 1 ? 1 : (n > fennick::kMaxConnectors ? fennick::kMaxConnectors : n);
    entries_[14].value = std::to_string(n);
}

int ConfigTable::ConnectorCount() const { return std::atoi(entries_[14].value.c_str()); }

void ConfigTable::SyncIn(fennick::FennickApp& app) const {
    ConfigValues& v = app.configValues;
    for (int i = 0; i < kConfigKeys; ++i) {
        const KeyDef& d = kKeys[i];
        const ConfigEntry& e = entries_[i];
        if (!d.writable) continue;
        switch (d.store) {
        case ValueKind::Bool:
            *Field(v, d.offset) = e.value == "true" ? 1 : 0;
            break;
        case ValueKind::Int: {
            std::int32_t n = static_cast<std::int32_t>(std::strtol(e.value.c_str(), nullptr, 10));
            std::memcpy(Field(v, d.offset), &n, 4);
            break;
        }
        case ValueKind::Text:
            std::memset(Field(v, d.offset), 0, d.width);
            std::memcpy(Field(v, d.offset), e.value.data(), std::min(e.value.size(), d.width - 1));
            break;
        default:
            break;
        }
    }
    std::atomic_ref<std::uint8_t>(app.configChangedFlag).store(1, std::memory_order_release);
}

const ConfigEntry* ConfigTable::Find(const std::string& key) const {
    for (const ConfigEntry& e : entries_)
        if (e.key == key) return &e;
    return nullptr;
}

std::string ConfigTable::Value(const std::string& key) const {
    const ConfigEntry* e = Find(key);
    return e ? e->value : std::string();
}

bool CheckMeasurandList(const std::string& value, const std::vector<std::string>& supported, std::string* logLine) {
    auto fault = [&](const char* what, std::size_t pos) {
        if (logLine) *logLine = std::string("[Error][MeterMeasurandConfig]") + what + " ConfData=" + value +
                                " Index=" + std::to_string(pos);
        return false;
    };
    std::size_t pos = 0;
    while (pos < value.size()) {
        // One name per item, the longest that matches.
        std::size_t len = 0;
        for (const std::string& name : supported)
            if (name.size() > len && value.compare(pos, name.size(), name) == 0) len = name.size();
        if (len == 0) return fault("Match Error.", pos);
        pos += len;
        if (pos == value.size()) break;
        if (value[pos] != ',') return fault("Format Error, expect ','.", pos);
        if (++pos == value.size()) return fault("Match Error.", pos);  // a list does not end in a comma
    }
    return true;
}

std::string ConfigTable::Change(const std::string& key, const std::string& value,
                                const std::vector<std::string>& supported, std::string* logLine) {
    int idx = -1;
    for (int i = 0; i < kConfigKeys; ++i)
        if (entries_[i].key == key) idx = i;
    if (idx < 0) return "NotSupported";
    ConfigEntry& e = entries_[idx];
    const KeyDef& d = kKeys[idx];
    if (!e.writable) return "Rejected";
    if (e.type == 1 && value != "true" && value != "false") return "Rejected";
    if (e.type == 2) {
        if (!AllDigits(value)) return "Rejected";
        // The value must fit its 32-bit field.
        if (value.size() > 10 || (value.size() == 10 && value > "2147483647")) return "Rejected";
    }
    if (d.store == ValueKind::Text && value.size() > d.width - 1) return "Rejected";
    if ((key == "MeterValuesSampledData" || key == "MeterValuesAlignedData") &&
        !CheckMeasurandList(value, supported, logLine))
        return "Rejected";
    e.value = value;
    return IsItemNeedReboot(key) ? "RebootRequired" : "Accepted";
}

void ConfigTable::Get(Exchange& x) const {
    auto& slot = x.getConfiguration;
    int known = 0, unknown = 0;
    auto put = [&](const ConfigEntry& e) {
        ConfigKeyEntry& out = slot.configurationKey[known++];
        std::memset(&out, 0, sizeof out);
        PutText(out.key, e.key);
        PutText(out.readonly, e.writable ? "false" : "true");
        if (!IsWriteOnly(e.key)) PutText(out.value, e.value);
    };
    if (slot.key[0][0] == '\0') {
        for (const ConfigEntry& e : entries_) put(e);
        return;
    }
    for (const auto& k : slot.key) {
        if (k[0] == '\0') break;
        std::string key = FieldText(k);
        if (const ConfigEntry* e = Find(key)) {
            put(*e);
        } else {
            std::memset(slot.unknownKey[unknown], 0, sizeof slot.unknownKey[unknown]);
            PutText(slot.unknownKey[unknown++], key);
        }
    }
}

}  // namespace ocppj
