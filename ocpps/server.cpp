#include "server.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <streambuf>
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
constexpr int kHandshakeTimeoutS = 10;
constexpr std::int64_t kBindPauseMs = 1000;
// A peer still sending a refused body is read off for this long, so that it
// sees the refusal instead of a reset connection.
constexpr std::int64_t kDrainMs = 2000;
constexpr const char* kFaultAction = "http://www.w3.org/2005/08/addressing/soap/fault";
constexpr const char* kSoap12 = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* kSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";

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

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default:
            // The reason may quote the peer's bytes: only printable ASCII
            // goes back, so the fault is well-formed whatever they were.
            out += static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E ? '?' : c;
        }
    }
    return out;
}

std::string HttpReply(int status, const char* phrase, const std::string& contentType, const std::string& body,
                      const std::string& fields = "") {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + phrase + "\r\n";
    if (!contentType.empty()) head += "Content-Type: " + contentType + "\r\n";
    return head + fields + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// A SOAP 1.2 Sender fault made here, for requests the runtime never took.
std::string SenderFault(int status, const char* phrase, const std::string& why) {
    const std::string body = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<env:Envelope xmlns:env=\"") + kSoap12 +
                             "\"><env:Body><env:Fault><env:Code><env:Value>env:Sender</env:Value></env:Code>"
                             "<env:Reason><env:Text xml:lang=\"en\">" + XmlEscaped(why) +
                             "</env:Text></env:Reason></env:Fault></env:Body></env:Envelope>\n";
    return HttpReply(status, phrase, "application/soap+xml; charset=utf-8", body);
}

// What a SOAP 1.2 node answers a SOAP 1.1 message: a VersionMismatch fault
// in a SOAP 1.1 envelope, whose Upgrade header names the envelope it takes.
std::string VersionMismatchFault() {
    const std::string body = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<env:Envelope xmlns:env=\"") + kSoap11 +
                             "\"><env:Header><upg:Upgrade xmlns:upg=\"" + kSoap12 +
                             "\"><upg:SupportedEnvelope qname=\"ns1:Envelope\" xmlns:ns1=\"" + kSoap12 +
                             "\"/></upg:Upgrade></env:Header><env:Body><env:Fault><faultcode>env:VersionMismatch</faultcode>"
                             "<faultstring>Version Mismatch</faultstring></env:Fault></env:Body></env:Envelope>\n";
    return HttpReply(500, "Internal Server Error", "text/xml; charset=utf-8", body);
}

enum class Prolog { Element, Soap11Envelope, DocumentType, NoElement };

// What comes first in a body: the XML declaration, comments and processing
// instructions are passed over; a document type declaration (SOAP forbids
// one, and with it every entity) or the root element ends the look.
Prolog FirstOf(const std::string& body) {
    std::size_t i = body.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (;;) {
        i = body.find_first_not_of(" \t\r\n", i);
        if (i == std::string::npos || body[i] != '<') return Prolog::NoElement;
        if (body.compare(i, 2, "<?") == 0) {
            i = body.find("?>", i + 2);
            if (i == std::string::npos) return Prolog::NoElement;
            i += 2;
        } else if (body.compare(i, 4, "<!--") == 0) {
            i = body.find("-->", i + 4);
            if (i == std::string::npos) return Prolog::NoElement;
            i += 3;
        } else if (body.compare(i, 2, "<!") == 0) {
            return Prolog::DocumentType;
        } else {
            break;
        }
    }
    const std::size_t nameEnd = body.find_first_of(" \t\r\n/>", i + 1);
    const std::size_t tagEnd = body.find('>', i);
    if (nameEnd == std::string::npos || tagEnd == std::string::npos) return Prolog::Element;
    const std::string name = body.substr(i + 1, nameEnd - i - 1);
    const std::size_t colon = name.find(':');
    const std::string prefix = colon == std::string::npos ? "" : name.substr(0, colon);
    const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    if (local != "Envelope") return Prolog::Element;
    const std::string tag = body.substr(nameEnd, tagEnd - nameEnd);
    const std::string attribute = prefix.empty() ? "xmlns=" : "xmlns:" + prefix + "=";
    for (std::size_t at = tag.find(attribute); at != std::string::npos; at = tag.find(attribute, at + 1)) {
        if (at > 0 && tag[at - 1] != ' ' && tag[at - 1] != '\t' && tag[at - 1] != '\r' && tag[at - 1] != '\n') continue;
        const std::size_t q = at + attribute.size();
        if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'') && tag.compare(q + 1, std::strlen(kSoap11), kSoap11) == 0 &&
            tag.compare(q + 1 + std::strlen(kSoap11), 1, std::string(1, tag[q])) == 0) {
            return Prolog::Soap11Envelope;
        }
    }
    return Prolog::Element;
}

// The request's head, then its body, read by the runtime without a copy.
class TwoPartBuf : public std::streambuf {
public:
    TwoPartBuf(const std::string& first, const std::string& second) : second_(second) { Show(first); }

protected:
    int_type underflow() override {
        if (onSecond_ || second_.empty()) return traits_type::eof();
        onSecond_ = true;
        Show(second_);
        return traits_type::to_int_type(*gptr());
    }

private:
    void Show(const std::string& s) {
        char* p = const_cast<char*>(s.data());
        setg(p, p, p + s.size());
    }
    const std::string& second_;
    bool onSecond_ = false;
};

// The head handed to the runtime: the request's own fields, with the body's
// length as read (any transfer coding is undone).
std::string RuntimeHead(const HttpRequest& r) {
    std::string head = r.method + " " + r.target + " HTTP/1.1\r\n";
    static const char* const dropped[] = {"Content-Length", "Transfer-Encoding", "Connection", "Expect", "TE",
                                          "Trailer", "Keep-Alive"};
    for (const auto& field : r.fields) {
        const std::string& name = field.first;
        if (std::any_of(std::begin(dropped), std::end(dropped),
                        [&name](const char* d) { return strcasecmp(d, name.c_str()) == 0; })) {
            continue;
        }
        head += name + ": " + field.second + "\r\n";
    }
    return head + "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n";
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
    ownFault_ = false;
    int result = SOAP_OK;
    if (soap_begin_serve(s) != SOAP_OK || dispatch() != SOAP_OK) result = s->error;
    if (result != SOAP_OK && ownFault_ && s->error < SOAP_STOP) {
        // A fault answers nothing in particular: its header relates to the
        // request but does not claim an operation's answer.
        ReplyHeader(s, kFaultAction);
        soap_send_fault(s);
    }
    return result;
}

std::string ChargePointServer::Answer(const HttpRequest& request) {
    if (request.method != "POST") return HttpReply(405, "Method Not Allowed", "", "", "Allow: POST\r\n");
    if (request.target != kServerPath) return HttpReply(404, "Not Found", "", "");
    switch (FirstOf(request.body)) {
    case Prolog::DocumentType:
        return SenderFault(400, "Bad Request", "a SOAP message carries no document type declaration");
    case Prolog::Soap11Envelope:
        return VersionMismatchFault();
    default:
        break;
    }
    const std::string head = RuntimeHead(request);
    TwoPartBuf buf(head, request.body);
    std::istream in(&buf);
    std::ostringstream out;
    soap->is = &in;
    soap->os = &out;
    const int result = ServeRequest();
    std::string why;
    if (result != SOAP_OK && !ownFault_) {
        soap_set_fault(soap);
        const char* const* text = soap_faultstring(soap);
        why = text && *text ? *text : "it could not be read";
    }
    soap->is = nullptr;
    soap->os = nullptr;
    soap_destroy(soap);
    soap_end(soap);
    // The runtime closes such requests without a word; the sender hears why.
    if (result != SOAP_OK && !ownFault_) return SenderFault(400, "Bad Request", "the request is not taken: " + why);
    std::string reply = out.str();
    if (reply.empty()) return SenderFault(400, "Bad Request", "the request is not taken");
    return reply;
}

std::string ChargePointServer::Serve(const std::string& raw) {
    HttpRequestReader reader;
    if (reader.Feed(raw.data(), raw.size()) == ReadState::Done) return Answer(reader.request());
    return RefusalReply(reader, false);
}

std::string RefusalReply(const HttpRequestReader& reader, bool timedOut) {
    switch (reader.state()) {
    case ReadState::TooLarge:
        return SenderFault(413, "Payload Too Large", reader.why());
    case ReadState::Malformed:
        return SenderFault(400, "Bad Request", reader.why());
    default:
        if (timedOut) return HttpReply(408, "Request Timeout", "", "");
        return SenderFault(400, "Bad Request", reader.HasHead() ? "the body ended before its length was reached"
                                                                : "the request ended inside its head");
    }
}

int ChargePointServer::Fault(bool sender, const std::string& why) {
    ownFault_ = true;
    return sender ? soap_sender_fault(soap, why.c_str(), nullptr) : soap_receiver_fault(soap, why.c_str(), nullptr);
}

int ChargePointServer::Refuse(const std::string& why) { return Fault(true, why); }

bool ChargePointServer::Fits(const std::string& text, regmap::Text slot, const char* field) {
    if (text.size() <= slot.size) return true;
    Refuse(std::string(field) + " is longer than " + std::to_string(slot.size) + " characters");
    return false;
}

int ChargePointServer::Await(Command c, const char* operation) {
    if (HandOverCommand(map_, c, waitMs_) == HandOver::Withdrawn) {
        ReceiveLog(std::string(operation) + " withdrawn: the main process did not take it in time");
        return Fault(false, "the charge point did not execute the command in time");
    }
    ReplyHeader(soap, (std::string("/") + operation + "Response").c_str());
    return SOAP_OK;
}

#define QUILLON_STATUS(code, last, out)                                                   \
    do {                                                                                  \
        if (!StatusOf(code, last, &(out))) return Fault(false, "no valid answer"); \
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
    // A request that replaces a pending one brings its own retries.
    map_.set(cmd::FW_RETRIES, req->retries ? *req->retries : 0);
    map_.set(cmd::FW_RETRY_INTERVAL, req->retryInterval ? *req->retryInterval : 0);
    if (const int r = Await(command::UpdateFirmware, "UpdateFirmware")) return r;
    if (map_.get(cmd::FW_REQUEST_STATUS) != 0) {
        return Fault(false, "a firmware image waits to be installed; the update is not taken");
    }
    return SOAP_OK;
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

namespace {

// Data to read on the connection within `ms`: the socket is readable or
// the TLS layer holds decrypted bytes already.
bool Readable(struct soap* io, std::int64_t ms) {
    if (io->ssl != nullptr && SSL_pending(io->ssl) > 0) return true;
    pollfd p{io->socket, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(ms)) > 0;
}

// One wait of the runtime's receive or send, in microseconds (negative).
int WaitOf(std::int64_t ms) { return -static_cast<int>(std::clamp<std::int64_t>(ms, 1, kReceiveTimeoutMs) * 1000); }

void SendReply(struct soap* io, const std::string& reply) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t end = clock.MonotonicMs() + kReplyLimitMs;
    constexpr std::size_t kPiece = 16 * 1024;
    for (std::size_t at = 0; at < reply.size(); at += kPiece) {
        const std::int64_t left = end - clock.MonotonicMs();
        if (left <= 0) return;
        io->send_timeout = WaitOf(left);
        if (io->fsend(io, reply.data() + at, std::min(kPiece, reply.size() - at)) != SOAP_OK) return;
    }
}

// What the peer still sends is read off and dropped for up to `ms` (at
// least what has arrived already): a socket closed with unread bytes is
// reset, and the reset can overtake the reply on its way to the peer.
void Drain(struct soap* io, std::int64_t ms) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t end = clock.MonotonicMs() + ms;
    char buf[16 * 1024];
    std::int64_t left = ms;
    do {
        if (!Readable(io, left)) return;
        io->recv_timeout = WaitOf(left);
        if (io->frecv(io, buf, sizeof buf) == 0) return;
        left = end - clock.MonotonicMs();
    } while (left > 0);
}

// One connection: its request read within the time limit, answered, closed.
void ServeConnection(struct soap* io, ChargePointServer& server) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t end = clock.MonotonicMs() + kRequestLimitMs;
    HttpRequestReader reader;
    bool timedOut = false;
    bool closed = false;
    std::vector<char> buf(64 * 1024);
    while (reader.state() == ReadState::More) {
        const std::int64_t left = end - clock.MonotonicMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (!Readable(io, std::min(left, kReceiveTimeoutMs))) continue;
        io->recv_timeout = WaitOf(left);
        const std::size_t n = io->frecv(io, buf.data(), buf.size());
        if (n == 0) {
            closed = true;
            break;
        }
        reader.Feed(buf.data(), n);
    }
    if (reader.state() == ReadState::Done) {
        SendReply(io, server.Answer(reader.request()));
        Drain(io, 0);
    } else {
        if (timedOut) {
            ReceiveLog("request not complete within " + std::to_string(kRequestLimitMs / 1000) + " s");
        } else if (reader.state() != ReadState::More) {
            ReceiveLog("request refused: " + reader.why());
        }
        SendReply(io, RefusalReply(reader, timedOut));
        // A refused body may still be on its way: its sender is to see why.
        if (!closed) Drain(io, kDrainMs);
    }
    soap_closesock(io);
}

}  // namespace

bool RunServer(regmap::RegisterMap map, int port) {
    platform::Clock& clock = platform::GetClock();
    ChargePointServer server(map);
    // The connections' context: the runtime's sockets and TLS, no parsing.
    std::unique_ptr<struct soap, void (*)(struct soap*)> context(soap_new(), soap_free);
    struct soap* io = context.get();
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
        if (soap_ssl_server_context(io, SOAP_SSL_NO_AUTHENTICATION, file.c_str(), nullptr, nullptr, nullptr, nullptr,
                                    nullptr, "ChargeBoxServer") != SOAP_OK) {
            const char* why = *soap_faultstring(io);
            ReceiveLog(std::string("soap_ssl_server_context failure: ") + (why ? why : "unknown"));
            return false;
        }
    }
    io->bind_flags = SO_REUSEADDR;
    io->accept_timeout = kAcceptTimeoutS;
    while (!soap_valid_socket(soap_bind(io, nullptr, port, 100))) {
        ReceiveLog("Bind port NG");
        soap_end(io);
        clock.SleepMs(kBindPauseMs);
    }
    for (;;) {
        if (!soap_valid_socket(soap_accept(io))) {
            if (io->errnum != 0) ReceiveLog("soap_accept not a valid socket");
            continue;  // a quiet accept time-out is not an error
        }
        io->recv_timeout = kHandshakeTimeoutS;
        io->send_timeout = kHandshakeTimeoutS;
        if (tls && soap_ssl_accept(io) != SOAP_OK) {
            soap_stream_fault(io, std::cerr);
            soap_closesock(io);
            soap_end(io);
            continue;
        }
        ServeConnection(io, server);
        soap_end(io);
    }
}

}  // namespace ocpps
