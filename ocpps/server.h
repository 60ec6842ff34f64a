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
#include "regmap.h"
#include "soapChargePointServiceSoapService.h"

namespace ocpps {

inline constexpr int kServerPort = 8080;
inline constexpr const char* kServerPath = "/ChargeBox/OCPP15";
// The server's key and certificate, PEM, readable by root alone.
inline constexpr const char* kServerKeyCertFile = "/Storage/[OCPP15S]ServerKeyCert.pem";
// How long a request waits for the main process before it is withdrawn.
inline constexpr std::int64_t kCommandWaitMs = 50000;

class ChargePointServer : public ChargePointServiceSoapService {
public:
    explicit ChargePointServer(regmap::RegisterMap map, std::int64_t waitMs = kCommandWaitMs);

    // Serves the one request already connected to the context (socket or
    // stream): HTTP head, path check, decode, command, reply or SOAP fault.
    // Returns the runtime's result; the context's request data are released.
    int ServeRequest();
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
    // Hands the stored command over and prepares the reply header; SOAP_OK
    // or the fault of a withdrawn command.
    int Await(Command c, const char* operation);
    int Refuse(const std::string& why);
    bool Fits(const std::string& text, regmap::Text slot, const char* field);

    regmap::RegisterMap map_;
    std::int64_t waitMs_;
};

// The server process's life: TLS set up when byte 514 selects it, bind
// (retried after a pause), then accept and serve one connection at a time
// with accept, receive and send time-outs. Returns only when TLS cannot be
// set up (false, with the reason logged).
bool RunServer(regmap::RegisterMap map, int port = kServerPort);

}  // namespace ocpps
