#include "requests.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "CentralSystemServiceSoap.nsmap"
#include "clock.h"
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

}  // namespace

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
