#include "v2g_session.h"

#include <sys/random.h>

#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "appHand_DataDeserialization.h"
#include "appHand_dataSerialization.h"
#include "appHand_dataTypes.h"
#include "din_binding.h"
#include "knet.h"
#include "link_seams.h"
#include "regmap.h"
#include "regmap_fields.h"
#include "timeutil.h"

namespace plc {

std::uint8_t nSessionID[8] = {};
std::uint32_t nLast_SystemStatus = 0;

namespace {

std::uint8_t outStream[kV2gAnswerBuffer];

// The records of one request and its answer; reused by every request.
DinMessageStore g_store;
EXIDocumentType g_document;
DinService g_service;

regmap::RegisterMap Map() { return regmap::RegisterMap(MeterSMPtr); }

// The namespace of the one application protocol the station speaks.
constexpr char kDinNamespace[] = "urn:din:70121:2012:MsgDef";
constexpr std::uint32_t kDinMajor = 2;
constexpr std::uint32_t kDinMinor = 0;

bool IsDinNamespace(const protocolNamespaceType& ns) {
    constexpr std::uint32_t n = sizeof kDinNamespace - 1;
    if (ns.charactersLen != n) return false;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (ns.characters[i] != static_cast<std::uint8_t>(kDinNamespace[i])) return false;
    }
    return true;
}

void SetStep(std::uint8_t step) { nSystemStatus = 0x06000000u | static_cast<std::uint32_t>(step) << 16; }

// The response code the station's software left in the map, kept inside the
// DIN type: anything beyond it answers FAILED.
std::int32_t MapResponseCode() {
    std::int32_t code = Map().get(regmap::SHRMEM_CCS_RESPONSE_CODE);
    return code <= kRespLast ? code : kRespFAILED;
}

// EVSEProcessing from the map: 0 Finished, anything else Ongoing.
std::int32_t MapProcessing(regmap::U8 field) { return Map().get(field) == 0 ? 0 : 1; }

// The common frame: status word, the order and session checks, and the
// response header carrying the station's session ID.
std::int32_t CommonFrame(std::uint8_t step, MessageHeaderType& header) {
    nLast_SystemStatus = nSystemStatus;
    SetStep(step);
    std::int32_t code;
    if (!V2GFlowCheck(step)) code = kRespFAILED_SequenceError;
    else if (!V2G_SessionID_Check(header)) code = kRespFAILED_UnknownSession;
    else code = MapResponseCode();
    return code;
}

void FillHeader(MessageHeaderType& header) {
    header = MessageHeaderType{};
    std::memcpy(header.SessionID.bytes, nSessionID, sizeof nSessionID);
    header.SessionID.bytesLen = sizeof nSessionID;
}

// Eight bytes from the kernel's random source: no two sessions share an ID.
void NewSessionId() {
    std::size_t got = 0;
    while (got < sizeof nSessionID) {
        ssize_t n = getrandom(nSessionID + got, sizeof nSessionID - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
}

// A service method fills the response and returns its response code.
using Method = std::int32_t (*)(MessageHeaderType&, DinMessageStore&);

std::int32_t sessionSetup(MessageHeaderType& header, DinMessageStore& s) {
    nLast_SystemStatus = nSystemStatus;
    SetStep(kStepSessionSetup);
    SessionSetupResType& res = s.sessionSetupRes;
    res.ResponseCode = V2GFlowCheck(kStepSessionSetup) ? kRespOK_NewSessionEstablished : kRespFAILED_SequenceError;
    NewSessionId();
    for (int i = 0; i < 3; ++i) {
        res.EVSEID.bytes[2 * i] = static_cast<std::uint8_t>(MACAddress[i] >> 8);
        res.EVSEID.bytes[2 * i + 1] = static_cast<std::uint8_t>(MACAddress[i]);
    }
    res.EVSEID.bytesLen = 6;
    res.isUsed = 0;  // no DateTimeNow
    FillHeader(header);
    return res.ResponseCode;
}

constexpr std::uint16_t kChargeServiceId = 1;
constexpr std::uint16_t kInternetServiceId = 22;
constexpr std::int32_t kExternalPayment = 1;
constexpr std::int32_t kCategoryInternet = 1;
constexpr std::int32_t kCategoryOtherCustom = 3;
constexpr std::int32_t kTransferDcExtended = 3;

std::int32_t serviceDiscovery(MessageHeaderType& header, DinMessageStore& s) {
    const ServiceDiscoveryReqType& req = s.serviceDiscoveryReq;
    ServiceDiscoveryResType& res = s.serviceDiscoveryRes;
    res.ResponseCode = CommonFrame(kStepServiceDiscovery, header);
    res.PaymentOptions.PaymentOption.array[0] = kExternalPayment;
    res.PaymentOptions.PaymentOption.arrayLen = 1;
    res.ChargeService.ServiceTag.ServiceID = kChargeServiceId;
    res.ChargeService.ServiceTag.ServiceCategory = 0;  // EVCharging
    res.ChargeService.ServiceTag.isUsed = 0;
    res.ChargeService.FreeService = 1;
    res.ChargeService.EnergyTransferType = kTransferDcExtended;
    bool categoryAsked = (req.isUsed & 0x2) != 0;
    if (!categoryAsked || req.ServiceCategory == kCategoryInternet || req.ServiceCategory == kCategoryOtherCustom) {
        ServiceType& www = res.ServiceList.Service.array[0];
        www.ServiceTag.ServiceID = kInternetServiceId;
        const char name[] = "WWW";
        for (std::uint32_t i = 0; i < 3; ++i) www.ServiceTag.ServiceName.characters[i] = static_cast<std::uint8_t>(name[i]);
        www.ServiceTag.ServiceName.charactersLen = 3;
        www.ServiceTag.ServiceCategory = kCategoryInternet;
        www.ServiceTag.isUsed = 0x1;
        www.FreeService = 1;
        res.ServiceList.Service.arrayLen = 1;
        res.isUsed = 0x1;
    }
    FillHeader(header);
    return res.ResponseCode;
}

std::int32_t servicePaymentSelection(MessageHeaderType& header, DinMessageStore& s) {
    const ServicePaymentSelectionReqType& req = s.servicePaymentSelectionReq;
    std::int32_t code = CommonFrame(kStepServicePaymentSelection, header);
    if (code != kRespFAILED_SequenceError && code != kRespFAILED_UnknownSession) {
        if (req.SelectedPaymentOption != kExternalPayment) {
            code = kRespFAILED_PaymentSelectionInvalid;
        } else {
            // An empty list (the schema requires one entry) selects nothing.
            code = kRespFAILED_ServiceSelectionInvalid;
            const auto& list = req.SelectedServiceList.SelectedService;
            std::uint32_t n = list.arrayLen <= list.kCapacity ? list.arrayLen : list.kCapacity;
            for (std::uint32_t i = 0; i < n; ++i) {
                code = list.array[i].ServiceID == kChargeServiceId ? MapResponseCode() : kRespFAILED_ServiceSelectionInvalid;
            }
        }
    }
    s.servicePaymentSelectionRes.ResponseCode = code;
    FillHeader(header);
    return code;
}

std::int32_t contractAuthentication(MessageHeaderType& header, DinMessageStore& s) {
    ContractAuthenticationResType& res = s.contractAuthenticationRes;
    std::int32_t code = CommonFrame(kStepContractAuthentication, header);
    if (code != kRespFAILED_SequenceError && code != kRespFAILED_UnknownSession) code = kRespOK;
    res.EVSEProcessing = MapProcessing(regmap::SHRMEM_CCS_EVSE_PROCESSING);
    if (Map().get(regmap::SHRMEM_STOP_BUTTON) & 0x08) {  // charger malfunction from the main board
        code = kRespFAILED;
        res.EVSEProcessing = 0;
    }
    res.ResponseCode = code;
    FillHeader(header);
    return code;
}

// Requests the station does not support: a FAILED answer with the current
// session ID; the status word and the map stay as they were.
template <typename Res>
std::int32_t Unsupported(MessageHeaderType& header, Res& res) {
    res.ResponseCode = kRespFAILED;
    FillHeader(header);
    return kRespFAILED;
}

std::int32_t serviceDetail(MessageHeaderType& h, DinMessageStore& s) { return Unsupported(h, s.serviceDetailRes); }
std::int32_t paymentDetails(MessageHeaderType& h, DinMessageStore& s) { return Unsupported(h, s.paymentDetailsRes); }
std::int32_t chargingStatus(MessageHeaderType& h, DinMessageStore& s) { return Unsupported(h, s.chargingStatusRes); }
std::int32_t meteringReceipt(MessageHeaderType& h, DinMessageStore& s) { return Unsupported(h, s.meteringReceiptRes); }
std::int32_t certificateUpdate(MessageHeaderType& h, DinMessageStore& s) { return Unsupported(h, s.certificateUpdateRes); }
std::int32_t certificateInstallation(MessageHeaderType& h, DinMessageStore& s) {
    return Unsupported(h, s.certificateInstallationRes);
}

// Service methods by request, in body order (the request of pair i has
// isUsed bit 2i, its response bit 2i + 1). A null entry is a request the
// session does not answer.
constexpr Method kMethods[] = {
    sessionSetup,            // SessionSetup
    serviceDiscovery,        // ServiceDiscovery
    serviceDetail,           // ServiceDetail
    servicePaymentSelection, // ServicePaymentSelection
    paymentDetails,          // PaymentDetails
    contractAuthentication,  // ContractAuthentication
    nullptr,                 // ChargeParameterDiscovery
    nullptr,                 // PowerDelivery
    chargingStatus,          // ChargingStatus
    meteringReceipt,         // MeteringReceipt
    nullptr,                 // SessionStop
    certificateUpdate,       // CertificateUpdate
    certificateInstallation, // CertificateInstallation
    nullptr,                 // CableCheck
    nullptr,                 // PreCharge
    nullptr,                 // CurrentDemand
    nullptr,                 // WeldingDetection
};

}  // namespace

int read_v2gtpHeader(const std::uint8_t* data, std::uint32_t len, std::uint32_t* payloadLen) {
    if (!data || len < kV2gtpHeaderLen) return -1;
    if (data[0] != 0x01 || data[1] != 0xFE) return -1;
    if ((static_cast<std::uint16_t>(data[2] << 8) | data[3]) != kV2gtpPayloadExi) return -1;
    std::uint32_t payload = static_cast<std::uint32_t>(data[4]) << 24 | static_cast<std::uint32_t>(data[5]) << 16 |
                            static_cast<std::uint32_t>(data[6]) << 8 | data[7];
    if (static_cast<std::uint64_t>(payload) + kV2gtpHeaderLen != len) return -1;
    *payloadLen = payload;
    return 0;
}

int write_v2gtpHeader(std::uint8_t* buf, std::uint32_t* len, std::uint16_t payloadType) {
    buf[0] = 0x01;
    buf[1] = 0xFE;
    buf[2] = static_cast<std::uint8_t>(payloadType >> 8);
    buf[3] = static_cast<std::uint8_t>(payloadType);
    for (int i = 0; i < 4; ++i) buf[4 + i] = static_cast<std::uint8_t>(*len >> (24 - 8 * i));
    *len += kV2gtpHeaderLen;
    return 0;
}

int serviceDataTransmitter(std::uint8_t* buf, std::uint32_t exiLen) {
    std::uint32_t len = exiLen;
    write_v2gtpHeader(buf, &len, kV2gtpPayloadExi);
    knet_copy_exidata(static_cast<std::uint16_t>(len), buf);
    mdbcln_send(0, mdb_conn->tx, mdb_conn->txlen, kClnBufSize);
    return 0;
}

int appHandshakeHandler(std::uint8_t* data, std::uint16_t len, std::uint8_t* out, std::uint32_t* exiLen) {
    static appHandService service;
    static AnonType_supportedAppProtocolReq request;
    static std::uint8_t bytes[64];
    static std::uint32_t chars[64];
    AnonType_supportedAppProtocolRes response{};
    EXIDocumentType_appHand document{};  // no stale pointer for a message of the other kind

    init_appHandDeserializer(&service, sizeof bytes, bytes, 0, 64, chars, 0, kV2gtpHeaderLen);
    init_appHandSerializer(&service, sizeof bytes, bytes, 0, 64, chars, 0, kV2gAnswerBuffer, kV2gtpHeaderLen);
    init_AnonType_supportedAppProtocolReq(&request);
    init_EXIDocumentType_appHand(&document);
    document.supportedAppProtocolReq = &request;
    SetStep(kStepHandshake);
    if (len < kV2gtpHeaderLen) return -1;
    std::uint16_t exiIn = static_cast<std::uint16_t>(len - kV2gtpHeaderLen);
    if (deserialize_appHand(&service, data, exiIn, &document) != 0) return -1;

    // The first DIN entry in the vehicle's order whose major version is ours.
    const AppProtocolType* chosen = nullptr;
    std::uint32_t n = request.arrayLen <= kAppProtocolEntries ? request.arrayLen : kAppProtocolEntries;
    for (std::uint32_t i = 0; i < n && !chosen; ++i) {
        const AppProtocolType& p = request.AppProtocol[i];
        if (IsDinNamespace(p.ProtocolNamespace) && p.VersionNumberMajor == kDinMajor) chosen = &p;
    }
    if (!chosen) {
        response.ResponseCode = responseCodeType_Failed_NoNegotiation;
    } else {
        response.ResponseCode = chosen->VersionNumberMinor == kDinMinor
                                    ? responseCodeType_OK_SuccessfulNegotiation
                                    : responseCodeType_OK_SuccessfulNegotiationWithMinorDeviation;
        response.SchemaID = chosen->SchemaID;
        response.isUsed = kSchemaIdUsed;
    }
    document = EXIDocumentType_appHand{};
    document.supportedAppProtocolRes = &response;
    document.isUsed = kAppHandResPresent;
    if (serialize_appHand(&service, out, exiLen, &document) != 0) return -1;
    serviceDataTransmitter(out, *exiLen);
    // With no common protocol there is nothing further to talk about.
    if (!chosen) V2GPhase = kV2gPhaseNoNegotiation;
    return 0;
}

int V2GFlowCheck(std::uint8_t step) {
    std::uint8_t prev = static_cast<std::uint8_t>(nLast_SystemStatus >> 16);
    switch (step) {
        case 0x00: return 1;
        case kStepHandshake: return prev == 0x00;
        case kStepSessionSetup: return prev == kStepHandshake;
        case kStepServiceDiscovery: return prev == kStepSessionSetup;
        case kStepServicePaymentSelection: return prev == kStepServiceDiscovery;
        case kStepContractAuthentication: return prev == kStepContractAuthentication || prev == kStepServicePaymentSelection;
        case kStepChargeParameterDiscovery:
            return prev == kStepContractAuthentication || prev == kStepChargeParameterDiscovery;
        case kStepCableCheck: return prev == kStepChargeParameterDiscovery || prev == kStepCableCheck;
        case kStepPreCharge: return prev == kStepCableCheck || prev == kStepPreCharge;
        case kStepPowerDelivery: return 1;
        case kStepCurrentDemand: return prev == kStepPowerDelivery || prev == kStepCurrentDemand;
        case kStepWeldingDetection: return 1;
        case kStepSessionStop: return 1;
        default: return 0;
    }
}

int V2G_SessionID_Check(const MessageHeaderType& header) {
    if (header.SessionID.bytesLen != sizeof nSessionID) return 0;
    return std::memcmp(header.SessionID.bytes, nSessionID, sizeof nSessionID) == 0 ? 1 : 0;
}

std::int32_t V2G_DataConv(std::int8_t multiplier, std::int16_t value) {
    std::int32_t m = multiplier < -3 ? -3 : multiplier > 3 ? 3 : multiplier;
    std::int32_t v = value;
    static constexpr std::int32_t kPow[] = {1, 10, 100, 1000};
    return m >= 0 ? v * kPow[m] : v / kPow[-m];
}

int messageDispatcher(std::uint8_t* data, std::uint32_t payloadLen, std::uint8_t* out, std::uint32_t size,
                      std::uint32_t* exiLen) {
    dinInitDocument(&g_document, &g_store);
    dinInitService(&g_service, &g_document);
    if (dinDeserializeMessage(&g_service, data, payloadLen, kV2gtpHeaderLen) != 0) return -1;
    std::uint64_t used = g_document.V2G_Message.Body.isUsed;
    int pair = -1;
    for (int i = 0; i < static_cast<int>(sizeof kMethods / sizeof kMethods[0]); ++i) {
        if (used & (std::uint64_t{1} << (2 * i))) {
            pair = i;
            break;
        }
    }
    if (pair < 0 || !kMethods[pair]) return -1;
    std::uint32_t before = nSystemStatus;
    // A request out of order does not move the step: the next request is
    // judged against the last step that was accepted.
    if (kMethods[pair](g_store.header, g_store) == kRespFAILED_SequenceError) nSystemStatus = before;
    g_document.V2G_Message.Body.isUsed = std::uint64_t{1} << (2 * pair + 1);
    return dinSerializeMessage(&g_service, out, size, kV2gtpHeaderLen, exiLen) == 0 ? 0 : -1;
}

int EVSE_V2G_App(std::uint8_t* data, std::uint16_t len, std::uint8_t* out, std::uint32_t* exiLen) {
    std::uint32_t payload = 0;
    if (read_v2gtpHeader(data, len, &payload) != 0) return -1;
    if (isHandshake) {
        if (appHandshakeHandler(data, len, out, exiLen) != 0) return -1;
        isHandshake = 0;
        return 0;
    }
    if (messageDispatcher(data, payload, out, kV2gAnswerBuffer, exiLen) != 0) return -1;
    serviceDataTransmitter(out, *exiLen);
    return 0;
}

void V2G_Service() {
    if (DINState != 6) return;
    if (common::ElapsedMs(V2G_MSG_Sequence_StartTime) >= kV2gSequenceTimeoutMs) {
        nSystemStatus |= 0x060000FEu;
        V2GPhase = kV2gPhaseTimeout;
    }
    std::uint16_t flags = mdbcln_status_get(0);
    constexpr std::uint16_t kReady = CLN_OPEN | CLN_CONNECTED | CLN_NEWDATA;
    if ((flags & kReady) != kReady || mdbcln_conn[0].state != 2) return;
    mdbcln_conn[0].flags = static_cast<std::uint16_t>(mdbcln_conn[0].flags & ~CLN_NEWDATA);
    std::uint32_t exiLen = 0;
    EVSE_V2G_App(mdbcln_conn[0].rxbuf, mdbcln_conn[0].rxlen, outStream, &exiLen);
    V2G_MSG_Sequence_StartTime = common::MonotonicNow();
}

void V2G_SessionReset() {
    std::memset(nSessionID, 0, sizeof nSessionID);
    nLast_SystemStatus = 0;
}

}  // namespace plc
