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
#include "clock.h"
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

// A session runs from an accepted SessionSetup to its end; energy may be
// asked for only between an accepted PowerDelivery start and its stop.
bool g_sessionOpen = false;
bool g_charging = false;

bool Accepted(std::int32_t code) { return code >= kRespOK && code < kRespFAILED; }

// The bytes the session writes for the vehicle: 2163-2173, 2184-2186 and
// 2189-2195 (2174-2183 between them are the station's own).
void ClearVehicleBytes() {
    if (!MeterSMPtr) return;
    auto clear = [](std::size_t from, std::size_t to) { std::memset(MeterSMPtr + from, 0, to - from); };
    clear(regmap::SHRMEM_CCS_EV_READY.offset, regmap::SHRMEM_CCS_EV_BULK_SOC.offset + 1);
    clear(regmap::SHRMEM_CCS_EV_TARGET_VOLTAGE.offset, regmap::SHRMEM_CCS_EV_TARGET_CURRENT.offset + 1);
    clear(regmap::SHRMEM_CCS_EV_READY_TO_CHARGE.offset, regmap::SHRMEM_CCS_EV_TIME_TO_BULK.offset + 2);
}

// No energy without a vehicle asking for it: the ready flag and the targets go.
void StopEnergy() {
    g_charging = false;
    if (!MeterSMPtr) return;
    Map().set(regmap::SHRMEM_CCS_EV_READY_TO_CHARGE, 0);
    Map().set(regmap::SHRMEM_CCS_EV_TARGET_VOLTAGE, 0);
    Map().set(regmap::SHRMEM_CCS_EV_TARGET_CURRENT, 0);
}

// The end of a session, however it came: nothing of it stays armed, and
// its ID matches no later request.
void EndSession() {
    StopEnergy();
    ClearVehicleBytes();
    std::memset(nSessionID, 0, sizeof nSessionID);
    g_sessionOpen = false;
}

// The status word of an ended session: the SessionStop step.
constexpr std::uint32_t kSessionEndedWord = 0x06000000u | std::uint32_t{kStepSessionStop} << 16;

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
// A stop (PowerDelivery with ReadyToChargeState false) is in order at any
// step of a session, so a vehicle can always end a charge.
std::int32_t CommonFrame(std::uint8_t step, MessageHeaderType& header, bool stopping = false) {
    nLast_SystemStatus = nSystemStatus;
    SetStep(step);
    bool inOrder = stopping ? g_sessionOpen : V2GFlowCheck(step) != 0;
    std::int32_t code;
    if (!inOrder) code = kRespFAILED_SequenceError;
    else if (!V2G_SessionID_Check(header)) code = kRespFAILED_UnknownSession;
    else code = MapResponseCode();
    return code;
}

void FillHeader(MessageHeaderType& header) {
    header = MessageHeaderType{};
    std::memcpy(header.SessionID.bytes, nSessionID, sizeof nSessionID);
    header.SessionID.bytesLen = sizeof nSessionID;
}

bool ZeroId(const std::uint8_t* id) {
    for (std::size_t i = 0; i < sizeof nSessionID; ++i) {
        if (id[i] != 0) return false;
    }
    return true;
}

// Eight bytes from the kernel's random source: no two sessions share an ID,
// and none is all zero (the ID of no session).
void NewSessionId() {
    do {
        std::size_t got = 0;
        while (got < sizeof nSessionID) {
            ssize_t n = getrandom(nSessionID + got, sizeof nSessionID - got, 0);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
    } while (ZeroId(nSessionID));
}

// A service method fills the response and returns its response code.
using Method = std::int32_t (*)(MessageHeaderType&, DinMessageStore&);

std::int32_t sessionSetup(MessageHeaderType& header, DinMessageStore& s) {
    nLast_SystemStatus = nSystemStatus;
    SetStep(kStepSessionSetup);
    SessionSetupResType& res = s.sessionSetupRes;
    res.ResponseCode = V2GFlowCheck(kStepSessionSetup) ? kRespOK_NewSessionEstablished : kRespFAILED_SequenceError;
    if (Accepted(res.ResponseCode)) {
        // A new vehicle starts from nothing: none of the last one's values,
        // and it waits for its own authorisation.
        EndSession();
        NewSessionId();
        g_sessionOpen = true;
        Map().set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 1);
    }
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

// ------------------------------------------------------------ DC services

constexpr std::int32_t kUnitH = 0, kUnitMin = 1, kUnitA = 3, kUnitV = 5, kUnitW = 7, kUnitWh = 9;
constexpr std::int32_t kTransferDcCore = 2;
constexpr std::uint32_t kNotificationMaxDelay = 100;

// The schedules every DC answer offers: {tuple ID, PMax schedule ID,
// {start s, PMax W} x 2}. A ChargingProfile may name either tuple.
struct OfferedSchedule {
    std::int16_t tupleId, scheduleId;
    std::uint32_t start[2];
    std::int16_t pmax[2];
};
constexpr OfferedSchedule kSchedules[] = {
    {10, 20, {0, 1200}, {20000, 0}},
    {15, 30, {0, 1800}, {10000, 0}},
};

std::int32_t Conv(const PhysicalValueType& p) { return V2G_DataConv(p.Multiplier, p.Value); }

// EV values reach the map only when they make sense: a negative value is
// refused (its request is answered as the service says) and a value wider
// than its field is kept at the field's largest value, never cut to its low
// bits.
void StoreEv(regmap::U8 field, std::int64_t v) {
    if (v >= 0) Map().set(field, static_cast<std::uint8_t>(v > 0xFF ? 0xFF : v));
}
void StoreEv(regmap::U16 field, std::int64_t v) {
    if (v >= 0) Map().set(field, static_cast<std::uint16_t>(v > 0xFFFF ? 0xFFFF : v));
}
// Watts or watt-hours into the kilo fields; nothing below one kilo.
void StoreEvKilo(regmap::U8 field, std::int32_t v) {
    if (v >= 0) StoreEv(field, v < 1000 ? 0 : v / 1000);
}

void StoreEvStatus(const DC_EVStatusType& st) {
    StoreEv(regmap::SHRMEM_CCS_EV_READY, st.EVReady);
    StoreEv(regmap::SHRMEM_CCS_EV_ERROR_CODE, st.EVErrorCode);
    StoreEv(regmap::SHRMEM_CCS_EV_SOC, st.EVRESSSOC);
}

// Map values the station's software left, kept inside what the answer's
// types can carry: an isolation result out of the list is a fault, a status
// code out of the list a malfunction, a voltage beyond a short the largest.
constexpr std::int32_t kIsolationFault = 3;
constexpr std::int32_t kIsolationLast = 3;
constexpr std::int32_t kEvseMalfunction = 6;
constexpr std::int32_t kEvseStatusLast = 11;  // Reserved_C

std::int16_t MapShort(std::uint32_t v) { return static_cast<std::int16_t>(v > 32767 ? 32767 : v); }

void FillDcEvseStatus(DC_EVSEStatusType& st) {
    std::int32_t iso = Map().get(regmap::SHRMEM_CCS_EVSE_ISOLATION);
    std::int32_t code = Map().get(regmap::SHRMEM_CCS_EVSE_STATUS_CODE);
    st.EVSEIsolationStatus = iso <= kIsolationLast ? iso : kIsolationFault;
    st.EVSEStatusCode = code <= kEvseStatusLast ? code : kEvseMalfunction;
    st.NotificationMaxDelay = kNotificationMaxDelay;
    st.EVSENotification = 0;  // None
    st.isUsed = 0x1;          // isolation status sent
}

PhysicalValueType Physical(std::int8_t multiplier, std::int32_t unit, std::uint32_t value) {
    PhysicalValueType p{};
    p.Multiplier = multiplier;
    p.Unit = unit;
    p.Value = MapShort(value);
    p.isUsed = 0x1;  // unit sent
    return p;
}

PhysicalValueType PresentVoltage() { return Physical(0, kUnitV, Map().get(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE)); }

void FillAcEvseStatus(AC_EVSEStatusType& st) {
    st.PowerSwitchClosed = 1;
    st.RCD = 1;
    st.NotificationMaxDelay = 123;
    st.EVSENotification = 0;
}

void FillSchedules(SAScheduleListType& list) {
    std::uint32_t n = 0;
    for (const OfferedSchedule& o : kSchedules) {
        SAScheduleTupleType& t = list.SAScheduleTuple.array[n++];
        t.SAScheduleTupleID = o.tupleId;
        t.PMaxSchedule.PMaxScheduleID = o.scheduleId;
        for (std::uint32_t i = 0; i < 2; ++i) {
            PMaxScheduleEntryType& e = t.PMaxSchedule.PMaxScheduleEntry.array[i];
            e.RelativeTimeInterval.start = o.start[i];
            e.RelativeTimeInterval.isUsed = 0;  // no duration
            e.PMax = o.pmax[i];
        }
        t.PMaxSchedule.PMaxScheduleEntry.arrayLen = 2;
        t.isUsed = 0;  // no SalesTariff
    }
    list.SAScheduleTuple.arrayLen = n;
}

// An AC request: refused with fixed placeholder content; the station
// charges DC only.
std::int32_t chargeParameterDiscoveryAc(ChargeParameterDiscoveryResType& res) {
    res.ResponseCode = kRespFAILED_WrongEnergyTransferType;
    res.EVSEProcessing = 0;
    AC_EVSEChargeParameterType& ac = *res.AC_EVSEChargeParameter;
    FillAcEvseStatus(ac.AC_EVSEStatus);
    ac.EVSEMaxVoltage = Physical(0, kUnitV, 200);
    ac.EVSEMaxCurrent = Physical(0, kUnitA, 100);
    ac.EVSEMinCurrent = Physical(0, kUnitA, 300);
    res.isUsed = 0x1;
    SAScheduleTupleType& t = res.SAScheduleList.SAScheduleTuple.array[0];
    t.SAScheduleTupleID = kSchedules[0].tupleId;
    t.PMaxSchedule.PMaxScheduleID = kSchedules[0].scheduleId;
    for (std::uint32_t i = 0; i < 2; ++i) {
        t.PMaxSchedule.PMaxScheduleEntry.array[i].RelativeTimeInterval.start = kSchedules[0].start[i];
        t.PMaxSchedule.PMaxScheduleEntry.array[i].PMax = kSchedules[0].pmax[i];
    }
    t.PMaxSchedule.PMaxScheduleEntry.arrayLen = 2;
    SalesTariffType& tariff = *t.SalesTariff;
    tariff.Id.characters[0] = 100;
    tariff.Id.charactersLen = 1;
    tariff.SalesTariffID = 20;
    tariff.NumEPriceLevels = 2;
    SalesTariffEntryType& e = tariff.SalesTariffEntry.array[0];
    e.RelativeTimeInterval.start = 0;
    e.RelativeTimeInterval.duration = 10;
    e.RelativeTimeInterval.isUsed = 0x1;
    e.EPriceLevel = 2;
    tariff.SalesTariffEntry.arrayLen = 1;
    t.isUsed = 0x1;
    res.SAScheduleList.SAScheduleTuple.arrayLen = 1;
    return res.ResponseCode;
}

std::int32_t chargeParameterDiscovery(MessageHeaderType& header, DinMessageStore& s) {
    const ChargeParameterDiscoveryReqType& req = s.chargeParameterDiscoveryReq;
    ChargeParameterDiscoveryResType& res = s.chargeParameterDiscoveryRes;
    bool dcParameters = (req.isUsed & 0x2) != 0;
    if (req.EVRequestedEnergyTransferType != kTransferDcCore && !dcParameters) {
        nLast_SystemStatus = nSystemStatus;
        SetStep(kStepChargeParameterDiscovery);
        return chargeParameterDiscoveryAc(res);
    }
    res.ResponseCode = CommonFrame(kStepChargeParameterDiscovery, header);
    // Only an accepted request leaves its values; a DC_core request that
    // carries no DC parameters has none to leave.
    if (dcParameters && Accepted(res.ResponseCode)) {
        const DC_EVChargeParameterType& ev = *req.DC_EVChargeParameter;
        StoreEvStatus(ev.DC_EVStatus);
        StoreEv(regmap::SHRMEM_CCS_EV_MAX_CURRENT, Conv(ev.EVMaximumCurrentLimit));
        if (ev.isUsed & 0x1) StoreEvKilo(regmap::SHRMEM_CCS_EV_MAX_POWER, Conv(ev.EVMaximumPowerLimit));
        StoreEv(regmap::SHRMEM_CCS_EV_MAX_VOLTAGE, Conv(ev.EVMaximumVoltageLimit));
        if (ev.isUsed & 0x2) StoreEvKilo(regmap::SHRMEM_CCS_EV_ENERGY_CAPACITY, Conv(ev.EVEnergyCapacity));
        if (ev.isUsed & 0x4) StoreEvKilo(regmap::SHRMEM_CCS_EV_ENERGY_REQUEST, Conv(ev.EVEnergyRequest));
        if (ev.isUsed & 0x8) StoreEv(regmap::SHRMEM_CCS_EV_FULL_SOC, ev.FullSOC);
        if (ev.isUsed & 0x10) StoreEv(regmap::SHRMEM_CCS_EV_BULK_SOC, ev.BulkSOC);
    }
    res.isUsed = 0x2;  // DC parameters
    res.EVSEProcessing = MapProcessing(regmap::SHRMEM_CCS_CPD_PROCESSING);
    // CableCheck reports Ongoing until the station has tested the isolation.
    if (Accepted(res.ResponseCode)) Map().set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 1);
    DC_EVSEChargeParameterType& dc = *res.DC_EVSEChargeParameter;
    FillDcEvseStatus(dc.DC_EVSEStatus);
    dc.EVSEMaximumCurrentLimit = Physical(0, kUnitA, Map().get(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT));
    dc.EVSEMaximumPowerLimit = Physical(3, kUnitW, Map().get(regmap::SHRMEM_CCS_EVSE_MAX_POWER));
    dc.EVSEMaximumVoltageLimit = Physical(0, kUnitV, Map().get(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE));
    dc.EVSEMinimumCurrentLimit = Physical(0, kUnitA, Map().get(regmap::SHRMEM_CCS_EVSE_MIN_CURRENT));
    dc.EVSEMinimumVoltageLimit = Physical(0, kUnitV, Map().get(regmap::SHRMEM_CCS_EVSE_MIN_VOLTAGE));
    dc.EVSEPeakCurrentRipple = Physical(-1, kUnitA, 1);
    dc.EVSEEnergyToBeDelivered = Physical(3, kUnitWh, Map().get(regmap::SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER));
    dc.isUsed = 0x1 | 0x4;  // power limit and energy; no regulation tolerance
    FillSchedules(res.SAScheduleList);
    if (Accepted(res.ResponseCode)) Map().set(regmap::ccsb::SHRMEM_CCS_CPD_DONE, 1);
    FillHeader(header);
    return res.ResponseCode;
}

std::int32_t cableCheck(MessageHeaderType& header, DinMessageStore& s) {
    CableCheckResType& res = s.cableCheckRes;
    res.ResponseCode = CommonFrame(kStepCableCheck, header);
    if (Accepted(res.ResponseCode)) StoreEvStatus(s.cableCheckReq.DC_EVStatus);
    res.EVSEProcessing = MapProcessing(regmap::SHRMEM_CCS_EVSE_PROCESSING);
    FillDcEvseStatus(res.DC_EVSEStatus);
    FillHeader(header);
    return res.ResponseCode;
}

// The vehicle's targets as the station may take them: never above its own
// present limits (2176-2179), and only values a DC vehicle can mean.
constexpr std::int32_t kMostDcVolts = 1500;
constexpr std::int32_t kMostDcAmps = 1000;

struct Targets {
    std::int32_t volts = 0, amps = 0;
    bool plausible = false;
    bool voltageLimited = false, currentLimited = false, powerLimited = false;
};

Targets LimitTargets(std::int32_t volts, std::int32_t amps) {
    Targets t;
    t.plausible = volts >= 0 && amps >= 0 && volts <= kMostDcVolts && amps <= kMostDcAmps;
    if (!t.plausible) return t;
    regmap::RegisterMap m = Map();
    std::int32_t maxVolts = m.get(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE);
    std::int32_t maxAmps = m.get(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT);
    std::int32_t maxWatts = m.get(regmap::SHRMEM_CCS_EVSE_MAX_POWER) * 1000;
    t.voltageLimited = volts > maxVolts;
    t.volts = t.voltageLimited ? maxVolts : volts;
    t.currentLimited = amps > maxAmps;
    t.amps = t.currentLimited ? maxAmps : amps;
    if (t.volts > 0 && t.volts * t.amps > maxWatts) {
        t.powerLimited = true;
        t.amps = maxWatts / t.volts;
    }
    return t;
}

void StoreTargets(const Targets& t) {
    Map().set(regmap::SHRMEM_CCS_EV_TARGET_VOLTAGE, static_cast<std::uint16_t>(t.volts));
    Map().set(regmap::SHRMEM_CCS_EV_TARGET_CURRENT, static_cast<std::uint8_t>(t.amps));
}

std::int32_t preCharge(MessageHeaderType& header, DinMessageStore& s) {
    const PreChargeReqType& req = s.preChargeReq;
    PreChargeResType& res = s.preChargeRes;
    res.ResponseCode = CommonFrame(kStepPreCharge, header);
    Targets t = LimitTargets(Conv(req.EVTargetVoltage), Conv(req.EVTargetCurrent));
    if (Accepted(res.ResponseCode) && !t.plausible) res.ResponseCode = kRespFAILED_WrongChargeParameter;
    if (Accepted(res.ResponseCode)) {
        StoreEvStatus(req.DC_EVStatus);
        StoreTargets(t);
    }
    FillDcEvseStatus(res.DC_EVSEStatus);
    res.EVSEPresentVoltage = PresentVoltage();
    FillHeader(header);
    return res.ResponseCode;
}

// After a stop the answer waits until the output is down (below 6 A and
// 10 V at the CCS board's present values) or 1500 ms have passed.
constexpr std::int64_t kStopWaitMs = 1500;
constexpr std::int64_t kStopPollMs = 10;

void WaitForOutputDown() {
    common::TimeStamp start = common::MonotonicNow();
    for (;;) {
        bool live = Map().get(regmap::SHRMEM_CCS_EVSE_PRESENT_CURRENT) > 5 ||
                    Map().get(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE) > 9;
        if (!live || common::ElapsedMs(start) > kStopWaitMs) return;
        platform::GetClock().SleepMs(kStopPollMs);
    }
}

bool OfferedTuple(std::int16_t id) {
    for (const OfferedSchedule& o : kSchedules) {
        if (o.tupleId == id) return true;
    }
    return false;
}

std::int32_t powerDelivery(MessageHeaderType& header, DinMessageStore& s) {
    const PowerDeliveryReqType& req = s.powerDeliveryReq;
    PowerDeliveryResType& res = s.powerDeliveryRes;
    const bool start = req.ReadyToChargeState != 0;
    if (!(req.isUsed & 0x2)) {
        // Without DC parameters: an AC answer, nothing of the map touched.
        res.ResponseCode = CommonFrame(kStepPowerDelivery, header, !start);
        FillAcEvseStatus(*res.AC_EVSEStatus);
        res.isUsed = 0x1;
        return res.ResponseCode;
    }
    const DC_EVPowerDeliveryParameterType& p = *req.DC_EVPowerDeliveryParameter;
    res.ResponseCode = CommonFrame(kStepPowerDelivery, header, !start);
    if (Accepted(res.ResponseCode) && (req.isUsed & 0x1) && !OfferedTuple(req.ChargingProfile.SAScheduleTupleID)) {
        res.ResponseCode = kRespFAILED_TariffSelectionInvalid;
    }
    if (Accepted(res.ResponseCode)) {
        if (start) {
            g_charging = true;
        } else {
            StopEnergy();
        }
        StoreEv(regmap::SHRMEM_CCS_EV_READY_TO_CHARGE, start ? 1 : 0);
        StoreEvStatus(p.DC_EVStatus);
        if (p.isUsed & 0x1) StoreEv(regmap::SHRMEM_CCS_EV_BULK_COMPLETE, p.BulkChargingComplete);
        StoreEv(regmap::SHRMEM_CCS_EV_CHARGING_COMPLETE, p.ChargingComplete);
        if (!start) WaitForOutputDown();
    }
    FillDcEvseStatus(*res.DC_EVSEStatus);
    res.isUsed = 0x2;
    FillHeader(header);
    return res.ResponseCode;
}

// A remaining time in seconds; a negative result stays negative (refused).
// A time without its unit is taken as seconds, the unit DIN counts in.
std::int64_t RemainingSeconds(const PhysicalValueType& p) {
    std::int64_t v = Conv(p);
    if (!(p.isUsed & 0x1)) return v;
    if (p.Unit == kUnitH) return v * 3600;
    if (p.Unit == kUnitMin) return v * 60;
    return v;
}

std::int32_t currentDemand(MessageHeaderType& header, DinMessageStore& s) {
    CurrentDemandReqType& req = s.currentDemandReq;
    CurrentDemandResType& res = s.currentDemandRes;
    res.ResponseCode = CommonFrame(kStepCurrentDemand, header);
    Targets t = LimitTargets(Conv(req.EVTargetVoltage), Conv(req.EVTargetCurrent));
    // A vehicle that cannot tell its time to full is taken as five minutes off.
    if ((req.isUsed & 0x10) && req.RemainingTimeToFullSoC.Value < 0) req.RemainingTimeToFullSoC.Value = 300;
    bool negative = (req.isUsed & 0x1 && Conv(req.EVMaximumVoltageLimit) < 0) ||
                    (req.isUsed & 0x2 && Conv(req.EVMaximumCurrentLimit) < 0) ||
                    (req.isUsed & 0x4 && Conv(req.EVMaximumPowerLimit) < 0) ||
                    (req.isUsed & 0x10 && RemainingSeconds(req.RemainingTimeToFullSoC) < 0) ||
                    (req.isUsed & 0x20 && RemainingSeconds(req.RemainingTimeToBulkSoC) < 0);
    if (Accepted(res.ResponseCode) && (negative || !t.plausible)) res.ResponseCode = kRespFAILED_WrongChargeParameter;
    if (Accepted(res.ResponseCode)) {
        StoreEvStatus(req.DC_EVStatus);
        if (req.isUsed & 0x1) StoreEv(regmap::SHRMEM_CCS_EV_MAX_VOLTAGE, Conv(req.EVMaximumVoltageLimit));
        if (req.isUsed & 0x2) StoreEv(regmap::SHRMEM_CCS_EV_MAX_CURRENT, Conv(req.EVMaximumCurrentLimit));
        if (req.isUsed & 0x4) StoreEvKilo(regmap::SHRMEM_CCS_EV_MAX_POWER, Conv(req.EVMaximumPowerLimit));
        if (req.isUsed & 0x8) StoreEv(regmap::SHRMEM_CCS_EV_BULK_COMPLETE, req.BulkChargingComplete);
        StoreEv(regmap::SHRMEM_CCS_EV_CHARGING_COMPLETE, req.ChargingComplete);
        if (req.isUsed & 0x10) StoreEv(regmap::SHRMEM_CCS_EV_TIME_TO_FULL, RemainingSeconds(req.RemainingTimeToFullSoC));
        if (req.isUsed & 0x20) StoreEv(regmap::SHRMEM_CCS_EV_TIME_TO_BULK, RemainingSeconds(req.RemainingTimeToBulkSoC));
        StoreTargets(t);
    }

    regmap::RegisterMap m = Map();
    std::uint32_t volts = m.get(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE);
    std::uint32_t amps = m.get(regmap::SHRMEM_CCS_EVSE_PRESENT_CURRENT);
    std::uint32_t maxVolts = m.get(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE);
    std::uint32_t maxAmps = m.get(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT);
    std::uint32_t maxKw = m.get(regmap::SHRMEM_CCS_EVSE_MAX_POWER);
    bool limited = Accepted(res.ResponseCode);  // a refused target was not taken, so not limited either
    FillDcEvseStatus(res.DC_EVSEStatus);
    res.EVSEPresentVoltage = Physical(0, kUnitV, volts);
    res.EVSEPresentCurrent = Physical(0, kUnitA, amps);
    // A limit is achieved when the output stands at it or the vehicle's
    // target was held to it.
    res.EVSECurrentLimitAchieved = amps >= maxAmps || (limited && t.currentLimited);
    res.EVSEVoltageLimitAchieved = volts >= maxVolts || (limited && t.voltageLimited);
    res.EVSEPowerLimitAchieved = volts * amps >= maxKw * 1000 || (limited && t.powerLimited);
    res.EVSEMaximumVoltageLimit = Physical(0, kUnitV, maxVolts);
    res.EVSEMaximumCurrentLimit = Physical(0, kUnitA, maxAmps);
    res.EVSEMaximumPowerLimit = Physical(3, kUnitW, maxKw);
    res.isUsed = 0x7;
    FillHeader(header);
    return res.ResponseCode;
}

std::int32_t weldingDetection(MessageHeaderType& header, DinMessageStore& s) {
    WeldingDetectionResType& res = s.weldingDetectionRes;
    res.ResponseCode = CommonFrame(kStepWeldingDetection, header);
    if (Accepted(res.ResponseCode)) {
        // A vehicle checking its contactors for welding takes no energy.
        StopEnergy();
        StoreEvStatus(s.weldingDetectionReq.DC_EVStatus);
    }
    FillDcEvseStatus(res.DC_EVSEStatus);
    res.EVSEPresentVoltage = PresentVoltage();
    FillHeader(header);
    return res.ResponseCode;
}

std::int32_t sessionStop(MessageHeaderType& header, DinMessageStore& s) {
    // The connection closes after this answer whatever the checks give.
    V2GPhase = kV2gPhaseStopped;
    s.sessionStopRes.ResponseCode = CommonFrame(kStepSessionStop, header);
    FillHeader(header);
    EndSession();
    return s.sessionStopRes.ResponseCode;
}

// Service methods by request, in body order (the request of pair i has
// isUsed bit 2i, its response bit 2i + 1).
constexpr Method kMethods[] = {
    sessionSetup,            // SessionSetup
    serviceDiscovery,        // ServiceDiscovery
    serviceDetail,           // ServiceDetail
    servicePaymentSelection, // ServicePaymentSelection
    paymentDetails,          // PaymentDetails
    contractAuthentication,  // ContractAuthentication
    chargeParameterDiscovery, // ChargeParameterDiscovery
    powerDelivery,           // PowerDelivery
    chargingStatus,          // ChargingStatus
    meteringReceipt,         // MeteringReceipt
    sessionStop,             // SessionStop
    certificateUpdate,       // CertificateUpdate
    certificateInstallation, // CertificateInstallation
    cableCheck,              // CableCheck
    preCharge,               // PreCharge
    currentDemand,           // CurrentDemand
    weldingDetection,        // WeldingDetection
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
    if (step == 0x00) return 1;
    if (step == kStepHandshake) return prev == 0x00;
    if (step == kStepSessionSetup) return prev == kStepHandshake && !g_sessionOpen;
    if (!g_sessionOpen) return 0;  // nothing but SessionSetup before a session
    switch (step) {
        case kStepServiceDiscovery: return prev == kStepSessionSetup;
        case kStepServicePaymentSelection: return prev == kStepServiceDiscovery;
        case kStepContractAuthentication: return prev == kStepContractAuthentication || prev == kStepServicePaymentSelection;
        case kStepChargeParameterDiscovery:
            return prev == kStepContractAuthentication || prev == kStepChargeParameterDiscovery;
        case kStepCableCheck: return prev == kStepChargeParameterDiscovery || prev == kStepCableCheck;
        case kStepPreCharge: return prev == kStepCableCheck || prev == kStepPreCharge;
        // The start of energy transfer: only once the isolation is tested
        // and the output precharged (a stop is in order at any step).
        case kStepPowerDelivery: return prev == kStepPreCharge;
        case kStepCurrentDemand: return g_charging && (prev == kStepPowerDelivery || prev == kStepCurrentDemand);
        case kStepWeldingDetection: return 1;
        case kStepSessionStop: return 1;
        default: return 0;
    }
}

int V2G_SessionID_Check(const MessageHeaderType& header) {
    if (!g_sessionOpen || ZeroId(nSessionID) || header.SessionID.bytesLen != sizeof nSessionID) return 0;
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
    // The store is cleared whole once; after that each message clears only
    // the records it reads into and writes from (the decoder its request,
    // here its response): clearing all of them cost more than the exchange.
    if (g_document.V2G_Message.Header == nullptr) {
        dinInitDocument(&g_document, &g_store);
        dinInitService(&g_service, &g_document);
    }
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
    dinClearBodyMessage(&g_document, static_cast<std::uint32_t>(2 * pair + 1));
    // A refused request has changed nothing, and it ends the session: the
    // connection closes after its answer.
    if (!Accepted(kMethods[pair](g_store.header, g_store))) {
        EndSession();
        nSystemStatus = kSessionEndedWord;
        if (V2GPhase == 0) V2GPhase = kV2gPhaseStopped;
    }
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
    if (common::ElapsedMs(V2G_MSG_Sequence_StartTime) >= kV2gSequenceTimeoutMs && V2GPhase != kV2gPhaseTimeout) {
        EndSession();
        nSystemStatus = kSessionEndedWord | 0xFEu;
        V2GPhase = kV2gPhaseTimeout;
    }
    std::uint16_t flags = mdbcln_status_get(0);
    // The vehicle closed or reset the connection, or left state C/D while
    // it charged: the session is over at once.
    bool pilotLeft = false;
    if (g_charging) {
        std::uint8_t pilot = Map().get(regmap::SHRMEM_CCS_PILOT_STATE);
        pilotLeft = pilot != kPilotC && pilot != kPilotD;
    }
    if ((!(flags & CLN_CONNECTED) || pilotLeft) && V2GPhase == 0) {
        EndSession();
        nSystemStatus = kSessionEndedWord;
        V2GPhase = kV2gPhaseLost;
        return;
    }
    constexpr std::uint16_t kReady = CLN_OPEN | CLN_CONNECTED | CLN_NEWDATA;
    if ((flags & kReady) != kReady || mdbcln_conn[0].state != 2) return;
    mdbcln_conn[0].flags = static_cast<std::uint16_t>(mdbcln_conn[0].flags & ~CLN_NEWDATA);
    std::uint32_t exiLen = 0;
    EVSE_V2G_App(mdbcln_conn[0].rxbuf, mdbcln_conn[0].rxlen, outStream, &exiLen);
    V2G_MSG_Sequence_StartTime = common::MonotonicNow();
}

void V2G_SessionReset() {
    EndSession();
    nLast_SystemStatus = 0;
}

}  // namespace plc
