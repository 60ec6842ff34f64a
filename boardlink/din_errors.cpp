#include "din_errors.h"

#include <cstdio>
#include <optional>

#include "alarm_tables.h"
#include "regmap_fields.h"
#include "syslog.h"

namespace boardlink {

using namespace regmap;
using common::RecordSysLog;
using common::RecordSysLogf;
using common::FormatLogText;

namespace {

constexpr std::uint32_t kDinEvtFirst = 21533;

// Entries of the DIN event table used here.
constexpr unsigned kEntryReadyToChargeTimeout = 26;
constexpr unsigned kEntryEvseCommandRange = 73;
constexpr unsigned kEntryPilotA = 70, kEntryPilotB = 71, kEntryPilotE = 72;
constexpr unsigned kEntryStopCurrentDemand = 67, kEntryStopBulkComplete = 68, kEntryStopChargingComplete = 69;

struct Status {
    std::uint8_t phase, step, third, result;
};

Status ReadStatus(const RegisterMap& map) {
    const std::uint32_t w = map.get(SHRMEM_CCS_PLC_STATUS);
    return {static_cast<std::uint8_t>(w >> 24), static_cast<std::uint8_t>(w >> 16), static_cast<std::uint8_t>(w >> 8),
            static_cast<std::uint8_t>(w)};
}

// "(0xPPSSTTRR)"
std::string StatusText(const RegisterMap& map) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "(0x%08X)", static_cast<unsigned>(map.get(SHRMEM_CCS_PLC_STATUS)));
    return buf;
}

bool InGate(std::uint8_t step, std::uint8_t connector) {
    return connector == 2 && step != 0 && step != 1 && step != 6;
}

bool FullGate(const RegisterMap& map, std::uint8_t step, std::uint8_t connector) {
    return InGate(step, connector) && IsDINCommAlarm(map) == 0;
}

// Communication error rows of the V2G phase, by V2G step 0..12.
struct StepRow {
    unsigned entry;
    int number;
};
constexpr StepRow kV2GErrorRows[13] = {
    {4, 1801}, {5, 1812}, {6, 1823}, {7, 1834}, {9, 1845}, {8, 1856}, {10, 1867},
    {11, 1878}, {12, 1889}, {13, 1900}, {14, 1911}, {15, 1922}, {16, 1933},
};

// Error codes of the vehicle (DC_EVErrorCode 1..11).
struct EvErrorRow {
    unsigned entry;
    int number;
    const char* name;
    bool tail;
};
constexpr EvErrorRow kEvErrorRows[11] = {
    {48, 2072, "FAILED_RESSTemperatureInhibit", true},
    {49, 2092, "FAILED_EVShiftPosition", false},
    {50, 2110, "FAILED_ChargerConnectorLockFault", false},
    {51, 2128, "FAILED_EVRESSMalfunction", true},
    {52, 2148, "FAILED_ChargingCurrentdifferential", true},
    {53, 2168, "FAILED_ChargingVoltageOutOfRange", true},
    {54, 2187, "FAILED_Reserved_A", false},
    {55, 2205, "FAILED_Reserved_B", false},
    {56, 2223, "FAILED_Reserved_C", false},
    {57, 2241, "FAILED_ChargingSystemIncompatibility", true},
    {58, 2261, "FAILED_NoData", false},
};

// Stops after a V2G step (previous step 1..8; 10 has its own rule).
struct StopRow {
    std::uint8_t previousStep;
    unsigned entry;
    int number;
    const char* text;
};
constexpr StopRow kStopRows[] = {
    {1, 59, 2288, "Stop charging at supportedAppProtocol"},
    {2, 60, 2308, "Stop charging at SessionSetup"},
    {3, 61, 2328, "Stop charging at ServiceDiscovery"},
    {5, 62, 2348, "Stop charging at ServicePaymentSelection"},
    {4, 63, 2368, "Stop charging at ContractAuthentication"},
    {6, 64, 2388, "Stop charging at ChargeParameterDiscovery"},
    {7, 65, 2410, "Stop charging at CableCheck"},
    {8, 66, 2430, "Stop charging at PreCharge"},
};
constexpr std::uint8_t kStepCableCheck = 7;
constexpr std::uint8_t kStepPowerDelivery = 9;
constexpr std::uint8_t kStepCurrentDemand = 10;

void RaiseWithLine(RegisterMap& map, unsigned entry, const std::string& line) {
    if (RaiseDinBit(map, entry)) RecordSysLog(line);
}

// "[Scrivet][n][EV] <text>(0x........); <tail>"
std::string EvStopLine(const RegisterMap& map, int number, const char* text) {
    return FormatLogText("[Scrivet][%d][EV] %s%s; %s", number, text, StatusText(map).c_str(), MeasurementTail(map).c_str());
}

bool GfdAlarmSet(const RegisterMap& map) { return map.get(ALARM_GFD_PREWARNING) || map.get(ALARM_GFD); }

// The stop that ended the session, by error code or by the step before the
// end. Returns whether a row covered it (raised now or before).
bool HandleSessionEnd(RegisterMap& map, const DinErrorState& st, const Status& s) {
    const std::uint8_t code = map.get(SHRMEM_CCS_EV_ERROR_CODE);
    if (code >= 1 && code <= 11) {
        const EvErrorRow& r = kEvErrorRows[code - 1];
        std::string line = FormatLogText("[Scrivet][%d][EV] %s%s", r.number, r.name, StatusText(map).c_str());
        if (r.tail) line += "; " + MeasurementTail(map);
        RaiseWithLine(map, r.entry, line);
        return true;
    }
    if (code != 0) return false;

    if (st.u8OldPhaseV2g == kStepCurrentDemand) {
        if (s.step == kStepPowerDelivery && map.get(SHRMEM_CCS_EV_READY_TO_CHARGE) == 0) {
            if (map.get(SHRMEM_CCS_EV_CHARGING_COMPLETE) == 1) {
                RaiseWithLine(map, kEntryStopChargingComplete,
                              FormatLogText("[Scrivet][%d][EV] Stop charging at CurrentDemand by PowerDelivery(ChargingComplete)%s",
                                     2454, StatusText(map).c_str()));
            } else if (map.get(SHRMEM_CCS_EV_BULK_COMPLETE) == 1) {
                RaiseWithLine(map, kEntryStopBulkComplete,
                              FormatLogText("[Scrivet][%d][EV] Stop charging at CurrentDemand by PowerDelivery(BulkChargingComplete)%s",
                                     2470, StatusText(map).c_str()));
            } else {
                RaiseWithLine(map, kEntryStopCurrentDemand, EvStopLine(map, 2486, "Stop charging at CurrentDemand"));
            }
        } else {
            RaiseWithLine(map, kEntryStopCurrentDemand, EvStopLine(map, 2505, "Stop charging at CurrentDemand"));
        }
        return true;
    }
    for (const StopRow& r : kStopRows) {
        if (r.previousStep != st.u8OldPhaseV2g) continue;
        if (r.previousStep == kStepCableCheck && GfdAlarmSet(map)) return true;  // the GFD alarm tells the story
        RaiseWithLine(map, r.entry, EvStopLine(map, r.number, r.text));
        return true;
    }
    return false;
}

void CheckPilot(RegisterMap& map, std::uint8_t step) {
    const std::uint8_t pilot = map.get(SHRMEM_CCS_PILOT_STATE);
    const char* name = common::PilotStateName(pilot);
    const std::string status = StatusText(map);
    if (pilot == 1) {
        RaiseWithLine(map, kEntryPilotA,
                      FormatLogText("[Scrivet][%d][EV] Stop charging by pilot A%s; Pilot state:%s(%d)", 2543, status.c_str(), name, pilot));
    } else if ((pilot == 2 || pilot == 3) && step >= 3 && step <= 5) {
        RaiseWithLine(map, kEntryPilotB,
                      FormatLogText("[Scrivet][%d][EV] Stop charging by pilot B%s; Pilot state:%s(%d), %s", 2565, status.c_str(), name,
                             pilot, MeasurementTail(map).c_str()));
    } else if (pilot == 6) {
        RaiseWithLine(map, kEntryPilotE,
                      FormatLogText("[Scrivet][%d][EV] Stop charging by pilot E, F or error%s; Pilot state:%s(%d), %s", 2586,
                             status.c_str(), name, pilot, MeasurementTail(map).c_str()));
    }
}

}  // namespace

bool DinBit(const RegisterMap& map, unsigned entry) {
    return map.get(Bits{kDinEvtFirst + entry / 8, static_cast<std::uint8_t>(1u << (entry % 8))});
}

bool RaiseDinBit(RegisterMap& map, unsigned entry) {
    if (entry >= common::kDINEvtCount || DinBit(map, entry)) return false;
    map.set(Bits{kDinEvtFirst + entry / 8, static_cast<std::uint8_t>(1u << (entry % 8))}, true);
    return true;
}

std::string MeasurementTail(const RegisterMap& map) {
    return FormatLogText("SMR AvailPwr:%dW, SMR AvailCurr:%dA, Vcmd:%dV, Icmd:%.1fA, Vout:%dV, Iout:%dA, EVSEPwrLimit:%dkW, "
                  "EVSECurrLimit:%dA",
                  map.get(SHRMEM_AVAILABLE_POWER), map.get(SHRMEM_SMR_AVAIL_CURRENT), map.get(SHRMEM_SET_V1) / 10,
                  map.get(SHRMEM_SET_I1) / 10.0, map.get(SHRMEM_GET_V1) / 10, map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT),
                  map.get(mainb::SHRMEM_CCS_POWER_LIMIT), map.get(mainb::SHRMEM_CCS_CURRENT_LIMIT));
}

int IsDINCommAlarm(const RegisterMap& map) {
    for (unsigned e = 0; e < common::kDINEvtCount; ++e) {
        if (DinBit(map, e) && common::HasEventCode(common::pu8DINAlarmCode[e]) && common::pu8DINAlarmLvl[e] == 1) return 1;
    }
    return 0;
}

int CheckProximity(RegisterMap& map) {
    const std::uint8_t proximity = map.get(SHRMEM_CCS_EV_PROXIMITY);
    if (map.get(mainb::SHRMEM_CCS_FW_VERSION_LOW) != 2 || proximity != 1 || map.get(ALARM_CCS_PROXIMITY_DISCONNECT)) return 0;
    map.set(ALARM_CCS_PROXIMITY_DISCONNECT, true);
    const std::uint8_t pilot = map.get(SHRMEM_CCS_PILOT_STATE);
    RecordSysLogf("[Scrivet][%d][EV] CCS proximity disconnected; Proximity:%d, Pilot state:%s(%d)", 1676, proximity,
                  common::PilotStateName(pilot), pilot);
    return 1;
}

void CheckDINCommError(RegisterMap& map) {
    const Status s = ReadStatus(map);
    if (s.result == 0 || s.phase < 1 || s.phase > 6) return;
    const std::string status = StatusText(map);
    const char* phase = common::DINPhaseName(s.phase);
    const char* error = common::DINErrorName(s.result);
    switch (s.phase) {
    case 1:
        if (s.step == 0 && s.third == 0) {
            RaiseWithLine(map, 0, FormatLogText("[Scrivet][%d] SLAC No PLC data%s; Phase:%s, SLAC:0x%02X%02X, Error:%s", 1741,
                                         status.c_str(), phase, s.step, s.third, error));
        } else {
            RaiseWithLine(map, 1, FormatLogText("[Scrivet][%d] SLAC error%s; Phase:%s, SLAC:0x%02X%02X, Error:%s", 1723,
                                         status.c_str(), phase, s.step, s.third, error));
        }
        break;
    case 2:
    case 3:
        RaiseWithLine(map, 2, FormatLogText("[Scrivet][%d] SDP error%s; Phase:%s, Error:%s", 1763, status.c_str(), phase, error));
        break;
    case 4:
    case 5:
        RaiseWithLine(map, 3, FormatLogText("[Scrivet][%d] TCP error%s; Phase:%s, Error:%s", 1783, status.c_str(), phase, error));
        break;
    case 6:
        if (s.step <= 12) {
            const StepRow& r = kV2GErrorRows[s.step];
            RaiseWithLine(map, r.entry,
                          FormatLogText("[Scrivet][%u] V2G error%s; Phase:%s, V2G:%s, Error:%s", static_cast<unsigned>(r.number),
                                 status.c_str(), phase, common::DINV2GPhaseName(s.step), error));
        }
        break;
    default:
        break;
    }
}

void CheckDINCommTmOut(RegisterMap& map, DinErrorState& st, std::uint8_t step, std::uint8_t connector) {
    const common::TimeStamp now = common::MonotonicNow();
    if (!FullGate(map, step, connector)) {
        st.tStart = now;
        return;
    }
    if (DinBit(map, kEntryReadyToChargeTimeout)) return;
    if (map.get(SHRMEM_CCS_EV_READY_TO_CHARGE) != 0) {
        st.tStart = now;
        return;
    }
    std::int64_t waited = common::DiffTimeb(now, st.tStart);
    if (waited < 0) waited = -waited;
    if (waited < kReadyToChargeTimeoutMs) return;
    const std::uint8_t pilot = map.get(SHRMEM_CCS_PILOT_STATE);
    RaiseWithLine(map, kEntryReadyToChargeTimeout,
                  FormatLogText("[Scrivet][%d][EVSE] Timeout error - ReadyToCharge%s; Pilot state:%s(%d), %s", 2001,
                         StatusText(map).c_str(), common::PilotStateName(pilot), pilot, MeasurementTail(map).c_str()));
}

void CheckDINEVStop(RegisterMap& map, DinErrorState& st, std::uint8_t step, std::uint8_t connector) {
    const Status s = ReadStatus(map);
    if (!FullGate(map, step, connector)) {
        st.u8IsV2gPhase = 0;
        st.u8OldPhaseV2g = s.step;
        return;
    }
    bool handled = false;
    if (st.u8IsV2gPhase == 0) {
        if (s.phase == 6) st.u8IsV2gPhase = 1;
    } else {
        const bool ended = s.step == 11 || s.step == 12 ||
                           (s.step == kStepPowerDelivery && map.get(SHRMEM_CCS_EV_READY_TO_CHARGE) == 0) ||
                           s.phase == 0 || s.phase == 10 || s.phase == 11 || s.step == 0 || s.step == 21;
        if (ended) handled = HandleSessionEnd(map, st, s);
    }
    if (!handled) CheckPilot(map, step);
    st.u8OldPhaseV2g = s.step;
}

void CheckDINEVSEStop(RegisterMap& map, DinErrorState& st, std::uint8_t step, std::uint8_t connector) {
    if (InGate(step, connector) && step == 5 && !DinBit(map, kEntryEvseCommandRange)) {
        const bool volt = map.get(mainb::CCSALARM_VOLT_CMD_RANGE);
        const bool curr = map.get(mainb::CCSALARM_CURR_CMD_RANGE);
        if (volt || curr) {
            RaiseDinBit(map, kEntryEvseCommandRange);
            const std::string tail = MeasurementTail(map);
            if (volt) {
                RecordSysLogf("[Scrivet][%d][EVSE] Target command Volt over range; %s, EVSEVoltLimit:%dV", 2645, tail.c_str(), 500);
            }
            if (curr) {
                RecordSysLogf("[Scrivet][%d][EVSE] Target command Curr over range; %s, EVSEVoltLimit:%dV", 2658, tail.c_str(), 500);
            }
        }
    }

    const std::uint8_t minOver = map.get(mainb::CCSALARM_EVSE_MIN_OVER_EV_MAX) ? 1 : 0;
    if (minOver != st.evseMinVoverEvMaxV) {
        if (minOver) {
            RecordSysLogf("[Scrivet][%d][EVSE] EVSE Minimum voltage limit over EV Max voltage limit; EvseMinVoltLimit:%dV, "
                          "EvMaxVoltageLimit:%uV",
                          2677, 200, static_cast<unsigned>(map.get(SHRMEM_CCS_EV_MAX_VOLTAGE)));
        }
        st.evseMinVoverEvMaxV = minOver;
    }

    const bool broken = map.get(mainb::CCSALARM_PILOT_BROKEN);
    if (broken != map.get(SYSEVT_CCS_PILOT_BROKEN)) {
        if (broken) RecordSysLogf("[Scrivet][%d][EVSE] CCS pilot line broken; Pilot state:%d", 2696, map.get(SHRMEM_CCS_PILOT_STATE));
        map.set(SYSEVT_CCS_PILOT_BROKEN, broken);
    }
}

int DIN_ErrHandling(RegisterMap& map, DinErrorState& st) {
    const std::uint8_t step = map.get(SHRMEM_CHARGE_STEP);
    const std::uint8_t connector = map.get(SHRMEM_ACTIVE_CONNECTOR);
    if (FullGate(map, step, connector) && CheckProximity(map) == 0) CheckDINCommError(map);
    CheckDINCommTmOut(map, st, step, connector);
    CheckDINEVStop(map, st, step, connector);
    CheckDINEVSEStop(map, st, step, connector);
    return 1;
}

}  // namespace boardlink
