#include "ocpp_profile.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

using fennick::ConfigValues;
using fennick::FennickApp;

enum class Kind { Text, Fixed, S32, U8 };  // Fixed: no NUL, zero tail
struct Setting {
    const char* name;
    Kind kind;
    std::size_t offset;  // in FennickApp
    std::size_t width;
};

#define APP_TEXT(f) {#f, Kind::Text, offsetof(FennickApp, f), sizeof(FennickApp::f)}
#define BOOT(f) {#f, Kind::Fixed, offsetof(FennickApp, bootIdentity) + offsetof(fennick::BootIdentity, f), \
                 sizeof(fennick::BootIdentity::f)}
#define CFG(f, kind) {#f, kind, offsetof(FennickApp, configValues) + offsetof(ConfigValues, f), sizeof(ConfigValues::f)}

const Setting kSettings[] = {
    APP_TEXT(chargeBoxIdentity), APP_TEXT(centralSystemUrl), {"tlsEnabled", Kind::U8, offsetof(FennickApp, tlsEnabled), 1},
    APP_TEXT(storagePath), APP_TEXT(diagLogDir1), APP_TEXT(diagLogDir2), APP_TEXT(ocppLogDir),
    APP_TEXT(fwDownloadDir), APP_TEXT(caCertPath), APP_TEXT(diagExtraFile),
    BOOT(chargeBoxSerialNumber), BOOT(chargePointModel), BOOT(chargePointSerialNumber), BOOT(chargePointVendor),
    BOOT(firmwareVersion), BOOT(iccid), BOOT(imsi), BOOT(meterSerialNumber), BOOT(meterType),
    CFG(AllowOfflineTxForUnknownId, Kind::U8), CFG(AuthorizationCacheEnabled, Kind::U8),
    CFG(AuthorizeRemoteTxRequests, Kind::U8), CFG(ClockAlignedDataInterval, Kind::S32),
    CFG(ConnectionTimeOut, Kind::S32), CFG(HeartbeatInterval, Kind::S32), CFG(LocalAuthorizeOffline, Kind::U8),
    CFG(LocalPreAuthorize, Kind::U8), CFG(MeterValuesAlignedData, Kind::Text),
    CFG(MeterValuesAlignedDataMaxLength, Kind::U8), CFG(MeterValuesSampledData, Kind::Text),
    CFG(MeterValuesSampledDataMaxLength, Kind::U8), CFG(MeterValueSampleInterval, Kind::S32),
    CFG(NumberOfConnectors, Kind::S32), CFG(ResetRetries, Kind::S32), CFG(ConnectorPhaseRotation, Kind::Text),
    CFG(ConnectorPhaseRotationMaxLength, Kind::U8), CFG(StopTransactionOnEVSideDisconnect, Kind::U8),
    CFG(StopTransactionOnInvalidId, Kind::U8), CFG(StopTxnAlignedData, Kind::Text),
    CFG(StopTxnAlignedDataMaxLength, Kind::U8), CFG(StopTxnSampledData, Kind::Text),
    CFG(StopTxnSampledDataMaxLength, Kind::U8), CFG(TransactionMessageAttempts, Kind::S32),
    CFG(TransactionMessageRetryInterval, Kind::S32), CFG(UnlockConnectorOnEVSideDisconnect, Kind::U8),
    CFG(WebSocketPingInterval, Kind::S32), CFG(LocalAuthListEnabled, Kind::U8), CFG(AuthorizationRequired, Kind::U8),
    CFG(NonAuthorizedTag, Kind::Text), CFG(OfflinePolicy, Kind::S32), CFG(IsIdTagLittleEndian, Kind::U8),
    CFG(APN, Kind::Text), CFG(ChapUsername, Kind::Text), CFG(ChapPassword, Kind::Text), CFG(ServerURL, Kind::Text),
    CFG(HTTPBasicAuthEnable, Kind::U8), CFG(AuthorizationKey, Kind::Text), CFG(ChargeBoxID, Kind::Text),
};
#undef APP_TEXT
#undef BOOT
#undef CFG

}  // namespace

bool ApplyOcppSetting(FennickApp& app, const std::string& name, const std::string& value) {
    auto* base = reinterpret_cast<std::uint8_t*>(&app);
    if (name == "measurandSupport") {
        std::memset(app.measurandSupport, 0, sizeof app.measurandSupport);
        std::size_t start = 0;
        while (start < value.size()) {
            std::size_t comma = value.find(',', start);
            std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            bool found = false;
            for (std::size_t i = 0; i < fennick::kMeasurandCount; ++i)
                if (item == fennick::MeterMeasurandDefTable[i]) app.measurandSupport[i] = 1, found = true;
            if (!found) return false;
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        return true;
    }
    if (name == "connectorRating") {
        // hasConnectorLock,maxPowerW,minPowerW,maxCurrentA,minCurrentA for every connector
        fennick::ConnectorRating r{};
        char tail = 0;
        unsigned lock = 0;
        if (std::sscanf(value.c_str(), "%u,%f,%f,%f,%f%c", &lock, &r.maxPowerW, &r.minPowerW, &r.maxCurrentA,
                        &r.minCurrentA, &tail) != 5)
            return false;
        r.hasConnectorLock = static_cast<std::uint8_t>(lock != 0);
        for (fennick::ConnectorRating& each : app.connectorRatings) each = r;
        return true;
    }
    for (const Setting& s : kSettings) {
        if (name != s.name) continue;
        std::uint8_t* p = base + s.offset;
        switch (s.kind) {
        case Kind::Text:
        case Kind::Fixed:
            if (value.size() > (s.kind == Kind::Text ? s.width - 1 : s.width)) return false;
            std::memset(p, 0, s.width);
            std::memcpy(p, value.data(), value.size());
            return true;
        case Kind::S32: {
            std::int32_t v = static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
            std::memcpy(p, &v, 4);
            return true;
        }
        case Kind::U8:
            *p = static_cast<std::uint8_t>(std::atoi(value.c_str()));
            return true;
        }
    }
    return false;
}

bool LoadOcppProfile(FennickApp& app, const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos || !ApplyOcppSetting(app, line.substr(0, eq), line.substr(eq + 1))) {
            if (error) *error = path + ":" + std::to_string(n) + ": bad setting";
            return false;
        }
    }
    return true;
}
