// The DC charging services of the V2G session against a vehicle played by
// the test: what each request leaves in the CCS status block, what each
// answer carries from it, the order of the status word's steps over a whole
// charge, and the PowerDelivery stop wait on a stepped clock.
#include <functional>
#include <initializer_list>

#include "session_rig.h"
#include "stepped_clock.h"

namespace {

using namespace v2grig;

constexpr std::int32_t kA = 3, kV = 5, kW = 7, kWh = 9, kH = 0, kMin = 1, kS = 2;

PhysicalValueType PV(std::int8_t m, std::int32_t unit, std::int16_t v) {
    PhysicalValueType p{};
    p.Multiplier = m;
    p.Unit = unit;
    p.Value = v;
    p.isUsed = 1;
    return p;
}

void EvStatus(DC_EVStatusType& st, std::int8_t soc = 40) {
    st.EVReady = 1;
    st.EVErrorCode = 0;
    st.EVRESSSOC = soc;
}

// A DC ChargeParameterDiscoveryReq with every optional element left out.
void DcParameters(DinMessageStore& s) {
    s.chargeParameterDiscoveryReq.EVRequestedEnergyTransferType = 2;  // DC_core
    s.chargeParameterDiscoveryReq.isUsed = 0x2;
    DC_EVChargeParameterType& p = s.dcEVChargeParameter;
    EvStatus(p.DC_EVStatus);
    p.EVMaximumCurrentLimit = PV(0, kA, 100);
    p.EVMaximumVoltageLimit = PV(0, kV, 450);
}

class DcServiceTest : public SessionTest {
protected:
    regmap::RegisterMap Map() { return regmap::RegisterMap(map.data()); }
    std::uint32_t Byte(std::uint32_t at) const { return map[at]; }
    std::uint32_t Word(std::uint32_t at) const { return static_cast<std::uint32_t>(map[at] << 8 | map[at + 1]); }
    void AtStep(std::uint8_t step) { plc::nSystemStatus = 0x06000000u | static_cast<std::uint32_t>(step) << 16; }

    // The station's side of the block as the stand-in would leave it.
    void StationValues(std::uint16_t volts, std::uint8_t amps, std::uint8_t maxKw, std::uint8_t maxAmps = 125,
                       std::uint16_t maxVolts = 500) {
        regmap::RegisterMap m = Map();
        m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, volts);
        m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_CURRENT, amps);
        m.set(regmap::SHRMEM_CCS_EVSE_MAX_POWER, maxKw);
        m.set(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT, maxAmps);
        m.set(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE, maxVolts);
    }

    // A fresh session that has started energy transfer (after PreCharge).
    void Charging() {
        NewSession();
        AtStep(plc::kStepPreCharge);
        ASSERT_TRUE(Ask(kPowerDelivery, [](DinMessageStore& s) {
            s.powerDeliveryReq.ReadyToChargeState = 1;
            s.powerDeliveryReq.isUsed = 0x2;
            EvStatus(s.dcEVPowerDeliveryParameter.DC_EVStatus);
        }));
        ASSERT_EQ(answer.store->powerDeliveryRes.ResponseCode, plc::kRespOK);
    }
};

// The bytes the session writes for the vehicle.
bool VehicleByte(std::uint32_t at) { return (at >= 2163 && at <= 2173) || (at >= 2184 && at <= 2186) || (at >= 2189 && at <= 2195); }

// ------------------------------------------------- ChargeParameterDiscovery

TEST_F(DcServiceTest, ChargeParameterDiscoveryStoresTheEvLimitsConverted) {
    ToSessionSetup();
    struct Case {
        const char* what;
        std::function<void(DC_EVChargeParameterType&)> set;
        std::uint32_t at;
        int width;         // 1 or 2 bytes
        std::int64_t want;  // -1: left as it was
    } cases[] = {
        {"current 1250 x 10^-1", [](auto& p) { p.EVMaximumCurrentLimit = PV(-1, kA, 1250); }, 2166, 1, 125},
        {"current wider than the byte saturates", [](auto& p) { p.EVMaximumCurrentLimit = PV(0, kA, 300); }, 2166, 1, 255},
        {"negative current is not stored", [](auto& p) { p.EVMaximumCurrentLimit = PV(0, kA, -1); }, 2166, 1, -1},
        {"power 50 kW", [](auto& p) { p.EVMaximumPowerLimit = PV(3, kW, 50); p.isUsed |= 0x1; }, 2167, 1, 50},
        {"power 500 W", [](auto& p) { p.EVMaximumPowerLimit = PV(0, kW, 500); p.isUsed |= 0x1; }, 2167, 1, 0},
        {"power 999 W", [](auto& p) { p.EVMaximumPowerLimit = PV(0, kW, 999); p.isUsed |= 0x1; }, 2167, 1, 0},
        {"power 1000 W", [](auto& p) { p.EVMaximumPowerLimit = PV(0, kW, 1000); p.isUsed |= 0x1; }, 2167, 1, 1},
        {"power 45,500 W", [](auto& p) { p.EVMaximumPowerLimit = PV(2, kW, 455); p.isUsed |= 0x1; }, 2167, 1, 45},
        {"power 300 kW saturates", [](auto& p) { p.EVMaximumPowerLimit = PV(3, kW, 300); p.isUsed |= 0x1; }, 2167, 1, 255},
        {"power absent", [](auto&) {}, 2167, 1, -1},
        {"voltage 4100 x 10^-1", [](auto& p) { p.EVMaximumVoltageLimit = PV(-1, kV, 4100); }, 2168, 2, 410},
        {"voltage 70 kV saturates", [](auto& p) { p.EVMaximumVoltageLimit = PV(1, kV, 7000); }, 2168, 2, 65535},
        {"negative voltage is not stored", [](auto& p) { p.EVMaximumVoltageLimit = PV(0, kV, -400); }, 2168, 2, -1},
        {"capacity 60 kWh", [](auto& p) { p.EVEnergyCapacity = PV(3, kWh, 60); p.isUsed |= 0x2; }, 2170, 1, 60},
        {"capacity absent", [](auto&) {}, 2170, 1, -1},
        {"request 20,999 Wh", [](auto& p) { p.EVEnergyRequest = PV(0, kWh, 20999); p.isUsed |= 0x4; }, 2171, 1, 20},
        {"request absent", [](auto&) {}, 2171, 1, -1},
        {"full SOC", [](auto& p) { p.FullSOC = 95; p.isUsed |= 0x8; }, 2172, 1, 95},
        {"bulk SOC", [](auto& p) { p.BulkSOC = 80; p.isUsed |= 0x10; }, 2173, 1, 80},
        {"state of charge", [](auto& p) { p.DC_EVStatus.EVRESSSOC = 37; }, 2165, 1, 37},
        {"error code", [](auto& p) { p.DC_EVStatus.EVErrorCode = 6; }, 2164, 1, 6},
    };
    for (const Case& c : cases) {
        std::fill(map.begin() + 2163, map.begin() + 2174, 0xA5);
        AtStep(plc::kStepContractAuthentication);
        ASSERT_TRUE(Ask(kChargeParameterDiscovery, [&](DinMessageStore& s) {
            DcParameters(s);
            c.set(s.dcEVChargeParameter);
        })) << c.what;
        std::int64_t got = c.width == 1 ? Byte(c.at) : Word(c.at);
        std::int64_t want = c.want >= 0 ? c.want : (c.width == 1 ? 0xA5 : 0xA5A5);
        EXPECT_EQ(got, want) << c.what;
        // The answer's code is the station's whatever the values were.
        EXPECT_EQ(answer.store->chargeParameterDiscoveryRes.ResponseCode, plc::kRespOK) << c.what;
    }
}

TEST_F(DcServiceTest, ChargeParameterDiscoveryAnswersTheStationLimitsAndBothSchedules) {
    ToSessionSetup();
    regmap::RegisterMap m = Map();
    m.set(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT, 125);
    m.set(regmap::SHRMEM_CCS_EVSE_MAX_POWER, 70);
    m.set(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
    m.set(regmap::SHRMEM_CCS_EVSE_MIN_CURRENT, 2);
    m.set(regmap::SHRMEM_CCS_EVSE_MIN_VOLTAGE, 50);
    m.set(regmap::SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, 33);
    m.set(regmap::SHRMEM_CCS_EVSE_ISOLATION, 1);
    m.set(regmap::SHRMEM_CCS_EVSE_STATUS_CODE, 1);
    m.set(regmap::SHRMEM_CCS_CPD_PROCESSING, 1);
    m.set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 0);
    AtStep(plc::kStepContractAuthentication);
    ASSERT_TRUE(Ask(kChargeParameterDiscovery, DcParameters));
    const ChargeParameterDiscoveryResType& r = answer.store->chargeParameterDiscoveryRes;
    EXPECT_EQ(r.ResponseCode, plc::kRespOK);
    EXPECT_EQ(r.EVSEProcessing, 1);  // from 2203: the vehicle asks again
    EXPECT_EQ(r.isUsed & 0x3, 0x2u);
    const DC_EVSEChargeParameterType& dc = answer.store->dcEVSEChargeParameter;
    EXPECT_EQ(dc.DC_EVSEStatus.EVSEIsolationStatus, 1);
    EXPECT_EQ(dc.DC_EVSEStatus.EVSEStatusCode, 1);
    EXPECT_EQ(dc.DC_EVSEStatus.NotificationMaxDelay, 100u);
    struct Value {
        const char* what;
        const PhysicalValueType& got;
        std::int8_t m;
        std::int32_t unit;
        std::int16_t v;
    } values[] = {
        {"max current", dc.EVSEMaximumCurrentLimit, 0, kA, 125}, {"max power", dc.EVSEMaximumPowerLimit, 3, kW, 70},
        {"max voltage", dc.EVSEMaximumVoltageLimit, 0, kV, 500}, {"min current", dc.EVSEMinimumCurrentLimit, 0, kA, 2},
        {"min voltage", dc.EVSEMinimumVoltageLimit, 0, kV, 50},  {"ripple", dc.EVSEPeakCurrentRipple, -1, kA, 1},
        {"energy", dc.EVSEEnergyToBeDelivered, 3, kWh, 33},
    };
    for (const Value& v : values) {
        EXPECT_EQ(v.got.Multiplier, v.m) << v.what;
        EXPECT_EQ(v.got.Unit, v.unit) << v.what;
        EXPECT_EQ(v.got.Value, v.v) << v.what;
    }
    EXPECT_EQ(dc.isUsed, 0x5u);  // no regulation tolerance
    const auto& tuples = r.SAScheduleList.SAScheduleTuple;
    ASSERT_EQ(tuples.arrayLen, 2u);
    struct Tuple {
        std::int16_t id, schedule;
        std::uint32_t start1;
        std::int16_t pmax0;
    } want[] = {{10, 20, 1200, 20000}, {15, 30, 1800, 10000}};
    for (std::uint32_t i = 0; i < 2; ++i) {
        const SAScheduleTupleType& t = tuples.array[i];
        EXPECT_EQ(t.SAScheduleTupleID, want[i].id);
        EXPECT_EQ(t.PMaxSchedule.PMaxScheduleID, want[i].schedule);
        ASSERT_EQ(t.PMaxSchedule.PMaxScheduleEntry.arrayLen, 2u);
        EXPECT_EQ(t.PMaxSchedule.PMaxScheduleEntry.array[0].RelativeTimeInterval.start, 0u);
        EXPECT_EQ(t.PMaxSchedule.PMaxScheduleEntry.array[0].PMax, want[i].pmax0);
        EXPECT_EQ(t.PMaxSchedule.PMaxScheduleEntry.array[1].RelativeTimeInterval.start, want[i].start1);
        EXPECT_EQ(t.PMaxSchedule.PMaxScheduleEntry.array[1].PMax, 0);
        EXPECT_EQ(t.PMaxSchedule.PMaxScheduleEntry.array[1].RelativeTimeInterval.isUsed, 0u);
        EXPECT_EQ(t.isUsed, 0u);  // no SalesTariff
    }
    EXPECT_EQ(Byte(2201), 1u);  // CableCheck reports Ongoing until the isolation test is done
    EXPECT_EQ(Byte(2204), 1u);
    EXPECT_EQ(plc::nSystemStatus, 0x06060000u);
}

TEST_F(DcServiceTest, MapValuesAreKeptInsideTheirTypesBeforeEncoding) {
    ToSessionSetup();
    regmap::RegisterMap m = Map();
    m.set(regmap::SHRMEM_CCS_EVSE_ISOLATION, 9);
    m.set(regmap::SHRMEM_CCS_EVSE_STATUS_CODE, 200);
    m.set(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE, 40000);
    m.set(regmap::SHRMEM_CCS_CPD_PROCESSING, 7);
    m.set(regmap::SHRMEM_CCS_RESPONSE_CODE, 99);
    AtStep(plc::kStepContractAuthentication);
    ASSERT_TRUE(Ask(kChargeParameterDiscovery, DcParameters));
    const DC_EVSEChargeParameterType& dc = answer.store->dcEVSEChargeParameter;
    EXPECT_EQ(dc.DC_EVSEStatus.EVSEIsolationStatus, 3);  // Fault
    EXPECT_EQ(dc.DC_EVSEStatus.EVSEStatusCode, 6);       // EVSE_Malfunction
    EXPECT_EQ(dc.EVSEMaximumVoltageLimit.Value, 32767);
    EXPECT_EQ(answer.store->chargeParameterDiscoveryRes.EVSEProcessing, 1);
    EXPECT_EQ(answer.store->chargeParameterDiscoveryRes.ResponseCode, plc::kRespFAILED);

    m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 65535);
    AtStep(plc::kStepCableCheck);
    ASSERT_TRUE(Ask(kPreCharge, [](DinMessageStore& s) {
        s.preChargeReq.EVTargetVoltage = PV(0, kV, 400);
        s.preChargeReq.EVTargetCurrent = PV(0, kA, 2);
    }));
    EXPECT_EQ(answer.store->preChargeRes.EVSEPresentVoltage.Value, 32767);

    // The status codes of the type pass as they are, up to its last.
    for (std::uint8_t code : {0, 6, 7, 11, 12, 13}) {
        m.set(regmap::SHRMEM_CCS_EVSE_STATUS_CODE, code);
        AtStep(plc::kStepPowerDelivery);
        ASSERT_TRUE(Ask(kWeldingDetection));
        EXPECT_EQ(answer.store->weldingDetectionRes.DC_EVSEStatus.EVSEStatusCode, code <= 11 ? code : 6) << int(code);
    }
}

TEST_F(DcServiceTest, AnswersWithTheLargestMapValuesStillFitTheAnswerBuffer) {
    ToSessionSetup();
    regmap::RegisterMap m = Map();
    m.set(regmap::SHRMEM_CCS_RESPONSE_CODE, 23);  // one past the type's last code
    m.set(regmap::SHRMEM_CCS_EVSE_ISOLATION, 255);
    m.set(regmap::SHRMEM_CCS_EVSE_STATUS_CODE, 255);
    m.set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 255);
    m.set(regmap::SHRMEM_CCS_CPD_PROCESSING, 255);
    for (regmap::U8 f : {regmap::SHRMEM_CCS_EVSE_MAX_CURRENT, regmap::SHRMEM_CCS_EVSE_MAX_POWER,
                         regmap::SHRMEM_CCS_EVSE_MIN_CURRENT, regmap::SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER,
                         regmap::SHRMEM_CCS_EVSE_PRESENT_CURRENT}) {
        m.set(f, 255);
    }
    for (regmap::U16 f : {regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE, regmap::SHRMEM_CCS_EVSE_MIN_VOLTAGE,
                          regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE}) {
        m.set(f, 65535);
    }
    SteppedClock stepped;  // the stop wait gives up on the present values
    platform::ScopedClock use{stepped};
    std::vector<std::uint8_t> largest = map;
    struct Case {
        std::uint8_t at;
        int bit;
    } cases[] = {
        {plc::kStepContractAuthentication, kChargeParameterDiscovery}, {plc::kStepChargeParameterDiscovery, kCableCheck},
        {plc::kStepCableCheck, kPreCharge}, {plc::kStepPreCharge, kPowerDelivery},
        {plc::kStepPowerDelivery, kCurrentDemand}, {plc::kStepCurrentDemand, kPowerDelivery},
        {plc::kStepPowerDelivery, kWeldingDetection}, {plc::kStepWeldingDetection, kSessionStop},
    };
    for (const Case& c : cases) {
        // Every refusal ends the session: each request comes in a session of
        // its own, charging where it must.
        map.assign(262144, 0);
        map[2160] = 4;
        Map().set(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
        Map().set(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT, 125);
        Map().set(regmap::SHRMEM_CCS_EVSE_MAX_POWER, 255);
        Charging();
        map = largest;
        map[2160] = 4;
        AtStep(c.at);
        EXPECT_TRUE(Ask(c.bit, [](DinMessageStore& s) {
            DcParameters(s);
            s.powerDeliveryReq.isUsed = 0x3;
            s.powerDeliveryReq.ChargingProfile.SAScheduleTupleID = 10;
            s.powerDeliveryReq.ChargingProfile.ProfileEntry.arrayLen = 1;
            s.currentDemandReq.EVTargetVoltage = PV(0, kV, 400);
        })) << c.bit;
    }
    EXPECT_EQ(answer.store->sessionStopRes.ResponseCode, plc::kRespFAILED);
    NewSession();
    m.set(regmap::SHRMEM_CCS_RESPONSE_CODE, 22);
    ASSERT_TRUE(Ask(kSessionStop));
    EXPECT_EQ(answer.store->sessionStopRes.ResponseCode, plc::kRespFAILED_WrongEnergyTransferType);
}

TEST_F(DcServiceTest, AcRequestIsRefusedWithThePlaceholderAndItsOwnSessionId) {
    ToSessionSetup();
    std::uint8_t other[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    std::fill(map.begin() + 2160, map.begin() + 2221, 0x5A);
    std::vector<std::uint8_t> before = map;
    ASSERT_TRUE(Ask(kChargeParameterDiscovery, [](DinMessageStore& s) {
        s.chargeParameterDiscoveryReq.EVRequestedEnergyTransferType = 1;  // AC_three_phase_core
        s.chargeParameterDiscoveryReq.isUsed = 0x1;
        s.acEVChargeParameter.EAmount = PV(0, kWh, 100);
        s.acEVChargeParameter.EVMaxVoltage = PV(0, kV, 400);
        s.acEVChargeParameter.EVMaxCurrent = PV(0, kA, 32);
        s.acEVChargeParameter.EVMinCurrent = PV(0, kA, 6);
    }, other));
    const ChargeParameterDiscoveryResType& r = answer.store->chargeParameterDiscoveryRes;
    EXPECT_EQ(r.ResponseCode, plc::kRespFAILED_WrongEnergyTransferType);
    EXPECT_EQ(r.EVSEProcessing, 0);
    EXPECT_EQ(r.isUsed & 0x3, 0x1u);
    EXPECT_EQ(answer.store->acEVSEChargeParameter.EVSEMaxVoltage.Value, 200);
    EXPECT_EQ(answer.store->acEVSEChargeParameter.AC_EVSEStatus.NotificationMaxDelay, 123u);
    ASSERT_EQ(r.SAScheduleList.SAScheduleTuple.arrayLen, 1u);
    EXPECT_EQ(r.SAScheduleList.SAScheduleTuple.array[0].SAScheduleTupleID, 10);
    EXPECT_EQ(answer.store->salesTariff[0].SalesTariffID, 20);
    EXPECT_EQ(std::memcmp(AnswerHeader().SessionID.bytes, other, 8), 0);
    // The refusal ends the session: of the block only the vehicle's bytes change.
    for (std::uint32_t at = 2160; at <= 2220; ++at) EXPECT_EQ(map[at], VehicleByte(at) ? 0 : before[at]) << at;
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
}

// ------------------------------------------------- order of the DC steps

TEST_F(DcServiceTest, OnlyRequestsInOrderAreActedOn) {
    struct Case {
        const char* what;
        std::uint8_t at;
        int bit;
        std::int32_t ready;  // PowerDelivery's ReadyToChargeState
        std::int32_t code;
        std::uint8_t stepAfter;
        bool charging = false;  // after an accepted start of energy transfer
    } cases[] = {
        {"CableCheck after ChargeParameterDiscovery", plc::kStepChargeParameterDiscovery, kCableCheck, 0, plc::kRespOK, 0x07},
        {"CableCheck repeated", plc::kStepCableCheck, kCableCheck, 0, plc::kRespOK, 0x07},
        {"CableCheck after payment selection", plc::kStepServicePaymentSelection, kCableCheck, 0,
         plc::kRespFAILED_SequenceError, 0x0C},
        {"PreCharge repeated", plc::kStepPreCharge, kPreCharge, 0, plc::kRespOK, 0x08},
        {"PreCharge after ChargeParameterDiscovery", plc::kStepChargeParameterDiscovery, kPreCharge, 0,
         plc::kRespFAILED_SequenceError, 0x0C},
        {"CurrentDemand after PreCharge", plc::kStepPreCharge, kCurrentDemand, 0, plc::kRespFAILED_SequenceError, 0x0C},
        {"CurrentDemand after a start", plc::kStepPowerDelivery, kCurrentDemand, 0, plc::kRespOK, 0x0A, true},
        {"CurrentDemand after a stop", plc::kStepPowerDelivery, kCurrentDemand, 0, plc::kRespFAILED_SequenceError, 0x0C},
        {"start after PreCharge", plc::kStepPreCharge, kPowerDelivery, 1, plc::kRespOK, 0x09},
        {"start after SessionSetup", plc::kStepSessionSetup, kPowerDelivery, 1, plc::kRespFAILED_SequenceError, 0x0C},
        {"start after ChargeParameterDiscovery", plc::kStepChargeParameterDiscovery, kPowerDelivery, 1,
         plc::kRespFAILED_SequenceError, 0x0C},
        {"start after CableCheck", plc::kStepCableCheck, kPowerDelivery, 1, plc::kRespFAILED_SequenceError, 0x0C},
        {"start while charging", plc::kStepCurrentDemand, kPowerDelivery, 1, plc::kRespFAILED_SequenceError, 0x0C, true},
        {"stop after SessionSetup", plc::kStepSessionSetup, kPowerDelivery, 0, plc::kRespOK, 0x09},
        {"stop after CableCheck", plc::kStepCableCheck, kPowerDelivery, 0, plc::kRespOK, 0x09},
        {"WeldingDetection after ServiceDiscovery", plc::kStepServiceDiscovery, kWeldingDetection, 0, plc::kRespOK, 0x0B},
        {"ChargeParameterDiscovery after discovery", plc::kStepServiceDiscovery, kChargeParameterDiscovery, 0,
         plc::kRespFAILED_SequenceError, 0x0C},
    };
    for (const Case& c : cases) {
        if (c.charging) {
            Charging();
        } else {
            NewSession();
        }
        map[2165] = 0;
        AtStep(c.at);
        ASSERT_TRUE(Ask(c.bit, [&](DinMessageStore& s) {
            DcParameters(s);
            EvStatus(s.cableCheckReq.DC_EVStatus, 61);
            EvStatus(s.preChargeReq.DC_EVStatus, 61);
            s.preChargeReq.EVTargetVoltage = PV(0, kV, 380);
            s.preChargeReq.EVTargetCurrent = PV(0, kA, 2);
            EvStatus(s.currentDemandReq.DC_EVStatus, 61);
            s.currentDemandReq.EVTargetVoltage = PV(0, kV, 380);
            s.currentDemandReq.EVTargetCurrent = PV(0, kA, 50);
            s.powerDeliveryReq.ReadyToChargeState = c.ready;
            s.powerDeliveryReq.isUsed = 0x2;
            EvStatus(s.dcEVPowerDeliveryParameter.DC_EVStatus, 61);
            EvStatus(s.weldingDetectionReq.DC_EVStatus, 61);
            s.dcEVChargeParameter.DC_EVStatus.EVRESSSOC = 61;
        })) << c.what;
        const std::int32_t* code = nullptr;
        switch (c.bit) {
            case kCableCheck: code = &answer.store->cableCheckRes.ResponseCode; break;
            case kPreCharge: code = &answer.store->preChargeRes.ResponseCode; break;
            case kCurrentDemand: code = &answer.store->currentDemandRes.ResponseCode; break;
            case kPowerDelivery: code = &answer.store->powerDeliveryRes.ResponseCode; break;
            case kWeldingDetection: code = &answer.store->weldingDetectionRes.ResponseCode; break;
            default: code = &answer.store->chargeParameterDiscoveryRes.ResponseCode; break;
        }
        const bool ok = c.code == plc::kRespOK;
        EXPECT_EQ(*code, c.code) << c.what;
        EXPECT_EQ(Step(), c.stepAfter) << c.what;
        // A refused request leaves nothing: the session ends with nothing armed.
        EXPECT_EQ(Byte(2165), ok ? 61u : 0u) << c.what;
        EXPECT_EQ(Byte(2189), ok && c.bit == kPowerDelivery ? std::uint32_t(c.ready) : ok && c.charging ? 1u : 0u)
            << c.what;
        EXPECT_EQ(Word(2184), ok && c.bit == kPreCharge ? 380u : ok && c.bit == kCurrentDemand ? 380u : 0u) << c.what;
        EXPECT_EQ(plc::V2GPhase, ok ? 0 : plc::kV2gPhaseStopped) << c.what;
    }
}

// ----------------------------------------------------- CableCheck, PreCharge

TEST_F(DcServiceTest, CableCheckReportsTheStationsProcessingAndIsolation) {
    ToSessionSetup();
    regmap::RegisterMap m = Map();
    for (std::uint8_t processing : {1, 0}) {
        m.set(regmap::SHRMEM_CCS_EVSE_PROCESSING, processing);
        m.set(regmap::SHRMEM_CCS_EVSE_ISOLATION, processing ? 0 : 1);
        AtStep(plc::kStepCableCheck);
        ASSERT_TRUE(Ask(kCableCheck, [](DinMessageStore& s) { EvStatus(s.cableCheckReq.DC_EVStatus); }));
        const CableCheckResType& r = answer.store->cableCheckRes;
        EXPECT_EQ(r.ResponseCode, plc::kRespOK);
        EXPECT_EQ(r.EVSEProcessing, processing);
        EXPECT_EQ(r.DC_EVSEStatus.EVSEIsolationStatus, processing ? 0 : 1);
        EXPECT_EQ(r.DC_EVSEStatus.isUsed, 1u);
    }
}

TEST_F(DcServiceTest, PreChargeHoldsTheTargetsToTheLimitsAndRefusesImpossibleOnes) {
    struct Case {
        PhysicalValueType volts, amps;
        std::int32_t code;
        std::uint32_t storedVolts, storedAmps;
    } cases[] = {
        {PV(-1, kV, 4000), PV(0, kA, 2), plc::kRespOK, 400, 2},
        {PV(0, kV, 400), PV(-1, kA, -20), plc::kRespFAILED_WrongChargeParameter, 0, 0},
        {PV(0, kV, -1), PV(0, kA, 3), plc::kRespFAILED_WrongChargeParameter, 0, 0},
        {PV(0, kV, 350), PV(1, kA, 40), plc::kRespOK, 350, 125},  // 400 A held to the station's 125 A
        {PV(0, kV, 900), PV(0, kA, 2), plc::kRespOK, 500, 2},     // held to the station's 500 V
        {PV(3, kV, 32767), PV(0, kA, 2), plc::kRespFAILED_WrongChargeParameter, 0, 0},
        {PV(0, kV, 1501), PV(0, kA, 2), plc::kRespFAILED_WrongChargeParameter, 0, 0},
        {PV(0, kV, 400), PV(0, kA, 1001), plc::kRespFAILED_WrongChargeParameter, 0, 0},
    };
    for (const Case& c : cases) {
        NewSession();
        StationValues(123, 0, 255);
        std::fill(map.begin() + 2184, map.begin() + 2187, 0xA5);
        AtStep(plc::kStepCableCheck);
        ASSERT_TRUE(Ask(kPreCharge, [&](DinMessageStore& s) {
            EvStatus(s.preChargeReq.DC_EVStatus);
            s.preChargeReq.EVTargetVoltage = c.volts;
            s.preChargeReq.EVTargetCurrent = c.amps;
        }));
        const PreChargeResType& r = answer.store->preChargeRes;
        EXPECT_EQ(r.ResponseCode, c.code) << c.volts.Value;
        EXPECT_EQ(Word(2184), c.storedVolts) << c.volts.Value;
        EXPECT_EQ(Byte(2186), c.storedAmps) << c.volts.Value;
        EXPECT_EQ(r.EVSEPresentVoltage.Value, 123);
        EXPECT_EQ(r.EVSEPresentVoltage.Unit, kV);
        EXPECT_EQ(Step(), c.code == plc::kRespOK ? plc::kStepPreCharge : plc::kStepSessionStop);
    }
}

// ------------------------------------------------------------ PowerDelivery

TEST_F(DcServiceTest, PowerDeliveryTakesTheOfferedSchedulesOnly) {
    ToSessionSetup();
    Map().set(regmap::SHRMEM_CCS_RESPONSE_CODE, 0);
    struct Case {
        bool profile;
        std::int16_t tuple;
        std::int32_t code;
    } cases[] = {
        {false, 0, plc::kRespOK},
        {true, 10, plc::kRespOK},
        {true, 15, plc::kRespOK},  // offered by ChargeParameterDiscovery
        {true, 11, plc::kRespFAILED_TariffSelectionInvalid},
    };
    for (const Case& c : cases) {
        NewSession();
        AtStep(plc::kStepPreCharge);
        ASSERT_TRUE(Ask(kPowerDelivery, [&](DinMessageStore& s) {
            PowerDeliveryReqType& r = s.powerDeliveryReq;
            r.ReadyToChargeState = 1;
            r.isUsed = 0x2 | (c.profile ? 0x1 : 0);
            r.ChargingProfile.SAScheduleTupleID = c.tuple;
            r.ChargingProfile.ProfileEntry.array[0].ChargingProfileEntryMaxPower = 20000;
            r.ChargingProfile.ProfileEntry.arrayLen = 1;
            EvStatus(s.dcEVPowerDeliveryParameter.DC_EVStatus);
            s.dcEVPowerDeliveryParameter.ChargingComplete = 0;
        }));
        const PowerDeliveryResType& r = answer.store->powerDeliveryRes;
        EXPECT_EQ(r.ResponseCode, c.code) << c.tuple;
        EXPECT_EQ(r.isUsed & 0x3, 0x2u);
        EXPECT_EQ(Byte(2189), c.code == plc::kRespOK ? 1u : 0u);
    }
}

TEST_F(DcServiceTest, PowerDeliveryWithoutDcParametersTouchesNothing) {
    ToSessionSetup();
    AtStep(plc::kStepPreCharge);
    std::vector<std::uint8_t> before = map;
    ASSERT_TRUE(Ask(kPowerDelivery, [](DinMessageStore& s) { s.powerDeliveryReq.ReadyToChargeState = 1; }));
    EXPECT_EQ(answer.store->powerDeliveryRes.ResponseCode, plc::kRespOK);
    EXPECT_EQ(answer.store->powerDeliveryRes.isUsed & 0x3, 0x1u);
    EXPECT_EQ(map, before);
}

TEST_F(DcServiceTest, StopWaitsForTheCcsBoardsPresentValuesToFall) {
    ToSessionSetup();
    SteppedClock stepped;
    platform::ScopedClock use{stepped};
    struct Case {
        const char* what;
        std::uint8_t amps;
        std::uint16_t volts;
        std::int64_t fallsAfterMs;  // -1: never
        std::int64_t minMs, maxMs;
    } cases[] = {
        {"5 A and 9 V: down already", 5, 9, -1, 0, 0},
        {"6 A: waits until it falls", 6, 0, 200, 200, 210},
        {"10 V: waits until it falls", 0, 10, 700, 700, 710},
        {"never falls: gives up after 1500 ms", 100, 400, -1, 1501, 1510},
    };
    for (const Case& c : cases) {
        regmap::RegisterMap m = Map();
        m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_CURRENT, c.amps);
        m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, c.volts);
        // The output bytes 1-2 and 5-6 are not the CCS outlet's: high there
        // must not hold the answer.
        m.set(regmap::SHRMEM_GET_V1, 4000);
        map[5] = 0x03;
        map[6] = 0xE8;
        std::int64_t start = stepped.ms;
        stepped.onSleep = [&] {
            if (c.fallsAfterMs >= 0 && stepped.ms - start >= c.fallsAfterMs) {
                m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_CURRENT, 0);
                m.set(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 0);
            }
        };
        AtStep(plc::kStepCurrentDemand);
        ASSERT_TRUE(Ask(kPowerDelivery, [](DinMessageStore& s) {
            s.powerDeliveryReq.ReadyToChargeState = 0;
            s.powerDeliveryReq.isUsed = 0x2;
            EvStatus(s.dcEVPowerDeliveryParameter.DC_EVStatus);
            s.dcEVPowerDeliveryParameter.ChargingComplete = 1;
        })) << c.what;
        std::int64_t took = stepped.ms - start;
        EXPECT_GE(took, c.minMs) << c.what;
        EXPECT_LE(took, c.maxMs) << c.what;
        EXPECT_EQ(Byte(2189), 0u);
        EXPECT_EQ(Byte(2191), 1u);
        stepped.onSleep = nullptr;
    }
}

// ------------------------------------------------------------ CurrentDemand

TEST_F(DcServiceTest, CurrentDemandLimitsAchievedFromThePresentValues) {
    ToSessionSetup();
    struct Case {
        std::uint16_t volts;
        std::uint8_t amps, maxKw, maxAmps;
        std::uint16_t maxVolts;
        bool power, current, voltage;
    } cases[] = {
        {400, 100, 40, 125, 500, true, false, false},
        {400, 99, 40, 125, 500, false, false, false},
        {500, 150, 70, 200, 500, true, false, true},  // 75,000 W against 70,000 W
        {300, 125, 255, 125, 500, false, true, false},
        {65535, 255, 255, 255, 65535, true, true, true},
    };
    for (const Case& c : cases) {
        Charging();
        StationValues(c.volts, c.amps, c.maxKw, c.maxAmps, c.maxVolts);
        AtStep(plc::kStepCurrentDemand);
        ASSERT_TRUE(Ask(kCurrentDemand, [](DinMessageStore& s) {
            EvStatus(s.currentDemandReq.DC_EVStatus);
            s.currentDemandReq.EVTargetVoltage = PV(0, kV, 400);
            s.currentDemandReq.EVTargetCurrent = PV(0, kA, 100);
        }));
        const CurrentDemandResType& r = answer.store->currentDemandRes;
        EXPECT_EQ(r.EVSEPowerLimitAchieved, c.power) << c.volts << " V " << int(c.amps) << " A";
        EXPECT_EQ(r.EVSECurrentLimitAchieved, c.current) << c.volts << " V " << int(c.amps) << " A";
        EXPECT_EQ(r.EVSEVoltageLimitAchieved, c.voltage) << c.volts << " V " << int(c.amps) << " A";
        EXPECT_EQ(r.EVSEPresentCurrent.Value, c.amps);
        EXPECT_EQ(r.EVSEMaximumPowerLimit.Multiplier, 3);
        EXPECT_EQ(r.EVSEMaximumPowerLimit.Unit, kW);
        EXPECT_EQ(r.EVSEMaximumPowerLimit.Value, c.maxKw);
        EXPECT_EQ(r.isUsed, 0x7u);
    }
}

// Targets above the station's present limits are held to them and the
// answer says the limit is achieved; targets no DC vehicle can mean are
// refused and leave nothing armed.
TEST_F(DcServiceTest, CurrentDemandHoldsTheTargetsToTheStationsLimits) {
    struct Case {
        const char* what;
        PhysicalValueType volts, amps;
        std::int32_t code;
        std::uint32_t storedVolts, storedAmps;
        bool voltage, current, power;
    } cases[] = {
        {"inside the limits", PV(0, kV, 400), PV(0, kA, 100), plc::kRespOK, 400, 100, false, false, false},
        {"300 A at a 125 A station", PV(0, kV, 400), PV(0, kA, 300), plc::kRespOK, 400, 125, false, true, false},
        {"600 V at a 500 V station", PV(0, kV, 600), PV(0, kA, 10), plc::kRespOK, 500, 10, true, false, false},
        {"54 kW at a 50 kW station", PV(0, kV, 450), PV(0, kA, 120), plc::kRespOK, 450, 111, false, false, true},
        {"32767 kV", PV(3, kV, 32767), PV(0, kA, 10), plc::kRespFAILED_WrongChargeParameter, 0, 0, false, false, false},
        {"1001 A", PV(0, kV, 400), PV(0, kA, 1001), plc::kRespFAILED_WrongChargeParameter, 0, 0, false, false, false},
        {"negative current", PV(0, kV, 400), PV(0, kA, -1), plc::kRespFAILED_WrongChargeParameter, 0, 0, false, false,
         false},
    };
    for (const Case& c : cases) {
        Charging();
        StationValues(0, 0, 50, 125, 500);
        AtStep(plc::kStepCurrentDemand);
        ASSERT_TRUE(Ask(kCurrentDemand, [&](DinMessageStore& s) {
            EvStatus(s.currentDemandReq.DC_EVStatus);
            s.currentDemandReq.EVTargetVoltage = c.volts;
            s.currentDemandReq.EVTargetCurrent = c.amps;
        })) << c.what;
        const CurrentDemandResType& r = answer.store->currentDemandRes;
        EXPECT_EQ(r.ResponseCode, c.code) << c.what;
        EXPECT_EQ(Word(2184), c.storedVolts) << c.what;
        EXPECT_EQ(Byte(2186), c.storedAmps) << c.what;
        EXPECT_EQ(Byte(2189), c.code == plc::kRespOK ? 1u : 0u) << c.what;
        EXPECT_EQ(r.EVSEVoltageLimitAchieved, c.voltage) << c.what;
        EXPECT_EQ(r.EVSECurrentLimitAchieved, c.current) << c.what;
        EXPECT_EQ(r.EVSEPowerLimitAchieved, c.power) << c.what;
    }
}

TEST_F(DcServiceTest, CurrentDemandStoresTheEvValuesAndRefusesNegativeOnes) {
    ToSessionSetup();
    struct Case {
        const char* what;
        std::function<void(CurrentDemandReqType&)> set;
        std::uint32_t at;
        int width;
        std::int64_t want;  // -1: left as it was
        std::int32_t code;
    } cases[] = {
        {"target voltage", [](auto&) {}, 2184, 2, 398, plc::kRespOK},
        {"target current", [](auto&) {}, 2186, 1, 87, plc::kRespOK},
        {"negative target current", [](auto& r) { r.EVTargetCurrent = PV(0, kA, -5); }, 2186, 1, 0,
         plc::kRespFAILED_WrongChargeParameter},
        {"negative target current: no voltage armed", [](auto& r) { r.EVTargetCurrent = PV(0, kA, -5); }, 2184, 2, 0,
         plc::kRespFAILED_WrongChargeParameter},
        {"max voltage", [](auto& r) { r.EVMaximumVoltageLimit = PV(-1, kV, 4100); r.isUsed |= 0x1; }, 2168, 2, 410,
         plc::kRespOK},
        {"max current", [](auto& r) { r.EVMaximumCurrentLimit = PV(0, kA, 120); r.isUsed |= 0x2; }, 2166, 1, 120,
         plc::kRespOK},
        {"max power 45.5 kW", [](auto& r) { r.EVMaximumPowerLimit = PV(2, kW, 455); r.isUsed |= 0x4; }, 2167, 1, 45,
         plc::kRespOK},
        {"negative max power", [](auto& r) { r.EVMaximumPowerLimit = PV(0, kW, -1); r.isUsed |= 0x4; }, 2167, 1, 0,
         plc::kRespFAILED_WrongChargeParameter},
        {"bulk complete", [](auto& r) { r.BulkChargingComplete = 1; r.isUsed |= 0x8; }, 2190, 1, 1, plc::kRespOK},
        {"bulk complete absent", [](auto&) {}, 2190, 1, -1, plc::kRespOK},
        {"charging complete", [](auto& r) { r.ChargingComplete = 1; }, 2191, 1, 1, plc::kRespOK},
        {"full in -1 s is five minutes", [](auto& r) { r.RemainingTimeToFullSoC = PV(0, kS, -1); r.isUsed |= 0x10; },
         2192, 2, 300, plc::kRespOK},
        {"full in 2 h", [](auto& r) { r.RemainingTimeToFullSoC = PV(0, kH, 2); r.isUsed |= 0x10; }, 2192, 2, 7200,
         plc::kRespOK},
        {"full in 3 min", [](auto& r) { r.RemainingTimeToFullSoC = PV(0, kMin, 3); r.isUsed |= 0x10; }, 2192, 2, 180,
         plc::kRespOK},
        {"full in 20 h saturates", [](auto& r) { r.RemainingTimeToFullSoC = PV(0, kH, 20); r.isUsed |= 0x10; }, 2192, 2,
         65535, plc::kRespOK},
        {"full in 30000 kh saturates", [](auto& r) { r.RemainingTimeToFullSoC = PV(3, kH, 30000); r.isUsed |= 0x10; },
         2192, 2, 65535, plc::kRespOK},
        {"full absent", [](auto&) {}, 2192, 2, -1, plc::kRespOK},
        {"full in 5 without a unit is 5 s", [](auto& r) {
             r.RemainingTimeToFullSoC = PV(0, kH, 5);
             r.RemainingTimeToFullSoC.isUsed = 0;
             r.isUsed |= 0x10;
         }, 2192, 2, 5, plc::kRespOK},
        {"bulk in 90 s", [](auto& r) { r.RemainingTimeToBulkSoC = PV(0, kS, 90); r.isUsed |= 0x20; }, 2194, 2, 90,
         plc::kRespOK},
        {"bulk in -1 s", [](auto& r) { r.RemainingTimeToBulkSoC = PV(0, kS, -1); r.isUsed |= 0x20; }, 2194, 2, 0,
         plc::kRespFAILED_WrongChargeParameter},
        {"bulk in -1 s: nothing armed", [](auto& r) { r.RemainingTimeToBulkSoC = PV(0, kS, -1); r.isUsed |= 0x20; },
         2189, 1, 0, plc::kRespFAILED_WrongChargeParameter},
    };
    for (const Case& c : cases) {
        Charging();
        std::fill(map.begin() + 2163, map.begin() + 2197, 0xA5);
        AtStep(plc::kStepCurrentDemand);
        ASSERT_TRUE(Ask(kCurrentDemand, [&](DinMessageStore& s) {
            CurrentDemandReqType& r = s.currentDemandReq;
            EvStatus(r.DC_EVStatus);
            r.EVTargetVoltage = PV(-1, kV, 3980);
            r.EVTargetCurrent = PV(0, kA, 87);
            c.set(r);
        })) << c.what;
        std::int64_t got = c.width == 1 ? Byte(c.at) : Word(c.at);
        std::int64_t want = c.want >= 0 ? c.want : (c.width == 1 ? 0xA5 : 0xA5A5);
        EXPECT_EQ(got, want) << c.what;
        EXPECT_EQ(answer.store->currentDemandRes.ResponseCode, c.code) << c.what;
    }
}

// --------------------------------------------------------- the whole charge

TEST_F(DcServiceTest, AWholeChargeStepsTheStatusWordInOrderAndEndsTheSession) {
    ToSessionSetup();
    std::vector<std::uint32_t> words{plc::nSystemStatus};
    auto ask = [&](int bit, const std::function<void(DinMessageStore&)>& fill) {
        ASSERT_TRUE(Ask(bit, fill)) << bit;
        words.push_back(plc::nSystemStatus);
    };
    ask(kServiceDiscovery, nullptr);
    ask(kServicePaymentSelection, [](DinMessageStore& s) {
        s.servicePaymentSelectionReq.SelectedPaymentOption = 1;
        s.servicePaymentSelectionReq.SelectedServiceList.SelectedService.array[0].ServiceID = 1;
        s.servicePaymentSelectionReq.SelectedServiceList.SelectedService.arrayLen = 1;
    });
    ask(kContractAuthentication, nullptr);
    ask(kChargeParameterDiscovery, DcParameters);
    ask(kCableCheck, [](DinMessageStore& s) { EvStatus(s.cableCheckReq.DC_EVStatus); });
    ask(kPreCharge, [](DinMessageStore& s) {
        EvStatus(s.preChargeReq.DC_EVStatus);
        s.preChargeReq.EVTargetVoltage = PV(0, kV, 380);
        s.preChargeReq.EVTargetCurrent = PV(0, kA, 2);
    });
    auto deliver = [](std::int32_t ready) {
        return [ready](DinMessageStore& s) {
            s.powerDeliveryReq.ReadyToChargeState = ready;
            s.powerDeliveryReq.isUsed = 0x2;
            EvStatus(s.dcEVPowerDeliveryParameter.DC_EVStatus);
            s.dcEVPowerDeliveryParameter.ChargingComplete = !ready;
        };
    };
    ask(kPowerDelivery, deliver(1));
    for (std::int16_t amps : {20, 60, 95}) {
        ask(kCurrentDemand, [amps](DinMessageStore& s) {
            EvStatus(s.currentDemandReq.DC_EVStatus, static_cast<std::int8_t>(50 + amps / 10));
            s.currentDemandReq.EVTargetVoltage = PV(0, kV, static_cast<std::int16_t>(380 + amps / 5));
            s.currentDemandReq.EVTargetCurrent = PV(0, kA, amps);
        });
        EXPECT_EQ(answer.store->currentDemandRes.ResponseCode, plc::kRespOK);
    }
    // The block holds what the last requests carried.
    EXPECT_EQ(Word(2184), 399u);
    EXPECT_EQ(Byte(2186), 95u);
    EXPECT_EQ(Byte(2189), 1u);
    ask(kPowerDelivery, deliver(0));
    // Stopped: nothing armed any more.
    EXPECT_EQ(Word(2184), 0u);
    EXPECT_EQ(Byte(2186), 0u);
    EXPECT_EQ(Byte(2189), 0u);
    EXPECT_EQ(Byte(2191), 1u);
    ask(kWeldingDetection, [](DinMessageStore& s) { EvStatus(s.weldingDetectionReq.DC_EVStatus, 59); });
    EXPECT_EQ(plc::V2GPhase, 0);
    ask(kSessionStop, nullptr);
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
    EXPECT_EQ(answer.store->sessionStopRes.ResponseCode, plc::kRespOK);

    std::vector<std::uint8_t> steps;
    for (std::uint32_t w : words) {
        EXPECT_EQ(w & 0xFF00FFFFu, 0x06000000u);
        if (steps.empty() || steps.back() != static_cast<std::uint8_t>(w >> 16)) steps.push_back(static_cast<std::uint8_t>(w >> 16));
    }
    EXPECT_EQ(steps, (std::vector<std::uint8_t>{0x02, 0x03, 0x05, 0x04, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x09, 0x0B, 0x0C}));
    // The session's end clears every byte it wrote for the vehicle.
    for (std::uint32_t at = 2160; at <= 2200; ++at) {
        if (VehicleByte(at)) {
            EXPECT_EQ(Byte(at), 0u) << at;
        }
    }
}

// The pilot leaving C/D while energy is asked for ends the session in the
// next pass: nothing stays armed for a vehicle that is gone.
TEST_F(DcServiceTest, PilotLeavingStateCWhileChargingEndsTheSession) {
    for (std::uint8_t pilot : {3, 2, 0, 6}) {
        Charging();
        map[2160] = pilot;
        plc::V2G_Service();
        EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseLost) << int(pilot);
        EXPECT_EQ(Byte(2189), 0u) << int(pilot);
        EXPECT_EQ(plc::nSystemStatus, 0x060C0000u) << int(pilot);
        map[2160] = 4;
    }
    // In state D it goes on.
    Charging();
    map[2160] = 5;
    plc::V2G_Service();
    EXPECT_EQ(plc::V2GPhase, 0);
    EXPECT_EQ(Byte(2189), 1u);
}

TEST_F(DcServiceTest, SessionStopWithAWrongIdIsRefusedButEndsTheSession) {
    ToSessionSetup();
    std::uint8_t other[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    AtStep(plc::kStepWeldingDetection);
    ASSERT_TRUE(Ask(kSessionStop, nullptr, other));
    EXPECT_EQ(answer.store->sessionStopRes.ResponseCode, plc::kRespFAILED_UnknownSession);
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
    EXPECT_EQ(std::memcmp(AnswerHeader().SessionID.bytes, sessionId, 8), 0);
}

TEST_F(DcServiceTest, WeldingDetectionAnswersThePresentVoltage) {
    ToSessionSetup();
    Map().set(regmap::SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 37);
    Map().set(regmap::SHRMEM_CCS_EVSE_STATUS_CODE, 2);
    AtStep(plc::kStepPowerDelivery);
    ASSERT_TRUE(Ask(kWeldingDetection, [](DinMessageStore& s) { EvStatus(s.weldingDetectionReq.DC_EVStatus, 77); }));
    EXPECT_EQ(answer.store->weldingDetectionRes.ResponseCode, plc::kRespOK);
    EXPECT_EQ(answer.store->weldingDetectionRes.EVSEPresentVoltage.Value, 37);
    EXPECT_EQ(answer.store->weldingDetectionRes.DC_EVSEStatus.EVSEStatusCode, 2);
    EXPECT_EQ(Byte(2165), 77u);
    EXPECT_EQ(Step(), plc::kStepWeldingDetection);
}

}  // namespace
