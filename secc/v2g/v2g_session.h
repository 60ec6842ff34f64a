// The V2G session of Marlet: the DIN SPEC 70121 station side on the one V2G
// TCP connection. V2G_Service takes each whole message from the connection
// slot, checks its V2GTP frame, answers the supportedAppProtocol handshake or
// hands the EXI body to the dispatcher, frames the answer and queues it, and
// watches the time between two requests.
#pragma once

#include <cstdint>

#include "din_records.h"

namespace plc {

inline constexpr std::uint32_t kV2gtpHeaderLen = 8;
inline constexpr std::uint16_t kV2gtpPayloadExi = 0x8001;
inline constexpr std::uint32_t kV2gAnswerBuffer = 100;  // header + EXI body of every answer
// No request for this long ends the session (on the monotonic clock).
inline constexpr std::int64_t kV2gSequenceTimeoutMs = 60000;

// V2G steps of the status word (bits 16-23 during phase 0x06).
enum V2gStep : std::uint8_t {
    kStepHandshake = 0x01,
    kStepSessionSetup = 0x02,
    kStepServiceDiscovery = 0x03,
    kStepContractAuthentication = 0x04,
    kStepServicePaymentSelection = 0x05,
    kStepChargeParameterDiscovery = 0x06,
    kStepCableCheck = 0x07,
    kStepPreCharge = 0x08,
    kStepPowerDelivery = 0x09,
    kStepCurrentDemand = 0x0A,
    kStepWeldingDetection = 0x0B,
    kStepSessionStop = 0x0C,
};

// DIN responseCodeType values the session answers with.
enum DinResponseCode : std::int32_t {
    kRespOK = 0,
    kRespOK_NewSessionEstablished = 1,
    kRespFAILED = 4,
    kRespFAILED_SequenceError = 5,
    kRespFAILED_UnknownSession = 7,
    kRespFAILED_ServiceSelectionInvalid = 8,
    kRespFAILED_PaymentSelectionInvalid = 9,
    kRespFAILED_WrongChargeParameter = 16,
    kRespFAILED_TariffSelectionInvalid = 18,
    kRespFAILED_WrongEnergyTransferType = 22,
};
inline constexpr std::int32_t kRespLast = kRespFAILED_WrongEnergyTransferType;  // the last of the type

// V2GPhase outcomes read by the controller.
inline constexpr std::uint8_t kV2gPhaseStopped = 21;       // SessionStop or a refusal answered: close
inline constexpr std::uint8_t kV2gPhaseLost = 253;         // the vehicle closed the connection or left
inline constexpr std::uint8_t kV2gPhaseNoNegotiation = 254;  // no common protocol: the session ends
inline constexpr std::uint8_t kV2gPhaseTimeout = 255;

extern std::uint8_t nSessionID[8];
extern std::uint32_t nLast_SystemStatus;

// One pass: time-out watch, then at most one request.
void V2G_Service();

// One received message (V2GTP header first): 0 when an answer was queued,
// -1 when none was.
int EVSE_V2G_App(std::uint8_t* data, std::uint16_t len, std::uint8_t* out, std::uint32_t* exiLen);

// 0 and the payload length when `len` bytes hold exactly one EXI message
// with a valid header; -1 otherwise (counts below the header included).
int read_v2gtpHeader(const std::uint8_t* data, std::uint32_t len, std::uint32_t* payloadLen);
// Writes the header for *len body bytes; *len becomes the framed length.
int write_v2gtpHeader(std::uint8_t* buf, std::uint32_t* len, std::uint16_t payloadType);
// Frames the EXI body standing at byte 8 of buf and queues it on slot 0.
int serviceDataTransmitter(std::uint8_t* buf, std::uint32_t exiLen);

// The supportedAppProtocol handshake: 0 when an answer was queued.
int appHandshakeHandler(std::uint8_t* data, std::uint16_t len, std::uint8_t* out, std::uint32_t* exiLen);

// Decodes one DIN request, runs its service method, encodes the answer into
// out[8..size): 0 and the EXI length, or -1 (nothing to send).
int messageDispatcher(std::uint8_t* data, std::uint32_t payloadLen, std::uint8_t* out, std::uint32_t size,
                      std::uint32_t* exiLen);

// 1 when the step before the current request allows `step` (PowerDelivery:
// its start); before SessionSetup no step but SessionSetup is allowed.
int V2GFlowCheck(std::uint8_t step);
// 1 when the header carries exactly the 8 bytes of the current session ID;
// no ID matches outside a session.
int V2G_SessionID_Check(const MessageHeaderType& header);
// The value of a DIN PhysicalValue; the multiplier is clamped to -3..3.
std::int32_t V2G_DataConv(std::int8_t multiplier, std::int16_t value);

// Pilot states in which energy may flow.
inline constexpr std::uint8_t kPilotC = 4, kPilotD = 5;

// Puts the session's own state back to its load values and clears the
// bytes the session writes for the vehicle (at every reset of the link).
void V2G_SessionReset();

}  // namespace plc
