#include "ccs_vehicle.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "appHand_DataDeserialization.h"
#include "appHand_dataSerialization.h"
#include "appHand_dataTypes.h"
#include "clock.h"
#include "din_binding.h"

namespace evsim {
namespace {

constexpr std::uint32_t kHeader = 8;
constexpr std::uint16_t kPayloadExi = 0x8001;
constexpr char kDinNamespace[] = "urn:din:70121:2012:MsgDef";
constexpr std::uint8_t kDinSchemaId = 1;

// DIN unitSymbolType.
constexpr std::int32_t kUnitS = 2, kUnitA = 3, kUnitV = 5, kUnitW = 7, kUnitWh = 9;
// DIN responseCodeType.
constexpr std::int32_t kOk = 0, kOkNewSession = 1, kFailedSequence = 5, kFailedUnknownSession = 7;
constexpr std::int32_t kExpectOk = -1;  // the success code of the message
constexpr std::int32_t kExternalPayment = 1;
constexpr std::int32_t kDcExtended = 3;
// DIN EVSEProcessingType.
constexpr std::int32_t kFinished = 0;

struct MsgInfo {
    Msg msg;
    const char* name;
    int pair;         // request at body bit 2 * pair, its response one bit up
    bool anyOrder;    // DIN lets it follow any request
};

constexpr MsgInfo kMsgs[] = {
    {Msg::SupportedAppProtocol, "supportedAppProtocol", -1, false},
    {Msg::SessionSetup, "SessionSetup", 0, false},
    {Msg::ServiceDiscovery, "ServiceDiscovery", 1, false},
    {Msg::ServicePaymentSelection, "ServicePaymentSelection", 3, false},
    {Msg::ContractAuthentication, "ContractAuthentication", 5, false},
    {Msg::ChargeParameterDiscovery, "ChargeParameterDiscovery", 6, false},
    {Msg::CableCheck, "CableCheck", 13, false},
    {Msg::PreCharge, "PreCharge", 14, false},
    {Msg::PowerDelivery, "PowerDelivery", 7, false},  // its start follows PreCharge only
    {Msg::CurrentDemand, "CurrentDemand", 15, false},
    {Msg::WeldingDetection, "WeldingDetection", 16, true},
    {Msg::SessionStop, "SessionStop", 10, true},
};

const MsgInfo& Info(Msg m) {
    for (const MsgInfo& i : kMsgs)
        if (i.msg == m) return i;
    return kMsgs[0];
}

const char* const kResponseCodes[] = {
    "OK", "OK_NewSessionEstablished", "OK_OldSessionJoined", "OK_CertificateExpiresSoon", "FAILED",
    "FAILED_SequenceError", "FAILED_ServiceIDInvalid", "FAILED_UnknownSession", "FAILED_ServiceSelectionInvalid",
    "FAILED_PaymentSelectionInvalid", "FAILED_CertificateExpired", "FAILED_SignatureError",
    "FAILED_NoCertificateAvailable", "FAILED_CertChainError", "FAILED_ChallengeInvalid", "FAILED_ContractCanceled",
    "FAILED_WrongChargeParameter", "FAILED_PowerDeliveryNotApplied", "FAILED_TariffSelectionInvalid",
    "FAILED_ChargingProfileInvalid", "FAILED_EVSEPresentVoltageToLow", "FAILED_MeteringSignatureNotValid",
    "FAILED_WrongEnergyTransferType",
};

const char* const kEvseStatusCodes[] = {
    "EVSE_NotReady", "EVSE_Ready", "EVSE_Shutdown", "EVSE_UtilityInterruptEvent", "EVSE_IsolationMonitoringActive",
    "EVSE_EmergencyShutdown", "EVSE_Malfunction",
};

std::string StatusCodeName(std::int32_t code) {
    if (code >= 0 && code < static_cast<std::int32_t>(sizeof kEvseStatusCodes / sizeof kEvseStatusCodes[0]))
        return kEvseStatusCodes[code];
    return "status code " + std::to_string(code);
}

Bytes Frame(const std::uint8_t* exi, std::uint32_t n) {
    Bytes m(kHeader + n);
    m[0] = 0x01;
    m[1] = 0xFE;
    m[2] = kPayloadExi >> 8;
    m[3] = kPayloadExi & 0xFF;
    for (int i = 0; i < 4; ++i) m[4 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
    std::memcpy(m.data() + kHeader, exi, n);
    return m;
}

// The EXI body of a framed message from the station, or false.
bool Unframe(const Bytes& m, std::uint32_t* exiLen) {
    if (m.size() < kHeader || m[0] != 0x01 || m[1] != 0xFE || m[2] != (kPayloadExi >> 8) ||
        m[3] != (kPayloadExi & 0xFF))
        return false;
    std::uint32_t n = static_cast<std::uint32_t>(m[4]) << 24 | static_cast<std::uint32_t>(m[5]) << 16 |
                      static_cast<std::uint32_t>(m[6]) << 8 | m[7];
    if (static_cast<std::uint64_t>(n) + kHeader != m.size()) return false;
    *exiLen = n;
    return true;
}

void Physical(PhysicalValueType* v, std::int8_t multiplier, std::int32_t unit, std::int16_t value) {
    v->Multiplier = multiplier;
    v->Unit = unit;
    v->Value = value;
    v->isUsed = 1;
}

double Value(const PhysicalValueType& v) {
    double x = v.Value;
    for (int i = 0; i < v.Multiplier; ++i) x *= 10;
    for (int i = 0; i > v.Multiplier; --i) x /= 10;
    return x;
}

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

std::string Hex(const std::uint8_t* b, std::size_t n) {
    std::string s;
    char x[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(x, sizeof x, "%02x", b[i]);
        s += x;
    }
    return s;
}

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const char* MsgName(Msg m) { return m == Msg::None ? "none" : Info(m).name; }

bool ParseMsg(const std::string& text, Msg* m) {
    for (const MsgInfo& i : kMsgs) {
        std::string name = i.name;
        if (text == name || text == name + "Req") {
            *m = i.msg;
            return true;
        }
    }
    return false;
}

std::string ResponseCodeName(std::int32_t code) {
    if (code >= 0 && code < static_cast<std::int32_t>(sizeof kResponseCodes / sizeof kResponseCodes[0]))
        return kResponseCodes[code];
    return "response code " + std::to_string(code);
}

// A DIN document with its records.
struct CcsVehicle::Doc {
    std::unique_ptr<DinMessageStore> store = std::make_unique<DinMessageStore>();
    EXIDocumentType doc{};
    std::unique_ptr<DinService> service = std::make_unique<DinService>();

    void Clear() {
        dinInitDocument(&doc, store.get());
        dinInitService(service.get(), &doc);
    }
    bool Encode(int bodyBit, const std::uint8_t* sessionId, Bytes* out) {
        std::memcpy(store->header.SessionID.bytes, sessionId, 8);
        store->header.SessionID.bytesLen = 8;
        doc.V2G_Message.Body.isUsed = std::uint64_t{1} << bodyBit;
        std::uint8_t buf[512];
        std::uint32_t len = 0;
        if (dinSerializeMessage(service.get(), buf, sizeof buf, kHeader, &len) != 0) return false;
        *out = Frame(buf + kHeader, len);
        return true;
    }
    bool Decode(Bytes& m) {
        Clear();
        std::uint32_t n = 0;
        return Unframe(m, &n) && dinDeserializeMessage(service.get(), m.data(), n, kHeader) == 0;
    }
};

CcsVehicle::CcsVehicle(CcsEvConfig config, V2gChannel* channel, Printer print)
    : config_(config), channel_(channel), print_(std::move(print)), req_(std::make_unique<Doc>()),
      res_(std::make_unique<Doc>()), soc_(config.soc) {}

CcsVehicle::~CcsVehicle() = default;

bool CcsVehicle::Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
    Print("CcsEv: FAIL " + why);
    return false;
}

bool CcsVehicle::Run() {
    failure_.clear();
    return RunSequence();
}

bool CcsVehicle::Handshake() {
    auto req = std::make_unique<AnonType_supportedAppProtocolReq>();
    init_AnonType_supportedAppProtocolReq(req.get());
    AppProtocolType& e = req->AppProtocol[req->arrayLen++];
    init_AppProtocolType(&e);
    for (const char* c = kDinNamespace; *c; ++c)
        e.ProtocolNamespace.characters[e.ProtocolNamespace.charactersLen++] = static_cast<unsigned char>(*c);
    e.VersionNumberMajor = 2;
    e.VersionNumberMinor = 0;
    e.SchemaID = kDinSchemaId;
    e.Priority = 1;
    EXIDocumentType_appHand doc{req.get(), nullptr, kAppHandReqPresent};
    auto service = std::make_unique<appHandService>();
    std::uint8_t bytes[64];
    std::uint32_t chars[64];
    std::uint8_t buf[512] = {};
    std::uint32_t len = 0;
    init_appHandSerializer(service.get(), sizeof bytes, bytes, 0, 64, chars, 0, sizeof buf, kHeader);
    if (serialize_appHand(service.get(), buf, &len, &doc) != 0) return Fail("supportedAppProtocolReq does not encode");
    Bytes message = Frame(buf + kHeader, len);
    if (!SendAndDecode(Msg::SupportedAppProtocol, message, config_.splitAll ? config_.splitAt : 0)) return false;
    return true;
}

// Sends the request and reads the answer; the handshake's answer is decoded
// here, every other into res_.
bool CcsVehicle::SendAndDecode(Msg m, const Bytes& request, std::size_t splitAt) {
    const bool timed = m == Msg::CurrentDemand && config_.benchExchanges > 0;
    std::int64_t t0 = timed ? NowUs() : 0;
    if (!channel_->Send(request, splitAt)) return Fail(std::string("the connection refused ") + MsgName(m) + "Req");
    Bytes answer;
    switch (channel_->Receive(&answer, config_.answerTimeoutMs)) {
    case V2gChannel::Rx::Closed:
        ended_ = true;
        return Fail(std::string("the station closed the connection instead of answering ") + MsgName(m) + "Req");
    case V2gChannel::Rx::TimedOut:
        return Fail(std::string("no answer to ") + MsgName(m) + "Req within " +
                    std::to_string(config_.answerTimeoutMs) + " ms");
    case V2gChannel::Rx::Message: break;
    }
    if (timed) benchUs_.push_back(NowUs() - t0);
    if (m == Msg::SupportedAppProtocol) {
        std::uint32_t n = 0;
        if (!Unframe(answer, &n)) return Fail("the handshake answer has no valid V2GTP header");
        auto service = std::make_unique<appHandService>();
        std::uint8_t bytes[64];
        std::uint32_t chars[64];
        AnonType_supportedAppProtocolRes res{};
        EXIDocumentType_appHand doc{};
        init_EXIDocumentType_appHand(&doc);
        doc.supportedAppProtocolRes = &res;
        init_appHandDeserializer(service.get(), sizeof bytes, bytes, 0, 64, chars, 0, kHeader);
        if (deserialize_appHand(service.get(), answer.data(), static_cast<std::uint16_t>(n), &doc) != 0 ||
            !(service->exiDocument.isUsed & kAppHandResPresent))
            return Fail("the handshake answer is no supportedAppProtocolRes: " + Hex(answer.data(), answer.size()));
        static const char* const kNames[] = {"OK_SuccessfulNegotiation", "OK_SuccessfulNegotiationWithMinorDeviation",
                                             "Failed_NoNegotiation"};
        std::string code = res.ResponseCode < 3 ? kNames[res.ResponseCode] : std::to_string(res.ResponseCode);
        std::string schema = (res.isUsed & kSchemaIdUsed) ? ", SchemaID " + std::to_string(res.SchemaID) : "";
        Print("CcsEv: supportedAppProtocolReq -> supportedAppProtocolRes " + code + schema);
        answered_.push_back(m);
        if (res.ResponseCode != responseCodeType_OK_SuccessfulNegotiation)
            return Fail("DIN 2.0 was offered and not agreed: " + code);
        if (!(res.isUsed & kSchemaIdUsed) || res.SchemaID != kDinSchemaId)
            return Fail("the agreement names another schema than the offered " + std::to_string(kDinSchemaId));
        return true;
    }
    if (!res_->Decode(answer)) return Fail(std::string("the answer to ") + MsgName(m) + "Req does not decode: " +
                                           Hex(answer.data(), answer.size() < 48 ? answer.size() : 48));
    std::uint64_t want = std::uint64_t{1} << (2 * Info(m).pair + 1);
    if (res_->doc.V2G_Message.Body.isUsed != want)
        return Fail(std::string("the answer to ") + MsgName(m) + "Req is another message");
    answered_.push_back(m);
    return true;
}

void CcsVehicle::FillStatus(DinMessageStore& s, int which) const {
    DC_EVStatusType* st = nullptr;
    switch (static_cast<Msg>(which)) {
    case Msg::ChargeParameterDiscovery: st = &s.dcEVChargeParameter.DC_EVStatus; break;
    case Msg::CableCheck: st = &s.cableCheckReq.DC_EVStatus; break;
    case Msg::PreCharge: st = &s.preChargeReq.DC_EVStatus; break;
    case Msg::PowerDelivery: st = &s.dcEVPowerDeliveryParameter.DC_EVStatus; break;
    case Msg::CurrentDemand: st = &s.currentDemandReq.DC_EVStatus; break;
    case Msg::WeldingDetection: st = &s.weldingDetectionReq.DC_EVStatus; break;
    default: return;
    }
    st->EVReady = 1;
    st->EVErrorCode = 0;  // NO_ERROR
    st->EVRESSSOC = static_cast<std::int8_t>(soc_);
    st->isUsed = 0;
}

// One request and its answer: the response code must be `expect` (kExpectOk:
// the message's success code) and the answer's header the station's ID.
bool CcsVehicle::Exchange(Msg m, const Fill& fill, bool wrongId, std::size_t splitAt, std::int32_t expect) {
    req_->Clear();
    if (fill) fill(*req_->store);
    std::array<std::uint8_t, 8> id = sessionId_;
    if (wrongId && config_.forceId) id = config_.forcedId;
    else if (wrongId) id[0] = static_cast<std::uint8_t>(id[0] ^ 0xA5);
    Bytes request;
    if (!req_->Encode(2 * Info(m).pair, id.data(), &request))
        return Fail(std::string(MsgName(m)) + "Req does not encode");
    lastRequest_ = request;
    if (!SendAndDecode(m, request, splitAt)) return false;
    return CheckCommon(m, expect);
}

bool CcsVehicle::CheckCommon(Msg m, std::int32_t expect) {
    const DinMessageStore& s = *res_->store;
    std::int32_t code = -1;
    std::string detail;
    switch (m) {
    case Msg::SessionSetup:
        code = s.sessionSetupRes.ResponseCode;
        detail = ", SessionID " + Hex(s.header.SessionID.bytes, s.header.SessionID.bytesLen) + ", EVSEID " +
                 Hex(s.sessionSetupRes.EVSEID.bytes, s.sessionSetupRes.EVSEID.bytesLen);
        break;
    case Msg::ServiceDiscovery: code = s.serviceDiscoveryRes.ResponseCode; break;
    case Msg::ServicePaymentSelection: code = s.servicePaymentSelectionRes.ResponseCode; break;
    case Msg::ContractAuthentication:
        code = s.contractAuthenticationRes.ResponseCode;
        detail = s.contractAuthenticationRes.EVSEProcessing == kFinished ? ", Finished" : ", Ongoing";
        break;
    case Msg::ChargeParameterDiscovery:
        code = s.chargeParameterDiscoveryRes.ResponseCode;
        detail = s.chargeParameterDiscoveryRes.EVSEProcessing == kFinished ? ", Finished" : ", Ongoing";
        break;
    case Msg::CableCheck:
        code = s.cableCheckRes.ResponseCode;
        detail = s.cableCheckRes.EVSEProcessing == kFinished ? ", Finished" : ", Ongoing";
        break;
    case Msg::PreCharge:
        code = s.preChargeRes.ResponseCode;
        detail = ", present " + Num(Value(s.preChargeRes.EVSEPresentVoltage)) + " V";
        break;
    case Msg::PowerDelivery: code = s.powerDeliveryRes.ResponseCode; break;
    case Msg::CurrentDemand:
        code = s.currentDemandRes.ResponseCode;
        detail = ", present " + Num(Value(s.currentDemandRes.EVSEPresentVoltage)) + " V " +
                 Num(Value(s.currentDemandRes.EVSEPresentCurrent)) + " A";
        if (s.currentDemandRes.EVSEVoltageLimitAchieved || s.currentDemandRes.EVSECurrentLimitAchieved ||
            s.currentDemandRes.EVSEPowerLimitAchieved) {
            detail += std::string(", limit achieved:") + (s.currentDemandRes.EVSEVoltageLimitAchieved ? " voltage" : "") +
                      (s.currentDemandRes.EVSECurrentLimitAchieved ? " current" : "") +
                      (s.currentDemandRes.EVSEPowerLimitAchieved ? " power" : "");
        }
        break;
    case Msg::WeldingDetection:
        code = s.weldingDetectionRes.ResponseCode;
        detail = ", present " + Num(Value(s.weldingDetectionRes.EVSEPresentVoltage)) + " V";
        break;
    case Msg::SessionStop: code = s.sessionStopRes.ResponseCode; break;
    default: break;
    }
    Print(std::string("CcsEv: ") + MsgName(m) + "Req -> " + MsgName(m) + "Res " + ResponseCodeName(code) + detail);
    // The station's answer always names the session it holds: after
    // SessionSetup that is the ID it issued.
    if (m == Msg::SessionSetup) {
        if (s.header.SessionID.bytesLen != 8) return Fail("the session ID issued is not 8 bytes long");
        std::memcpy(sessionId_.data(), s.header.SessionID.bytes, 8);
    } else if (s.header.SessionID.bytesLen != 8 ||
               std::memcmp(s.header.SessionID.bytes, sessionId_.data(), 8) != 0) {
        return Fail(std::string("the answer to ") + MsgName(m) + "Req carries session ID " +
                    Hex(s.header.SessionID.bytes, s.header.SessionID.bytesLen) + ", not " +
                    Hex(sessionId_.data(), 8));
    }
    std::int32_t want = expect != kExpectOk ? expect : m == Msg::SessionSetup ? kOkNewSession : kOk;
    if (code != want)
        return Fail(std::string(MsgName(m)) + "Res answers " + ResponseCodeName(code) + ", expected " +
                    ResponseCodeName(want));
    return true;
}

bool CcsVehicle::CheckDcStatus(Msg m, bool cableCheckDone) {
    const DinMessageStore& s = *res_->store;
    const DC_EVSEStatusType* st = nullptr;
    switch (m) {
    case Msg::ChargeParameterDiscovery: st = &s.dcEVSEChargeParameter.DC_EVSEStatus; break;
    case Msg::CableCheck: st = &s.cableCheckRes.DC_EVSEStatus; break;
    case Msg::PreCharge: st = &s.preChargeRes.DC_EVSEStatus; break;
    case Msg::PowerDelivery: st = &s.dcEVSEStatus; break;
    case Msg::CurrentDemand: st = &s.currentDemandRes.DC_EVSEStatus; break;
    case Msg::WeldingDetection: st = &s.weldingDetectionRes.DC_EVSEStatus; break;
    default: return true;
    }
    std::int32_t code = st->EVSEStatusCode;
    if (code == 2 || code == 3 || code == 5 || code == 6)
        return Fail(std::string(MsgName(m)) + "Res reports " + StatusCodeName(code));
    bool isolationSent = (st->isUsed & 1) != 0;
    if (isolationSent && st->EVSEIsolationStatus == 3) return Fail(std::string(MsgName(m)) + "Res reports an isolation fault");
    if (cableCheckDone && (!isolationSent || (st->EVSEIsolationStatus != 1 && st->EVSEIsolationStatus != 2)))
        return Fail("the cable check finished without a valid isolation result");
    return true;
}

// One request of the sequence with the misbehaviour configured for it.
CcsVehicle::Outcome CcsVehicle::Ask(Msg m, const Fill& fill) {
    std::size_t split = 0;
    if (config_.splitAll || (!splitDone_ && config_.split == m)) {
        splitDone_ = true;
        split = config_.splitAt;
    }
    if (!silentDone_ && config_.silentBefore == m) {
        silentDone_ = true;
        Print("CcsEv: silent for " + std::to_string(config_.silentMs) + " ms before " + MsgName(m) + "Req");
        platform::GetClock().SleepMs(config_.silentMs);
        if (config_.silentMs >= kStationSequenceTimeoutMs) {
            req_->Clear();
            if (fill) fill(*req_->store);
            Bytes request;
            if (!req_->Encode(2 * Info(m).pair, sessionId_.data(), &request) || !channel_->Send(request, split))
                return ExpectEnd("the station ended the session", 1) ? Outcome::Ended : Outcome::Failed;
            // The late request may still get its refusal.
            return ExpectEnd("after " + std::to_string(config_.silentMs) + " ms without a request", 1)
                       ? Outcome::Ended
                       : Outcome::Failed;
        }
    }
    if (!skipDone_ && config_.skip == m) {
        skipDone_ = true;
        skipPending_ = true;
        Print(std::string("CcsEv: ") + MsgName(m) + "Req left out");
        return Outcome::Skipped;
    }
    if (!powerDone_ && config_.powerAfter != Msg::None && !answered_.empty() && answered_.back() == config_.powerAfter) {
        // Energy asked for before the isolation test and the precharge.
        powerDone_ = true;
        auto start = [this](DinMessageStore& s) {
            s.powerDeliveryReq.ReadyToChargeState = 1;
            s.powerDeliveryReq.isUsed = 0x2;
            FillStatus(s, static_cast<int>(Msg::PowerDelivery));
        };
        if (!Exchange(Msg::PowerDelivery, start, false, split, kFailedSequence)) return Outcome::Failed;
        return AfterRefusal(Msg::PowerDelivery);
    }
    if (skipPending_ && Info(m).anyOrder) {
        skipPending_ = false;  // nothing to refuse: this one may follow any request
    } else if (skipPending_) {
        // The request after a left-out one is out of order.
        skipPending_ = false;
        if (!Exchange(m, fill, false, split, kFailedSequence)) return Outcome::Failed;
        return AfterRefusal(m);
    }
    if (!wrongDone_ && config_.wrongSession == m) {
        wrongDone_ = true;
        if (!Exchange(m, fill, true, split, kFailedUnknownSession)) return Outcome::Failed;
        return AfterRefusal(m);
    }
    if (!refuseDone_ && config_.refuseAt == m) {
        refuseDone_ = true;
        if (!Exchange(m, fill, false, split, config_.refuseCode)) return Outcome::Failed;
        return AfterRefusal(m);
    }
    return Exchange(m, fill, false, split, kExpectOk) ? Outcome::Answered : Outcome::Failed;
}

// A refusal ends the session: the station closes the connection after its
// answer, and a request sent once more gets no answer.
CcsVehicle::Outcome CcsVehicle::AfterRefusal(Msg m) {
    const std::string why = std::string(MsgName(m)) + "Req refused";
    if (!config_.repeatFailed) return ExpectEnd(why, 0) ? Outcome::Ended : Outcome::Failed;
    channel_->Send(lastRequest_, 0);  // may fail: the connection may be gone already
    Bytes answer;
    switch (channel_->Receive(&answer, config_.answerTimeoutMs)) {
    case V2gChannel::Rx::Closed:
        ended_ = true;
        Print("CcsEv: the station closed the connection (" + why + ", sent once more unanswered)");
        return Outcome::Ended;
    case V2gChannel::Rx::TimedOut:
        Fail("the station did not close the connection (" + why + ")");
        return Outcome::Failed;
    case V2gChannel::Rx::Message: break;
    }
    Fail("the station answered " + std::string(MsgName(m)) + "Req again after it ended the session");
    return Outcome::Failed;
}

// The station must end the session: the connection closes after at most
// `answers` more messages from the station.
bool CcsVehicle::ExpectEnd(const std::string& why, int answers) {
    Bytes answer;
    for (int i = 0; i <= answers; ++i) {
        switch (channel_->Receive(&answer, config_.answerTimeoutMs)) {
        case V2gChannel::Rx::Closed:
            ended_ = true;
            Print("CcsEv: the station closed the connection (" + why + ")");
            return true;
        case V2gChannel::Rx::TimedOut: return Fail("the station did not close the connection (" + why + ")");
        case V2gChannel::Rx::Message: break;
        }
    }
    return Fail("the station goes on answering (" + why + ")");
}

bool CcsVehicle::RunSequence() {
    const CcsEvConfig& c = config_;
    auto& clock = platform::GetClock();
    if (!Handshake()) return false;

    Outcome o = Ask(Msg::SessionSetup, [&](DinMessageStore& s) {
        std::memcpy(s.sessionSetupReq.EVCCID.bytes, c.evccid.data(), 6);
        s.sessionSetupReq.EVCCID.bytesLen = 6;
    });
    if (o == Outcome::Failed) return false;
    if (o == Outcome::Ended) return true;
    if (o == Outcome::Answered) {
        const SessionSetupResType& r = res_->store->sessionSetupRes;
        if (c.checkEvseId && (r.EVSEID.bytesLen != 6 || std::memcmp(r.EVSEID.bytes, c.evseId.data(), 6) != 0))
            return Fail("EVSEID " + Hex(r.EVSEID.bytes, r.EVSEID.bytesLen) + " does not name the station matched, " +
                        Hex(c.evseId.data(), 6));
    }

    o = Ask(Msg::ServiceDiscovery, nullptr);
    if (o == Outcome::Failed) return false;
    if (o == Outcome::Ended) return true;
    if (o == Outcome::Answered) {
        const ServiceDiscoveryResType& r = res_->store->serviceDiscoveryRes;
        bool external = false;
        for (std::uint32_t i = 0; i < r.PaymentOptions.PaymentOption.arrayLen && i < 2; ++i)
            external |= r.PaymentOptions.PaymentOption.array[i] == kExternalPayment;
        if (!external) return Fail("ServiceDiscoveryRes offers no ExternalPayment");
        std::int32_t t = r.ChargeService.EnergyTransferType;
        if (t < 2 || t > 5) return Fail("the charge service offers no DC energy transfer (" + std::to_string(t) + ")");
        chargeServiceId_ = r.ChargeService.ServiceTag.ServiceID;
    }

    o = Ask(Msg::ServicePaymentSelection, [&](DinMessageStore& s) {
        auto& q = s.servicePaymentSelectionReq;
        q.SelectedPaymentOption = kExternalPayment;
        q.SelectedServiceList.SelectedService.arrayLen = 1;
        q.SelectedServiceList.SelectedService.array[0].ServiceID = chargeServiceId_;
    });
    if (o == Outcome::Failed) return false;
    if (o == Outcome::Ended) return true;

    // A loop of one request while the station works on it.
    auto loop = [&](Msg m, const Fill& fill, const std::function<bool(bool*)>& answered, std::int64_t limitMs) {
        std::int64_t end = -1;  // counted from the first answer
        for (;;) {
            Outcome r = Ask(m, fill);
            if (r != Outcome::Answered) return r;
            if (end < 0) end = clock.MonotonicMs() + limitMs;
            bool done = false;
            if (!answered(&done)) return Outcome::Failed;
            if (done) return r;
            if (clock.MonotonicMs() >= end) {
                Fail(std::string(MsgName(m)) + " still not done after " + std::to_string(limitMs) + " ms");
                return Outcome::Failed;
            }
            clock.SleepMs(c.gapMs);
        }
    };
    auto endOf = [](Outcome r) { return r == Outcome::Failed ? 0 : r == Outcome::Ended ? 1 : 2; };

    o = loop(Msg::ContractAuthentication, nullptr,
             [&](bool* done) {
                 *done = res_->store->contractAuthenticationRes.EVSEProcessing == kFinished;
                 return true;
             },
             c.loopLimitMs);
    if (endOf(o) < 2) return endOf(o) == 1;

    const int maxVoltage = c.maxVoltage;
    o = loop(Msg::ChargeParameterDiscovery,
             [&](DinMessageStore& s) {
                 auto& q = s.chargeParameterDiscoveryReq;
                 q.EVRequestedEnergyTransferType = kDcExtended;
                 q.isUsed = 0x2;  // DC_EVChargeParameter
                 auto& p = s.dcEVChargeParameter;
                 FillStatus(s, static_cast<int>(Msg::ChargeParameterDiscovery));
                 Physical(&p.EVMaximumCurrentLimit, -1, kUnitA, static_cast<std::int16_t>(c.maxCurrent * 10));
                 Physical(&p.EVMaximumPowerLimit, 3, kUnitW, static_cast<std::int16_t>(c.maxPowerKw));
                 Physical(&p.EVMaximumVoltageLimit, 0, kUnitV, static_cast<std::int16_t>(maxVoltage));
                 Physical(&p.EVEnergyCapacity, 3, kUnitWh, 60);
                 Physical(&p.EVEnergyRequest, 3, kUnitWh, static_cast<std::int16_t>((100 - soc_) * 60 / 100));
                 p.FullSOC = 100;
                 p.BulkSOC = 80;
                 p.isUsed = 0x1F;
             },
             [&](bool* done) {
                 const ChargeParameterDiscoveryResType& r = res_->store->chargeParameterDiscoveryRes;
                 if ((r.isUsed & 0x3) != 0x2) return Fail("ChargeParameterDiscoveryRes carries no DC parameters alone");
                 if (!CheckDcStatus(Msg::ChargeParameterDiscovery, false)) return false;
                 const DC_EVSEChargeParameterType& p = res_->store->dcEVSEChargeParameter;
                 struct {
                     const char* name;
                     const PhysicalValueType& v;
                     std::int32_t unit;
                 } units[] = {{"EVSEMaximumCurrentLimit", p.EVSEMaximumCurrentLimit, kUnitA},
                              {"EVSEMaximumVoltageLimit", p.EVSEMaximumVoltageLimit, kUnitV},
                              {"EVSEMinimumCurrentLimit", p.EVSEMinimumCurrentLimit, kUnitA},
                              {"EVSEMinimumVoltageLimit", p.EVSEMinimumVoltageLimit, kUnitV},
                              {"EVSEPeakCurrentRipple", p.EVSEPeakCurrentRipple, kUnitA}};
                 for (const auto& u : units)
                     if ((u.v.isUsed & 1) && u.v.Unit != u.unit)
                         return Fail(std::string(u.name) + " comes in unit " + std::to_string(u.v.Unit));
                 if ((p.isUsed & 1) && (p.EVSEMaximumPowerLimit.isUsed & 1) && p.EVSEMaximumPowerLimit.Unit != kUnitW)
                     return Fail("EVSEMaximumPowerLimit comes in unit " + std::to_string(p.EVSEMaximumPowerLimit.Unit));
                 evseMaxVoltage_ = static_cast<int>(Value(p.EVSEMaximumVoltageLimit));
                 evseMaxCurrent_ = static_cast<int>(Value(p.EVSEMaximumCurrentLimit));
                 if (Value(p.EVSEMinimumVoltageLimit) > evseMaxVoltage_ || Value(p.EVSEMinimumCurrentLimit) > evseMaxCurrent_)
                     return Fail("the station's minimum limits lie above its maximum limits");
                 const auto& tuples = r.SAScheduleList.SAScheduleTuple;
                 if (tuples.arrayLen == 0 || tuples.array[0].PMaxSchedule.PMaxScheduleEntry.arrayLen == 0)
                     return Fail("ChargeParameterDiscoveryRes offers no power schedule");
                 scheduleTupleId_ = tuples.array[0].SAScheduleTupleID;
                 *done = r.EVSEProcessing == kFinished;
                 return true;
             },
             c.loopLimitMs);
    if (endOf(o) < 2) return endOf(o) == 1;

    o = loop(Msg::CableCheck, [&](DinMessageStore& s) { FillStatus(s, static_cast<int>(Msg::CableCheck)); },
             [&](bool* done) {
                 *done = res_->store->cableCheckRes.EVSEProcessing == kFinished;
                 return CheckDcStatus(Msg::CableCheck, *done);
             },
             c.loopLimitMs);
    if (endOf(o) < 2) return endOf(o) == 1;

    int target = c.targetVoltage;
    if (evseMaxVoltage_ > 0 && target > evseMaxVoltage_) target = evseMaxVoltage_;
    o = loop(Msg::PreCharge,
             [&](DinMessageStore& s) {
                 FillStatus(s, static_cast<int>(Msg::PreCharge));
                 Physical(&s.preChargeReq.EVTargetVoltage, -1, kUnitV, static_cast<std::int16_t>(target * 10));
                 Physical(&s.preChargeReq.EVTargetCurrent, 0, kUnitA, 2);
             },
             [&](bool* done) {
                 const PhysicalValueType& v = res_->store->preChargeRes.EVSEPresentVoltage;
                 if ((v.isUsed & 1) && v.Unit != kUnitV) return Fail("EVSEPresentVoltage comes in unit " + std::to_string(v.Unit));
                 double d = Value(v) - target;
                 *done = d <= 20 && d >= -20;
                 return CheckDcStatus(Msg::PreCharge, false);
             },
             c.prechargeLimitMs);
    if (endOf(o) < 2) return endOf(o) == 1;

    auto powerDelivery = [&](bool start) {
        return Ask(Msg::PowerDelivery, [&, start](DinMessageStore& s) {
            auto& q = s.powerDeliveryReq;
            q.ReadyToChargeState = start ? 1 : 0;
            q.isUsed = 0x2;
            if (start) {
                q.isUsed |= 0x1;
                q.ChargingProfile.SAScheduleTupleID = scheduleTupleId_;
                const auto& tuple = res_->store->chargeParameterDiscoveryRes.SAScheduleList.SAScheduleTuple;
                (void)tuple;
                q.ChargingProfile.ProfileEntry.arrayLen = 1;
                q.ChargingProfile.ProfileEntry.array[0] = ProfileEntryType{0, static_cast<std::int16_t>(c.maxPowerKw * 100)};
            }
            FillStatus(s, static_cast<int>(Msg::PowerDelivery));
            s.dcEVPowerDeliveryParameter.BulkChargingComplete = 0;
            s.dcEVPowerDeliveryParameter.ChargingComplete = start ? 0 : 1;
            s.dcEVPowerDeliveryParameter.isUsed = 0x1;
        });
    };
    auto checkPowerDelivery = [&]() {
        const PowerDeliveryResType& r = res_->store->powerDeliveryRes;
        if ((r.isUsed & 0x3) != 0x2) return Fail("PowerDeliveryRes carries no DC_EVSEStatus alone");
        return CheckDcStatus(Msg::PowerDelivery, false);
    };
    o = powerDelivery(true);
    if (endOf(o) < 2) return endOf(o) == 1;
    if (o == Outcome::Answered && !checkPowerDelivery()) return false;

    const int demands = c.demands + c.benchExchanges;
    for (int i = 0; i < demands; ++i) {
        const bool last = i == demands - 1 || (c.endCharge && *c.endCharge);
        o = Ask(Msg::CurrentDemand, [&](DinMessageStore& s) {
            auto& q = s.currentDemandReq;
            FillStatus(s, static_cast<int>(Msg::CurrentDemand));
            Physical(&q.EVTargetCurrent, c.targetCurrentMultiplier, kUnitA, static_cast<std::int16_t>(c.targetCurrent));
            Physical(&q.EVMaximumVoltageLimit, 0, kUnitV, static_cast<std::int16_t>(c.maxVoltage));
            Physical(&q.EVMaximumCurrentLimit, 0, kUnitA, static_cast<std::int16_t>(c.maxCurrent));
            Physical(&q.EVMaximumPowerLimit, 3, kUnitW, static_cast<std::int16_t>(c.maxPowerKw));
            q.BulkChargingComplete = soc_ >= 80 ? 1 : 0;
            q.ChargingComplete = last ? 1 : 0;
            Physical(&q.RemainingTimeToFullSoC, 0, kUnitS, static_cast<std::int16_t>((100 - soc_) * 60));
            Physical(&q.RemainingTimeToBulkSoC, 0, kUnitS, static_cast<std::int16_t>(soc_ < 80 ? (80 - soc_) * 60 : 0));
            if (c.demandVoltage != 0)
                Physical(&q.EVTargetVoltage, c.demandVoltageMultiplier, kUnitV, static_cast<std::int16_t>(c.demandVoltage));
            else
                Physical(&q.EVTargetVoltage, -1, kUnitV, static_cast<std::int16_t>(target * 10));
            q.isUsed = 0x3F;
        });
        if (endOf(o) < 2) return endOf(o) == 1;
        if (o == Outcome::Answered) {
            const CurrentDemandResType& r = res_->store->currentDemandRes;
            if (!CheckDcStatus(Msg::CurrentDemand, false)) return false;
            if ((r.EVSEPresentVoltage.isUsed & 1) && r.EVSEPresentVoltage.Unit != kUnitV)
                return Fail("EVSEPresentVoltage comes in unit " + std::to_string(r.EVSEPresentVoltage.Unit));
            if ((r.EVSEPresentCurrent.isUsed & 1) && r.EVSEPresentCurrent.Unit != kUnitA)
                return Fail("EVSEPresentCurrent comes in unit " + std::to_string(r.EVSEPresentCurrent.Unit));
            double v = Value(r.EVSEPresentVoltage), a = Value(r.EVSEPresentCurrent);
            if (v > c.maxVoltage) return Fail("the station applies " + Num(v) + " V above the vehicle's limit");
            PhysicalValueType asked{};
            Physical(&asked, c.targetCurrentMultiplier, kUnitA, static_cast<std::int16_t>(c.targetCurrent));
            const double askedAmps = Value(asked);
            double over = askedAmps / 10.0 > 5 ? askedAmps / 10.0 : 5;
            if (a > askedAmps + over)
                return Fail("the station delivers " + Num(a) + " A over the target " + Num(askedAmps) + " A");
            PhysicalValueType askedV{};
            if (c.demandVoltage != 0) Physical(&askedV, c.demandVoltageMultiplier, kUnitV, static_cast<std::int16_t>(c.demandVoltage));
            else Physical(&askedV, 0, kUnitV, static_cast<std::int16_t>(target));
            const double askedVolts = Value(askedV);
            // The flags agree with the values of the same answer: a limit is
            // achieved when the output stands at it or the target lay beyond it.
            struct {
                const char* name;
                int bit;
                const PhysicalValueType& limit;
                double present, asked;
                std::int32_t flag;
            } limits[] = {{"EVSEVoltageLimitAchieved", 0, r.EVSEMaximumVoltageLimit, v, askedVolts, r.EVSEVoltageLimitAchieved},
                          {"EVSECurrentLimitAchieved", 1, r.EVSEMaximumCurrentLimit, a, askedAmps, r.EVSECurrentLimitAchieved},
                          {"EVSEPowerLimitAchieved", 2, r.EVSEMaximumPowerLimit, v * a, askedVolts * askedAmps,
                           r.EVSEPowerLimitAchieved}};
            for (const auto& l : limits) {
                if (!(r.isUsed & (1u << l.bit))) continue;
                bool reached = l.present >= Value(l.limit);
                bool held = l.asked > Value(l.limit);  // the target may have been held to the limit
                if ((l.flag != 0) != reached && !(l.flag && held))
                    return Fail(std::string(l.name) + " is " + (l.flag ? "true" : "false") + " at " + Num(l.present) +
                                " against " + Num(Value(l.limit)));
            }
            if (soc_ < 100) ++soc_;
            if (c.dropAfter > 0 && (i + 1 >= c.dropAfter || (c.endCharge && *c.endCharge))) {
                // Gone mid-charge: no stop, no SessionStop.
                timespec now{};
                clock_gettime(CLOCK_REALTIME, &now);
                char at[32];
                std::snprintf(at, sizeof at, "%lld.%03ld", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000000);
                if (!channel_->Drop(c.dropReset)) return Fail("the connection cannot be dropped");
                Print(std::string("CcsEv: connection ") + (c.dropReset ? "reset" : "closed") + " at " + at);
                ended_ = true;
                return true;
            }
        }
        if (last) break;
        clock.SleepMs(c.gapMs);
    }

    o = powerDelivery(false);
    if (endOf(o) < 2) return endOf(o) == 1;
    if (o == Outcome::Answered && !checkPowerDelivery()) return false;

    for (int i = 0; i < c.weldingChecks; ++i) {
        o = Ask(Msg::WeldingDetection, [&](DinMessageStore& s) { FillStatus(s, static_cast<int>(Msg::WeldingDetection)); });
        if (endOf(o) < 2) return endOf(o) == 1;
        if (o != Outcome::Answered) break;
        if (!CheckDcStatus(Msg::WeldingDetection, false)) return false;
        if (Value(res_->store->weldingDetectionRes.EVSEPresentVoltage) < 20) break;
        clock.SleepMs(c.gapMs);
    }

    o = Ask(Msg::SessionStop, nullptr);
    if (endOf(o) < 2) return endOf(o) == 1;
    return ExpectEnd("SessionStop answered", 0);
}

}  // namespace evsim
