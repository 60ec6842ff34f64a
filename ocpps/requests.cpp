#include "requests.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "CentralSystemServiceSoap.nsmap"
#include "clock.h"
#include "files.h"
#include "paths.h"
#include "regmap_fields.h"
#include "syslog.h"
#include "wsaapi.h"

namespace ocpps {

using namespace regmap;

namespace {

constexpr std::uint8_t kTls = 0x01;  // byte 514

// The text of a register-map slot, never past its end.
std::string SlotText(const RegisterMap& map, Text t) { return map.get(t); }

std::time_t Now() { return static_cast<std::time_t>(platform::GetClock().WallSeconds()); }

std::string IntText(int v) { return std::to_string(v); }

}  // namespace

bool FlashRW(bool write, const char* path, std::int32_t* value) {
    const std::string file = platform::SystemPath(path);
    if (write) {
        std::uint8_t le[4];
        for (int i = 0; i < 4; ++i) le[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(*value) >> (8 * i));
        return platform::ReplaceFile(file, le, sizeof le);
    }
    std::uint8_t buf[4] = {};
    if (platform::ReadFileBytes(file, buf, sizeof buf) <= 0) {
        *value = 60;
        return true;
    }
    *value = static_cast<std::int32_t>(buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<std::uint32_t>(buf[3]) << 24);
    return true;
}

MeterReading ReadMeter(const RegisterMap& map, std::int32_t* lastEnergyWh) {
    // The energy text is kWh; anything that is not a number reads as 0.
    const std::string text = map.get(SHRMEM_OUTPUT_ENERGY_TEXT);
    char* end = nullptr;
    double kwh = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(kwh)) kwh = 0;
    const double wh = std::clamp(std::trunc(kwh * 1000) + map.get(SHRMEM_ENERGY_OFFSET), -2147483648.0, 2147483647.0);
    *lastEnergyWh = std::max(*lastEnergyWh, static_cast<std::int32_t>(wh));
    char energy[32];
    std::snprintf(energy, sizeof energy, "%.2f", *lastEnergyWh / 1000.0);
    return {energy, IntText(map.get(slot::OUTPUT_POWER) / 1000), IntText(map.get(slot::OUTPUT_CURRENT) / 10),
            IntText(map.get(SHRMEM_GET_V1) / 10)};
}

std::string FirmwareVersionText(const RegisterMap& map) {
    const std::uint32_t v = map.get(SHRMEM_FW_VERSION);
    char buf[16];
    std::snprintf(buf, sizeof buf, "v%02X.%02X.%02X.%02X", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    return buf;
}

std::string OwnAddress(const RegisterMap& map) {
    const Text apn{1921, 32};
    const Text cellularIp{728, 16};
    std::uint32_t ip = 0;
    if ((map.bytes(Bytes{339, 1})[0] & 0x03) == 0 && !map.get(apn).empty() && ParseIpv4(map.get(cellularIp), ip)) {
        return FormatIpv4(ip);
    }
    return map.ipv4Text(SHRMEM_ETH0_IP);
}

std::string OwnEndpoint(const RegisterMap& map, const std::string& address) {
    const bool tls = (map.get(SHRMEM_OCPP_MODE) & kTls) != 0;
    return std::string(tls ? "https://" : "http://") + address + ":8080/ChargeBox/OCPP15";
}

std::string CentralSystemUrl(const RegisterMap& map, std::string* why) {
    const std::uint8_t* url = map.bytes(Bytes{SHRMEM_OCPP_URL.offset, SHRMEM_OCPP_URL.size});
    if (std::memchr(url, 0, SHRMEM_OCPP_URL.size) == nullptr) {
        if (why) *why = "the central-system URL fills its whole slot without an end";
        return "";
    }
    std::string text = map.get(SHRMEM_OCPP_URL);
    if (text.empty() && why) *why = "no central-system URL";
    return text;
}

void StoreIdTagInfo(RegisterMap& map, bool answered, const ns2__IdTagInfo* info, U8 status, S32Le expiry,
                    Bytes parent, bool stopTransaction) {
    if (!answered) {
        map.set(status, 255);
        return;
    }
    if (info == nullptr) {
        if (stopTransaction) map.set(status, 0);
        return;
    }
    map.set(expiry, static_cast<std::int32_t>(info->expiryDate ? *info->expiryDate : Now() + 10));
    std::uint8_t* slot = map.bytes(parent);
    std::memset(slot, 0, parent.size);
    if (info->parentIdTag) {
        std::memcpy(slot, info->parentIdTag->data(), std::min<std::size_t>(info->parentIdTag->size(), parent.size));
    } else {
        slot[0] = '0';
    }
    // The status goes last: the station controller reads the answer by it.
    map.set(status, static_cast<std::uint8_t>(info->status));
}

Requests::Requests(RegisterMap map, Endpoints endpoints)
    : map_(map), endpoints_(std::move(endpoints)), proxy_(SOAP_IO_DEFAULT) {
    proxy_.soap_endpoint = nullptr;
    soap_register_plugin(proxy_.soap, soap_wsa);
    proxy_.soap->connect_timeout = 60;
    proxy_.soap->recv_timeout = 30;
    proxy_.soap->send_timeout = 30;
}

bool Requests::SetUpTls(std::string* why) {
    if ((map_.get(SHRMEM_OCPP_MODE) & kTls) == 0) return true;
    soap_ssl_init();
    const std::string ca = platform::SystemPath(kCentralSystemCaFile);
    // The certificate and the host name are both checked (the runtime's
    // default); a central system that cannot show them is not talked to.
    if (soap_ssl_client_context(proxy_.soap, SOAP_SSL_DEFAULT, nullptr, nullptr, ca.c_str(), nullptr, nullptr) != SOAP_OK) {
        if (why) {
            const char* s = *soap_faultstring(proxy_.soap);
            *why = "CA file " + std::string(kCentralSystemCaFile) + ": " + (s ? s : "unusable");
        }
        return false;
    }
    return true;
}

void Requests::makeHeader(const char* action) {
    proxy_.soap->header = nullptr;
    soap_wsa_request(proxy_.soap, soap_wsa_rand_uuid(proxy_.soap), endpoints_.centralSystem.c_str(), action);
    soap_wsa_add_From(proxy_.soap, endpoints_.own.c_str());
    chargeBoxIdentity_ = SlotText(map_, slot::CHARGE_BOX_ID);
    proxy_.soap->header->ns2__chargeBoxIdentity = &chargeBoxIdentity_;
}

int Requests::Done(int result) {
    if (result != SOAP_OK) proxy_.soap_stream_fault(std::cerr);
    proxy_.destroy();
    return result;
}

int Requests::cmdAuthorize() {
    ns2__AuthorizeRequest req;
    req.idTag = map_.get(SHRMEM_ID_TAG);
    ns2__AuthorizeResponse res;
    makeHeader("/Authorize");
    const int r = proxy_.Authorize(endpoints_.centralSystem.c_str(), "/Authorize", &req, res);
    StoreIdTagInfo(map_, r == SOAP_OK, res.idTagInfo, slot::AUTH_STATUS, slot::AUTH_EXPIRY, slot::AUTH_PARENT, false);
    return Done(r);
}

int Requests::cmdStartTransaction() {
    ns2__StartTransactionRequest req;
    req.connectorId = map_.get(slot::START_CONNECTOR);
    req.idTag = map_.get(SHRMEM_ID_TAG);
    req.timestamp = map_.get(slot::START_TIMESTAMP);
    req.meterStart = map_.get(slot::START_METER);
    int reservation = map_.get(slot::START_RESERVATION);
    req.reservationId = &reservation;
    ns2__StartTransactionResponse res;
    makeHeader("/StartTransaction");
    const int r = proxy_.StartTransaction(endpoints_.centralSystem.c_str(), "/StartTransaction", &req, res);
    if (r == SOAP_OK && res.transactionId != 0) map_.set(slot::TRANSACTION_ID, res.transactionId);
    StoreIdTagInfo(map_, r == SOAP_OK, res.idTagInfo, slot::START_STATUS, slot::START_EXPIRY, slot::START_PARENT, false);
    return Done(r);
}

int Requests::cmdStopTransaction() {
    ns2__StopTransactionRequest req;
    req.transactionId = map_.get(slot::STOP_TRANSACTION);
    std::string idTag = map_.get(SHRMEM_ID_TAG);
    req.idTag = &idTag;
    req.timestamp = map_.get(slot::STOP_TIMESTAMP);
    req.meterStop = map_.get(slot::STOP_METER);
    ns2__StopTransactionResponse res;
    makeHeader("/StopTransaction");
    const int r = proxy_.StopTransaction(endpoints_.centralSystem.c_str(), "/StopTransaction", &req, res);
    StoreIdTagInfo(map_, r == SOAP_OK, res.idTagInfo, slot::STOP_STATUS, slot::STOP_EXPIRY, slot::STOP_PARENT, true);
    return Done(r);
}

int Requests::cmdHeartbeat(std::time_t* currentTime) {
    ns2__HeartbeatRequest req;
    ns2__HeartbeatResponse res;
    makeHeader("/Heartbeat");
    const int r = proxy_.Heartbeat(endpoints_.centralSystem.c_str(), "/Heartbeat", &req, res);
    if (r == SOAP_OK && currentTime) *currentTime = res.currentTime;
    return Done(r);
}

int Requests::cmdStatusNtf() {
    const std::uint8_t status = map_.get(OCPP15_STS_STATUS);
    const std::uint8_t errorCode = map_.get(OCPP15_STS_ERROR_CODE);
    // A code outside the schema's list would go out as a bare number.
    if (status > static_cast<int>(ns2__ChargePointStatus::Reserved) ||
        errorCode > static_cast<int>(ns2__ChargePointErrorCode::OtherError)) {
        common::RecordSysLogf("[OCPP]main:StatusNotification not sent: status %u or errorCode %u is not an OCPP 1.5 code",
                              status, errorCode);
        return SOAP_TYPE;
    }
    map_.clear(OCPP15_STS_VENDOR_ID);
    map_.set(OCPP15_STS_VENDOR_ID, map_.get(SHRMEM_MODEL_NAME));
    ns2__StatusNotificationRequest req;
    req.connectorId = map_.get(OCPP15_STS_CONNECTOR);
    req.status = static_cast<ns2__ChargePointStatus>(status);
    req.errorCode = static_cast<ns2__ChargePointErrorCode>(errorCode);
    std::string info = map_.get(OCPP15_STS_INFO), vendorId = map_.get(OCPP15_STS_VENDOR_ID),
                vendorError = map_.get(OCPP15_STS_VENDOR_ERROR);
    std::time_t timestamp = map_.get(OCPP15_STS_TIMESTAMP);
    req.info = &info;
    req.timestamp = &timestamp;
    req.vendorId = &vendorId;
    req.vendorErrorCode = &vendorError;
    ns2__StatusNotificationResponse res;
    makeHeader("/StatusNotification");
    return Done(proxy_.StatusNotification(endpoints_.centralSystem.c_str(), "/StatusNotification", &req, res));
}

int Requests::cmdMeterValues(const MeterReading& reading) {
    static const ns2__ReadingContext context = ns2__ReadingContext::Sample_x002ePeriodic;
    static const ns2__ValueFormat format = ns2__ValueFormat::Raw;
    static const ns2__Location location = ns2__Location::Body;
    struct Item {
        const std::string* text;
        ns2__Measurand measurand;
        ns2__UnitOfMeasure unit;
    } items[] = {
        {&reading.energyKWh, ns2__Measurand::Energy_x002eActive_x002eImport_x002eRegister, ns2__UnitOfMeasure::kWh},
        {&reading.powerKW, ns2__Measurand::Power_x002eActive_x002eImport, ns2__UnitOfMeasure::kW},
        {&reading.currentA, ns2__Measurand::Current_x002eImport, ns2__UnitOfMeasure::Amp},
        {&reading.voltageV, ns2__Measurand::Voltage, ns2__UnitOfMeasure::Volt},
    };
    ns2__MeterValue values[4];
    ns2__MeterValuesRequest req;
    const std::time_t now = Now();
    for (int i = 0; i < 4; ++i) {
        _ns2__MeterValue_value v;
        v.__item = *items[i].text;
        v.context = const_cast<ns2__ReadingContext*>(&context);
        v.format = const_cast<ns2__ValueFormat*>(&format);
        v.measurand = &items[i].measurand;
        v.location = const_cast<ns2__Location*>(&location);
        v.unit = &items[i].unit;
        values[i].timestamp = now;
        values[i].value.push_back(v);
        req.values.push_back(&values[i]);
    }
    req.connectorId = map_.bytes(Bytes{slot::START_CONNECTOR.offset, 1})[0];  // the connector's first byte
    int transactionId = map_.get(slot::TRANSACTION_ID);
    req.transactionId = &transactionId;
    ns2__MeterValuesResponse res;
    makeHeader("/MeterValues");
    return Done(proxy_.MeterValues(endpoints_.centralSystem.c_str(), "/MeterValues", &req, res));
}

template <class Request, class Response, class Status>
int Requests::SendStatusByte(regmap::U8 field, Status last, const char* action,
                             int (CentralSystemServiceSoapProxy::*call)(const char*, const char*, Request*, Response&)) {
    const std::uint8_t status = map_.get(field);
    // A code beyond the schema's list would go out as a bare number.
    if (status > static_cast<int>(last)) {
        common::RecordSysLogf("[OCPP]main:%s not sent: %u is not an OCPP 1.5 status", action + 1, status);
        return SOAP_TYPE;
    }
    Request req;
    req.status = static_cast<Status>(status);
    Response res;
    makeHeader(action);
    return Done((proxy_.*call)(endpoints_.centralSystem.c_str(), action, &req, res));
}

int Requests::cmdDiagnosticsStatusNtf() {
    return SendStatusByte(slot::DIAGNOSTICS_STATUS, ns2__DiagnosticsStatus::UploadFailed, "/DiagnosticsStatusNotification",
                          &CentralSystemServiceSoapProxy::DiagnosticsStatusNotification);
}

int Requests::cmdFirmwareStatusNtf() {
    return SendStatusByte(slot::FIRMWARE_STATUS, ns2__FirmwareStatus::Installed, "/FirmwareStatusNotification",
                          &CentralSystemServiceSoapProxy::FirmwareStatusNotification);
}

int Requests::cmdBootNtf(BootAnswer* answer) {
    ns2__BootNotificationRequest req;
    req.chargePointVendor = "VANTO";
    req.chargePointModel = map_.get(SHRMEM_MODEL_NAME);
    std::string serial = map_.get(SHRMEM_SERIAL_NUMBER), mac = map_.get(SHRMEM_ETH0_MAC),
                firmware = FirmwareVersionText(map_), iccid = map_.get(slot::ICCID), imsi = map_.get(slot::IMSI),
                meterType = "Increasing";
    req.chargePointSerialNumber = &serial;
    req.chargeBoxSerialNumber = &mac;
    req.firmwareVersion = &firmware;
    req.iccid = &iccid;
    req.imsi = &imsi;
    req.meterType = &meterType;
    req.meterSerialNumber = &mac;
    ns2__BootNotificationResponse res;
    makeHeader("/BootNotification");
    const int r = proxy_.BootNotification(endpoints_.centralSystem.c_str(), "/BootNotification", &req, res);
    if (r == SOAP_OK && answer) {
        answer->accepted = res.status == ns2__RegistrationStatus::Accepted;
        answer->currentTime = res.currentTime;
        answer->heartbeatInterval = res.heartbeatInterval;
    }
    Done(r);
    return r == SOAP_OK ? 1 : 0;
}

}  // namespace ocpps
