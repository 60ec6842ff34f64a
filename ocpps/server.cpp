#include "server.h"

#include <sys/stat.h>

#include <cstring>
#include <iostream>
#include <vector>

#include "clock.h"
#include "config_keys.h"
#include "local_list.h"
#include "paths.h"
#include "regmap_fields.h"
#include "syslog.h"

namespace ocpps {

namespace {

constexpr std::uint8_t kTlsMode = 0x01;  // byte 514
constexpr int kAcceptTimeoutS = 5;
constexpr int kIoTimeoutS = 30;
constexpr std::int64_t kBindPauseMs = 1000;
constexpr const char* kFaultAction = "http://www.w3.org/2005/08/addressing/soap/fault";

void ReceiveLog(const std::string& message) { common::RecordSysLog("[OCPP]ReceiveThread:" + message); }

// The reply's header from the request's: RelatesTo its MessageID, the given
// Action (also the content type's action), no MessageID and no
// ns1:chargeBoxIdentity; ns2:chargeBoxIdentity, From, ReplyTo, FaultTo, To
// and ChannelInstance as received. Built by hand: the addressing plug-in
// would answer to ReplyTo and rewrite To.
void ReplyHeader(struct soap* soap, const char* action) {
    soap->action = soap_strdup(soap, action);
    SOAP_ENV__Header* h = soap->header;
    if (h == nullptr) return;
    h->ns1__chargeBoxIdentity = nullptr;
    h->wsa5__Action = soap_strdup(soap, action);
    h->wsa5__RelatesTo = nullptr;
    if (h->wsa5__MessageID != nullptr) {
        auto* r = static_cast<wsa5__RelatesToType*>(soap_malloc(soap, sizeof(wsa5__RelatesToType)));
        soap_default_wsa5__RelatesToType(soap, r);
        r->__item = h->wsa5__MessageID;
        h->wsa5__RelatesTo = r;
    }
    h->wsa5__MessageID = nullptr;
}

// A location without its scheme: the text after the first "//", else all.
std::string WithoutScheme(const std::string& location) {
    const std::size_t at = location.find("//");
    return at == std::string::npos ? location : location.substr(at + 2);
}

template <class Enum>
bool StatusOf(std::uint8_t code, Enum last, Enum* out) {
    if (code > static_cast<std::uint8_t>(last)) return false;
    *out = static_cast<Enum>(code);
    return true;
}

}  // namespace

ChargePointServer::ChargePointServer(regmap::RegisterMap map, std::int64_t waitMs)
    : ChargePointServiceSoapService(SOAP_XML_STRICT, SOAP_XML_INDENT), map_(map), waitMs_(waitMs) {}

int ChargePointServer::ServeRequest() {
    struct soap* s = soap;
    int result = SOAP_OK;
    if (soap_begin_serve(s) != SOAP_OK) {
        result = s->error;
    } else if (std::strcmp(s->path, kServerPath) != 0) {
        result = soap_send_empty_response(s, 404);
    } else if (dispatch() != SOAP_OK) {
        result = s->error;
    }
    if (result != SOAP_OK && s->error != SOAP_OK && s->error < SOAP_STOP) {
        // A fault answers nothing in particular: its header relates to the
        // request but does not claim an operation's answer.
        ReplyHeader(s, kFaultAction);
        soap_send_fault(s);
    }
    soap_destroy(s);
    soap_end(s);
    return result;
}

int ChargePointServer::Refuse(const std::string& why) { return soap_sender_fault(soap, why.c_str(), nullptr); }

bool ChargePointServer::Fits(const std::string& text, regmap::Text slot, const char* field) {
    if (text.size() <= slot.size) return true;
    Refuse(std::string(field) + " is longer than " + std::to_string(slot.size) + " characters");
    return false;
}

int ChargePointServer::Await(Command c, const char* operation) {
    if (HandOverCommand(map_, c, waitMs_) == HandOver::Withdrawn) {
        ReceiveLog(std::string(operation) + " withdrawn: the main process did not take it in time");
        return soap_receiver_fault(soap, "the charge point did not execute the command in time", nullptr);
    }
    ReplyHeader(soap, (std::string("/") + operation + "Response").c_str());
    return SOAP_OK;
}

#define QUILLON_STATUS(code, last, out)                                                   \
    do {                                                                                  \
        if (!StatusOf(code, last, &(out))) return soap_receiver_fault(soap, "no valid answer", nullptr); \
    } while (0)

int ChargePointServer::UnlockConnector(ns1__UnlockConnectorRequest* req, ns1__UnlockConnectorResponse& res) {
    map_.set(cmd::UNLOCK_CONNECTOR_ID, req->connectorId);
    if (const int r = Await(command::UnlockConnector, "UnlockConnector")) return r;
    QUILLON_STATUS(map_.get(cmd::UNLOCK_STATUS), ns1__UnlockStatus::Rejected, res.status);
    return SOAP_OK;
}

int ChargePointServer::Reset(ns1__ResetRequest* req, ns1__ResetResponse& res) {
    map_.set(cmd::RESET_TYPE, static_cast<std::uint8_t>(req->type));
    if (const int r = Await(command::Reset, "Reset")) return r;
    QUILLON_STATUS(map_.get(cmd::RESET_STATUS), ns1__ResetStatus::Rejected, res.status);
    return SOAP_OK;
}

int ChargePointServer::ChangeAvailability(ns1__ChangeAvailabilityRequest* req, ns1__ChangeAvailabilityResponse& res) {
    map_.set(cmd::AVAIL_CONNECTOR_ID, req->connectorId);
    map_.set(cmd::AVAIL_TYPE, static_cast<std::uint8_t>(req->type));
    if (const int r = Await(command::ChangeAvailability, "ChangeAvailability")) return r;
    QUILLON_STATUS(map_.get(cmd::AVAIL_STATUS), ns1__AvailabilityStatus::Scheduled, res.status);
    return SOAP_OK;
}

int ChargePointServer::GetDiagnostics(ns1__GetDiagnosticsRequest* req, ns1__GetDiagnosticsResponse& res) {
    const std::string location = WithoutScheme(req->location);
    if (!Fits(location, cmd::DIAG_LOCATION, "location")) return soap->error;
    map_.set(cmd::DIAG_START_TIME, static_cast<std::int32_t>(req->startTime ? *req->startTime : 0));
    PutText(map_, cmd::DIAG_LOCATION, location);
    if (const int r = Await(command::GetDiagnostics, "GetDiagnostics")) return r;
    res.fileName = soap_new_std__string(soap);
    *res.fileName = GetText(map_, cmd::DIAG_FILE_NAME);
    return SOAP_OK;
}

int ChargePointServer::ClearCache(ns1__ClearCacheRequest*, ns1__ClearCacheResponse& res) {
    if (const int r = Await(command::ClearCache, "ClearCache")) return r;
    QUILLON_STATUS(map_.get(cmd::CLEAR_CACHE_STATUS), ns1__ClearCacheStatus::Rejected, res.status);
    return SOAP_OK;
}

int ChargePointServer::UpdateFirmware(ns1__UpdateFirmwareRequest* req, ns1__UpdateFirmwareResponse&) {
    const std::string location = WithoutScheme(req->location);
    if (!Fits(location, cmd::LOCATION_DATA, "location")) return soap->error;
    map_.set(cmd::FW_RETRIEVE_DATE, static_cast<std::int32_t>(req->retrieveDate));
    PutText(map_, cmd::LOCATION_DATA, location);
    if (req->retries) map_.set(cmd::FW_RETRIES, *req->retries);
    if (req->retryInterval) map_.set(cmd::FW_RETRY_INTERVAL, *req->retryInterval);
    return Await(command::UpdateFirmware, "UpdateFirmware");
}

int ChargePointServer::ChangeConfiguration(ns1__ChangeConfigurationRequest* req,
                                           ns1__ChangeConfigurationResponse& res) {
    if (!Fits(req->key, cmd::CONFIG_KEY, "key") || !Fits(req->value, cmd::CONFIG_VALUE, "value")) return soap->error;
    PutText(map_, cmd::CONFIG_KEY, req->key);
    PutText(map_, cmd::CONFIG_VALUE, req->value);
    if (const int r = Await(command::ChangeConfiguration, "ChangeConfiguration")) return r;
    QUILLON_STATUS(map_.get(cmd::CONFIG_STATUS), ns1__ConfigurationStatus::NotSupported, res.status);
    return SOAP_OK;
}

int ChargePointServer::RemoteStartTransaction(ns1__RemoteStartTransactionRequest* req,
                                              ns1__RemoteStartTransactionResponse& res) {
    if (!Fits(req->idTag, cmd::RSTART_ID_TAG, "idTag")) return soap->error;
    PutText(map_, cmd::RSTART_ID_TAG, req->idTag);
    if (req->connectorId) map_.set(cmd::RSTART_CONNECTOR_ID, *req->connectorId);
    if (const int r = Await(command::RemoteStartTransaction, "RemoteStartTransaction")) return r;
    QUILLON_STATUS(map_.get(cmd::RSTART_STATUS), ns1__RemoteStartStopStatus::Rejected, res.status);
    return SOAP_OK;
}

int ChargePointServer::RemoteStopTransaction(ns1__RemoteStopTransactionRequest* req,
                                             ns1__RemoteStopTransactionResponse& res) {
    if (req->transactionId != 0) map_.set(cmd::RSTOP_TXN_ID, req->transactionId);
    if (const int r = Await(command::RemoteStopTransaction, "RemoteStopTransaction")) return r;
    QUILLON_STATUS(map_.get(cmd::RSTOP_STATUS), ns1__RemoteStartStopStatus::Rejected, res.status);
    return SOAP_OK;
}

int ChargePointServer::CancelReservation(ns1__CancelReservationRequest* req, ns1__CancelReservationResponse& res) {
    if (req->reservationId != 0) map_.set(cmd::CANCEL_RSV_ID, req->reservationId);
    if (const int r = Await(command::CancelReservation, "CancelReservation")) return r;
    QUILLON_STATUS(map_.get(cmd::CANCEL_RSV_STATUS), ns1__CancelReservationStatus::Rejected, res.status);
    return SOAP_OK;
}

int ChargePointServer::DataTransfer(ns1__DataTransferRequest* req, ns1__DataTransferResponse& res) {
    const std::string messageId = req->messageId ? *req->messageId : "";
    const std::string data = req->data ? *req->data : "";
    if (!Fits(req->vendorId, cmd::DT_VENDOR_ID, "vendorId") || !Fits(messageId, cmd::DT_MESSAGE_ID, "messageId") ||
        !Fits(data, cmd::LOCATION_DATA, "data")) {
        return soap->error;
    }
    PutText(map_, cmd::DT_VENDOR_ID, req->vendorId);
    PutText(map_, cmd::DT_MESSAGE_ID, messageId);
    PutText(map_, cmd::LOCATION_DATA, data);
    if (const int r = Await(command::DataTransfer, "DataTransfer")) return r;
    QUILLON_STATUS(map_.get(cmd::DT_STATUS), ns1__DataTransferStatus::UnknownVendorId, res.status);
    res.data = soap_new_std__string(soap);
    *res.data = GetText(map_, cmd::LOCATION_DATA);
    return SOAP_OK;
}

int ChargePointServer::GetConfiguration(ns1__GetConfigurationRequest* req, ns1__GetConfigurationResponse& res) {
    // The area holds the first ten keys, cut to its slots; the answer is
    // made from the request's own list, however long.
    std::uint8_t* keys = map_.bytes(cmd::GETCONF_KEYS);
    std::memset(keys, 0, cmd::GETCONF_KEYS.size);
    map_.set(cmd::GETCONF_KEY_COUNT, static_cast<std::int32_t>(req->key.size()));
    for (std::size_t i = 0; i < req->key.size() && i < 10; ++i) {
        std::memcpy(keys + 32 * i, req->key[i].data(), std::min<std::size_t>(req->key[i].size(), 31));
    }
    if (const int r = Await(command::GetConfiguration, "GetConfiguration")) return r;
    const std::vector<ConfigEntry> table = ReadConfigTable(map_);
    auto add = [&](const ConfigEntry& e) {
        ns1__KeyValue* kv = soap_new_ns1__KeyValue(soap);
        kv->key = e.key;
        kv->readonly = e.readonly;
        kv->value = soap_new_std__string(soap);
        *kv->value = e.value;
        res.configurationKey.push_back(kv);
    };
    if (req->key.empty()) {
        for (const ConfigEntry& e : table) add(e);
        return SOAP_OK;
    }
    for (const std::string& k : req->key) {
        const ConfigEntry* e = FindConfigEntry(table, k);
        if (e) add(*e); else res.unknownKey.push_back(k);
    }
    return SOAP_OK;
}

int ChargePointServer::GetLocalListVersion(ns1__GetLocalListVersionRequest*, ns1__GetLocalListVersionResponse& res) {
    if (const int r = Await(command::GetLocalListVersion, "GetLocalListVersion")) return r;
    res.listVersion = map_.get(cmd::LOCAL_LIST_VERSION);
    return SOAP_OK;
}

int ChargePointServer::ReserveNow(ns1__ReserveNowRequest* req, ns1__ReserveNowResponse& res) {
    const std::string parent = req->parentIdTag ? *req->parentIdTag : "";
    if (!Fits(req->idTag, cmd::RSV_ID_TAG, "idTag") || !Fits(parent, cmd::RSV_PARENT_ID_TAG, "parentIdTag")) {
        return soap->error;
    }
    // An active reservation keeps its fields; the main process answers.
    if (map_.get(cmd::RESERVED) == 0) {
        map_.set(cmd::RSV_CONNECTOR_ID, req->connectorId);
        map_.set(cmd::RSV_EXPIRY, static_cast<std::int32_t>(req->expiryDate));
        PutText(map_, cmd::RSV_ID_TAG, req->idTag);
        PutText(map_, cmd::RSV_PARENT_ID_TAG, parent);
        map_.set(cmd::RSV_ID, req->reservationId);
    }
    if (const int r = Await(command::ReserveNow, "ReserveNow")) return r;
    QUILLON_STATUS(map_.get(cmd::RSV_STATUS), ns1__ReservationStatus::Unavailable, res.status);
    return SOAP_OK;
}

int ChargePointServer::SendLocalList(ns1__SendLocalListRequest* req, ns1__SendLocalListResponse& res) {
    std::vector<ListEntry> entries;
    for (const ns1__AuthorisationData* d : req->localAuthorisationList) {
        if (d == nullptr) continue;
        ListEntry e;
        e.idTag = d->idTag;
        if (e.idTag.empty() || e.idTag.find_first_of(":\r\n") != std::string::npos) {
            return Refuse("idTag \"" + e.idTag + "\" cannot stand in the list");
        }
        if (d->idTagInfo) {
            e.hasInfo = true;
            e.status = static_cast<std::uint8_t>(d->idTagInfo->status);
            e.expiry = d->idTagInfo->expiryDate ? static_cast<std::int32_t>(*d->idTagInfo->expiryDate) : 0;
            if (d->idTagInfo->parentIdTag) e.parentIdTag = *d->idTagInfo->parentIdTag;
            if (e.parentIdTag.find_first_of(":\r\n") != std::string::npos) {
                return Refuse("parentIdTag \"" + e.parentIdTag + "\" cannot stand in the list");
            }
        }
        entries.push_back(std::move(e));
    }
    map_.set(cmd::SEND_LIST_STATUS,
             ApplyLocalList(map_, req->updateType == ns1__UpdateType::Full, req->listVersion, entries));
    if (const int r = Await(command::SendLocalList, "SendLocalList")) return r;
    QUILLON_STATUS(map_.get(cmd::SEND_LIST_STATUS), ns1__UpdateStatus::VersionMismatch, res.status);
    return SOAP_OK;
}

#undef QUILLON_STATUS

bool RunServer(regmap::RegisterMap map, int port) {
    platform::Clock& clock = platform::GetClock();
    ChargePointServer server(map);
    struct soap* s = server.soap;
    const bool tls = (map.get(regmap::SHRMEM_OCPP_MODE) & kTlsMode) != 0;
    if (tls) {
        // The key and certificate are the station's secret: a file others
        // can read is not used.
        const std::string file = platform::SystemPath(kServerKeyCertFile);
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || (st.st_mode & 077) != 0) {
            ReceiveLog(std::string("no key and certificate readable by root alone in ") + kServerKeyCertFile);
            return false;
        }
        soap_ssl_init();
        if (soap_ssl_server_context(s, SOAP_SSL_NO_AUTHENTICATION, file.c_str(), nullptr, nullptr, nullptr, nullptr,
                                    nullptr, "ChargeBoxServer") != SOAP_OK) {
            const char* why = *soap_faultstring(s);
            ReceiveLog(std::string("soap_ssl_server_context failure: ") + (why ? why : "unknown"));
            return false;
        }
    }
    s->bind_flags = SO_REUSEADDR;
    s->accept_timeout = kAcceptTimeoutS;
    s->recv_timeout = kIoTimeoutS;
    s->send_timeout = kIoTimeoutS;
    while (!soap_valid_socket(soap_bind(s, nullptr, port, 100))) {
        ReceiveLog("Bind port NG");
        soap_end(s);
        clock.SleepMs(kBindPauseMs);
    }
    for (;;) {
        if (!soap_valid_socket(soap_accept(s))) {
            if (s->errnum != 0) ReceiveLog("soap_accept not a valid socket");
            continue;  // a quiet accept time-out is not an error
        }
        if (tls && soap_ssl_accept(s) != SOAP_OK) {
            soap_stream_fault(s, std::cerr);
            soap_closesock(s);
            soap_end(s);
            continue;
        }
        server.ServeRequest();
        soap_closesock(s);
    }
}

}  // namespace ocpps
