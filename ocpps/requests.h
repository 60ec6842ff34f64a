// Quillon's requests to the OCPP 1.5 central system: each builds its message
// from register-map fields, sends it through the generated client stub with
// the WS-Addressing header, and copies the answer back into the map.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "regmap.h"
#include "soapCentralSystemServiceSoapProxy.h"

namespace ocpps {

// Register-map slots of the OCPP 1.5 exchange (numbers are 32-bit little-endian).
namespace slot {
inline constexpr regmap::U8 REQUEST{445};           // charge-point request bits
inline constexpr regmap::U8 ONLINE{448};            // 0x80 = central system answers
inline constexpr regmap::U8 AUTH_STATUS{3092};
inline constexpr regmap::S32Le AUTH_EXPIRY{3093};
inline constexpr regmap::Bytes AUTH_PARENT{3097, 20};
inline constexpr regmap::S32Le START_CONNECTOR{3117};
inline constexpr regmap::S32Le START_TIMESTAMP{3141};
inline constexpr regmap::S32Le START_METER{3145};
inline constexpr regmap::S32Le START_RESERVATION{3149};
inline constexpr regmap::S32Le TRANSACTION_ID{3153};
inline constexpr regmap::U8 START_STATUS{3157};
inline constexpr regmap::S32Le START_EXPIRY{3158};
inline constexpr regmap::Bytes START_PARENT{3162, 20};
inline constexpr regmap::S32Le STOP_TRANSACTION{3182};
inline constexpr regmap::S32Le STOP_TIMESTAMP{3206};
inline constexpr regmap::S32Le STOP_METER{3210};
inline constexpr regmap::U8 STOP_STATUS{3214};
inline constexpr regmap::S32Le STOP_EXPIRY{3215};
inline constexpr regmap::Bytes STOP_PARENT{3219, 20};
inline constexpr regmap::Text CHARGE_BOX_ID{2624, 129};
inline constexpr regmap::Text ICCID{1856, 32};
inline constexpr regmap::Text IMSI{1888, 32};
inline constexpr regmap::U8 DIAGNOSTICS_STATUS{3604};  // 0 Uploaded, 1 UploadFailed
inline constexpr regmap::U8 FIRMWARE_STATUS{3605};     // 0 Downloaded .. 3 Installed
inline constexpr regmap::U16 OUTPUT_CURRENT{5};        // 0.1 A, high byte first
inline constexpr regmap::U16 OUTPUT_POWER{9};          // W, high byte first
}  // namespace slot

// Where the meter-value interval is kept: 4 bytes, little-endian seconds.
inline constexpr const char* kMeterIntervalFile = "/Storage/[OCPP15S]MeterValSmplIntvl";
// The certificate authority the central system's certificate must chain to.
inline constexpr const char* kCentralSystemCaFile = "/Storage/[OCPP15S]CACert.pem";

// Reads (write false) or writes the value of a 4-byte file under the station
// root. A missing or empty file reads as 60; a short one gives its bytes with
// zero upper bytes. False only when a write fails.
bool FlashRW(bool write, const char* path, std::int32_t* value);

// The four values of one MeterValues request, as their texts.
struct MeterReading {
    std::string energyKWh;  // "%.2f"
    std::string powerKW;
    std::string currentA;
    std::string voltageV;
};
// Reads the meter of the register map. The energy register never goes below
// `lastEnergyWh`, which is raised to the value read.
MeterReading ReadMeter(const regmap::RegisterMap& map, std::int32_t* lastEnergyWh);

// Where the requests go and where they come from.
struct Endpoints {
    std::string centralSystem;  // the URL of the register map
    std::string own;            // "http(s)://<own address>:8080/ChargeBox/OCPP15"
};

// "v01.02.0A.1F" for the firmware version bytes 01 02 0A 1F.
std::string FirmwareVersionText(const regmap::RegisterMap& map);
// The station's own address: the cellular one while the modem is attached
// and has an APN and an address, else eth0's.
std::string OwnAddress(const regmap::RegisterMap& map);
// The own endpoint, https when byte 514 selects TLS.
std::string OwnEndpoint(const regmap::RegisterMap& map, const std::string& address);
// The central-system URL, or "" with the reason when the slot holds none.
std::string CentralSystemUrl(const regmap::RegisterMap& map, std::string* why);

// The idTagInfo of an answer into a status byte, an expiry and a parentIdTag
// slot. `answered` false: status 255. No idTagInfo: nothing, or status 0 for
// a StopTransaction.
void StoreIdTagInfo(regmap::RegisterMap& map, bool answered, const ns2__IdTagInfo* info, regmap::U8 status,
                    regmap::S32Le expiry, regmap::Bytes parent, bool stopTransaction);

struct BootAnswer {
    bool accepted = false;
    std::time_t currentTime = 0;
    int heartbeatInterval = 0;
};

class Requests {
public:
    Requests(regmap::RegisterMap map, Endpoints endpoints);
    // With TLS (byte 514 bit 0x01) the central system must show a certificate
    // of the CA file for its host name. False, with the reason, when the CA
    // file cannot be used.
    bool SetUpTls(std::string* why);
    Requests(const Requests&) = delete;
    Requests& operator=(const Requests&) = delete;

    // 0 when answered, else the runtime's error code; the answers are in the map.
    int cmdAuthorize();
    int cmdStartTransaction();
    int cmdStopTransaction();
    int cmdHeartbeat(std::time_t* currentTime);
    int cmdStatusNtf();
    int cmdMeterValues(const MeterReading& reading);
    int cmdDiagnosticsStatusNtf();
    int cmdFirmwareStatusNtf();
    // 1 when answered, 0 otherwise.
    int cmdBootNtf(BootAnswer* answer);

    void SetOwnEndpoint(std::string own) { endpoints_.own = std::move(own); }
    const Endpoints& endpoints() const { return endpoints_; }
    CentralSystemServiceSoapProxy& proxy() { return proxy_; }

private:
    void makeHeader(const char* action);
    template <class Request, class Response, class Status>
    int SendStatusByte(regmap::U8 field, Status last, const char* action,
                       int (CentralSystemServiceSoapProxy::*call)(const char*, const char*, Request*, Response&));
    int Done(int result);

    regmap::RegisterMap map_;
    Endpoints endpoints_;
    std::string chargeBoxIdentity_;
    CentralSystemServiceSoapProxy proxy_;
};

}  // namespace ocpps
