// Quillon's SOAP server: the charge-point service of OCPP 1.5 on port 8080,
// path "/ChargeBox/OCPP15", run in its own process forked after the accepted
// BootNotification. Each request is decoded whole (envelope and input ended)
// before anything is stored; its fields then go to the command area, the
// main process executes the command, and the answer goes back with a reply
// header built here: RelatesTo the request's MessageID, Action
// "/<Operation>Response", no MessageID, no ns1:chargeBoxIdentity, the rest
// as received.
#pragma once

#include <cstdint>
#include <string>

#include "command_area.h"
#include "http_request.h"
#include "regmap.h"
#include "soapChargePointServiceSoapService.h"

namespace ocpps {

inline constexpr int kServerPort = 8080;
inline constexpr const char* kServerPath = "/ChargeBox/OCPP15";
// The server's key and certificate, PEM, readable by root alone.
inline constexpr const char* kServerKeyCertFile = "/Storage/[OCPP15S]ServerKeyCert.pem";
// How long a request waits for the main process before it is withdrawn.
inline constexpr std::int64_t kCommandWaitMs = 50000;
// A connection's request must have arrived whole within this time; no read
// waits longer than the receive time-out, so the limit holds however the
// peer trickles its bytes. Another client waits little longer than this
// (a refused body is read off for 2 s more).
inline constexpr std::int64_t kRequestLimitMs = 30000;
inline constexpr std::int64_t kReceiveTimeoutMs = 10000;
// The reply must have been taken by the peer within this time.
inline constexpr std::int64_t kReplyLimitMs = 10000;

class ChargePointServer : public ChargePointServiceSoapService {
public:
    explicit ChargePointServer(regmap::RegisterMap map, std::int64_t waitMs = kCommandWaitMs);

    // The reply (HTTP head and body) to one request read whole. Every
    // request is answered: what the runtime cannot take (not XML, cut short,
    // a document type, an unknown operation, invalid values) with a SOAP 1.2
    // Sender fault and HTTP 400, a SOAP 1.1 envelope with the VersionMismatch
    // fault and the Upgrade header SOAP 1.2 prescribes, a body over the
    // bound with HTTP 413.
    std::string Answer(const HttpRequest& request);
    // The reply to a request given as the whole of its bytes (the stream
    // ends after them): read, then answered as Answer does.
    std::string Serve(const std::string& raw);
    // One request at a time: the server is never copied for a thread.
    ChargePointServiceSoapService* copy() override { return nullptr; }

    int UnlockConnector(ns1__UnlockConnectorRequest*, ns1__UnlockConnectorResponse&) override;
    int Reset(ns1__ResetRequest*, ns1__ResetResponse&) override;
    int ChangeAvailability(ns1__ChangeAvailabilityRequest*, ns1__ChangeAvailabilityResponse&) override;
    int GetDiagnostics(ns1__GetDiagnosticsRequest*, ns1__GetDiagnosticsResponse&) override;
    int ClearCache(ns1__ClearCacheRequest*, ns1__ClearCacheResponse&) override;
    int UpdateFirmware(ns1__UpdateFirmwareRequest*, ns1__UpdateFirmwareResponse&) override;
    int ChangeConfiguration(ns1__ChangeConfigurationRequest*, ns1__ChangeConfigurationResponse&) override;
    int RemoteStartTransaction(ns1__RemoteStartTransactionRequest*, ns1__RemoteStartTransactionResponse&) override;
    int RemoteStopTransaction(ns1__RemoteStopTransactionRequest*, ns1__RemoteStopTransactionResponse&) override;
    int CancelReservation(ns1__CancelReservationRequest*, ns1__CancelReservationResponse&) override;
    int DataTransfer(ns1__DataTransferRequest*, ns1__DataTransferResponse&) override;
    int GetConfiguration(ns1__GetConfigurationRequest*, ns1__GetConfigurationResponse&) override;
    int GetLocalListVersion(ns1__GetLocalListVersionRequest*, ns1__GetLocalListVersionResponse&) override;
    int ReserveNow(ns1__ReserveNowRequest*, ns1__ReserveNowResponse&) override;
    int SendLocalList(ns1__SendLocalListRequest*, ns1__SendLocalListResponse&) override;

private:
    // The runtime's part: decode, dispatch, reply or the fault a handler
    // raised, over the context's streams.
    int ServeRequest();
    // A handler's own SOAP fault (Sender: the request; Receiver: the station).
    int Fault(bool sender, const std::string& why);
    // Hands the stored command over and prepares the reply header; SOAP_OK
    // or the fault of a withdrawn command.
    int Await(Command c, const char* operation);
    int Refuse(const std::string& why);
    bool Fits(const std::string& text, regmap::Text slot, const char* field);

    regmap::RegisterMap map_;
    std::int64_t waitMs_;
    bool ownFault_ = false;  // the fault of the request at hand is a handler's
};

// The reply to a request that was not read whole: 413 over the bound, 400
// for what is not HTTP or ended early, 408 when its time ran out.
std::string RefusalReply(const HttpRequestReader& reader, bool timedOut);

// The server process's life: TLS set up when byte 514 selects it, bind
// (retried after a pause), then accept and serve one connection at a time:
// the request read within its time limit and size bound, answered, the
// connection closed. Returns only when TLS cannot be set up (false, with the
// reason logged).
bool RunServer(regmap::RegisterMap map, int port = kServerPort);

}  // namespace ocpps
