#include "fennick_bridge.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "clock.h"
#include "regmap_chademo.h"
#include "regmap_fields.h"
#include "shared_bytes.h"

namespace alarms {

using namespace regmap;
using namespace fennick;

namespace {

// SHRMEM_CHARGER_STATE as the station controller writes it.
enum : std::uint8_t {
    kIdle = 0,
    kStateCharging = 1,
    kStateFault = 2,
    kStateFault4 = 4,
    kStateUnavailable = 8,
    kStatePreparing = 16,
    kStateFinishing = 32,
};

constexpr std::uint8_t kEmergencyButton = 0x08;    // SHRMEM_STOP_BUTTON
constexpr std::uint8_t kEvSideStopDin = 0x10 | 0x20 | 0x80;  // 21541: 00C314, 00C315, 00C317
constexpr std::uint32_t kDinEvtByte8 = 21541;
constexpr std::uint32_t kChademoPermission = 340;  // bit 0x20: no charging permission
constexpr std::uint32_t kChademoShift = 341;       // bit 0x20: shift position

void SetInfo(char* info, const char* text) { std::snprintf(info, 51, "%s", text); }

void Set(std::uint8_t s[2], char info[2][51], int connector, std::uint8_t status, const char* text) {
    s[connector - 1] = status;
    SetInfo(info[connector - 1], text);
}

// A float limit into an integer field: -1 and anything not a number mean no
// limit; values beyond the field's range take its bound.
template <typename T>
T Saturate(float v) {
    if (std::isnan(v)) return -1;
    if (v >= static_cast<float>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    if (v <= static_cast<float>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    return static_cast<T>(v);
}

}  // namespace

std::uint8_t FennickStsStdbyCheck(std::uint8_t otherStatus, std::uint8_t reserved, std::uint8_t unavailable,
                                  char* info) {
    if (unavailable != 0) return SetInfo(info, "Unavailable"), kStsUnavailable;
    if (reserved != 0) return SetInfo(info, "Reserved"), kStsReserved;
    if (otherStatus == kStsCharging || otherStatus == kStsReserved) return SetInfo(info, "Unavailable"), kStsUnavailable;
    return SetInfo(info, "Available"), kStsAvailable;
}

void FennickBridge::DeriveCharging(std::uint8_t a, std::uint8_t s[2], char info[2][51]) {
    FennickApp& app = *b_->app;
    const bool known = a == 1 || a == 2;
    switch (chgStateMach) {
    case 0:
        if (known) Set(s, info, a, kStsSuspendedEV, "Wait EV to start charging");
        chgStateMach = 1;
        txnSeen_ = false;
        break;
    case 1: {
        if (!known) {
            chgStateMach = 2;
            break;
        }
        if (ConnectorRec(app, a).txnRunning == 0) {
            txnSeen_ = false;
            break;
        }
        // Timed on the monotonic clock rather than paused: the alarm reports
        // of this pass must not wait for it.
        const std::int64_t now = platform::GetClock().MonotonicMs();
        if (!txnSeen_) {
            txnSeen_ = true;
            txnSeenMs_ = now;
        }
        if (now - txnSeenMs_ >= kChargingDelayMs) chgStateMach = 2;
        break;
    }
    default: {
        const bool limited = b_->map.get(SHRMEM_OCPP_CURRENT_LIMIT) == 0 || b_->map.get(SHRMEM_OCPP_POWER_LIMIT) == 0;
        if (!limited) {
            const int other = a == 1 ? 2 : 1;
            if (!known) break;
            Set(s, info, a, kStsCharging, "Charging");
            const ConnectorRecord& o = ConnectorRec(app, other);
            s[other - 1] = FennickStsStdbyCheck(kStsCharging, o.reserved, o.unavailable, info[other - 1]);
        } else if (known) {
            Set(s, info, a, kStsSuspendedEVSE, "Suspended by smart charging");
        }
        break;
    }
    }
}

void FennickBridge::DeriveFinishing(std::uint8_t a, std::uint8_t s[2], char info[2][51]) {
    if (b_->map.get(mainb::SHRMEM_CHARGE_END) == 0 || chgStateMach != 2) return;
    const bool known = a == 1 || a == 2;
    switch (finStateMach) {
    case 0: {
        if (!known) {
            finStateMach = 2;
            break;
        }
        const bool evStop = (common::ReadShared(b_->map, kDinEvtByte8) & kEvSideStopDin) != 0 ||
                            (common::ReadShared(b_->map, kChademoShift) & 0x20) != 0 ||
                            (common::ReadShared(b_->map, kChademoPermission) & 0x20) != 0;
        if (evStop) {
            Set(s, info, a, kStsSuspendedEV, "Suspended by EV");
            finStateMach = 1;
        } else {
            Set(s, info, a, kStsFinishing, "Finishing");
            finStateMach = 2;
        }
        break;
    }
    case 1:
        if (!known) {
            finStateMach = 2;
        } else if (ConnectorRec(*b_->app, a).idTag[0] == '\0') {
            Set(s, info, a, kStsFinishing, "Finishing");
            finStateMach = 2;
        }
        break;
    default:
        break;
    }
}

std::uint8_t FennickBridge::FennickStsMgmt() {
    if (b_ == nullptr || b_->app == nullptr) return 0;
    FennickApp& app = *b_->app;
    const RegisterMap& map = b_->map;
    const ConnectorRecord& c1 = ConnectorRec(app, 1);
    const ConnectorRecord& c2 = ConnectorRec(app, 2);
    const std::uint8_t u1 = c1.unavailable, u2 = c2.unavailable, r1 = c1.reserved, r2 = c2.reserved;
    std::uint8_t s[2] = {u8CnnStsM[0], u8CnnStsM[1]};
    std::uint8_t e[2] = {kErrNoError, kErrNoError};
    char info[2][51];
    std::memcpy(info, info_, sizeof info);

    const std::uint8_t state = map.get(SHRMEM_CHARGER_STATE);
    const std::uint8_t a = map.get(SHRMEM_ACTIVE_CONNECTOR);
    const std::uint8_t plug = map.get(mainb::SHRMEM_PLUG_IN);
    if (state == kStateUnavailable || app.fwInstallState != 0 || app.hardResetReq != 0 || app.softResetReq != 0) {
        Set(s, info, 1, kStsUnavailable, "Unavailable");
        Set(s, info, 2, kStsUnavailable, "Unavailable");
    } else if (state == kStateFault || state == kStateFault4 ||
               (common::ReadShared(map, SHRMEM_STOP_BUTTON.offset) & kEmergencyButton) != 0) {
        Set(s, info, 1, kStsFaulted, "Other Errors");
        Set(s, info, 2, kStsFaulted, "Other Errors");
        e[0] = e[1] = kErrOtherError;
    } else if (state == kStatePreparing) {
        chgStateMach = finStateMach = 0;
        if ((plug & 0x01) != 0 && u1 == 0) {
            Set(s, info, 1, kStsPreparing, "Preparing");
        } else if ((plug & 0x02) != 0 && u2 == 0) {
            Set(s, info, 2, kStsPreparing, "Preparing");
        } else {
            if (u1 == 0 && r2 == 0) Set(s, info, 1, kStsPreparing, "Preparing");
            if (u2 == 0 && r1 == 0) Set(s, info, 2, kStsPreparing, "Preparing");
        }
    } else if (state == kStateCharging) {
        DeriveCharging(a, s, info);
    } else if (state == kStateFinishing) {
        DeriveFinishing(a, s, info);
    } else if (plug != 0) {
        // A plugged connector prepares unless it or the other is held; one
        // not plugged is idle beside the other's status.
        auto derive = [&](int c, std::uint8_t other, std::uint8_t u, std::uint8_t rOwn, std::uint8_t rOther) {
            if ((plug & (1u << (c - 1))) == 0) {
                s[c - 1] = FennickStsStdbyCheck(other, rOwn, u, info[c - 1]);
            } else if (u != 0 || rOther != 0) {
                Set(s, info, c, kStsUnavailable, "Unavailable");
            } else if (rOwn != 0) {
                Set(s, info, c, kStsReserved, "Reserved");
            } else {
                Set(s, info, c, kStsPreparing, "Preparing");
            }
        };
        derive(1, u8CnnStsM[1], u1, r1, r2);
        derive(2, s[0], u2, r2, r1);
    } else {
        chgStateMach = finStateMach = 0;
        s[0] = FennickStsStdbyCheck(u8CnnStsM[1], r1, u1, info[0]);
        s[1] = FennickStsStdbyCheck(s[0], r2, u2, info[1]);
    }
    std::memcpy(info_, info, sizeof info);

    for (int c = 0; c < 2; ++c) {
        if (s[c] != u8CnnStsM[c]) FennickPrepStsNotify(*b_, c + 1, e[c], info[c], s[c], "");
        u8CnnStsM[c] = s[c];
    }

    std::uint8_t cp = kStsAvailable;
    if (s[0] == kStsFaulted && s[1] == kStsFaulted) cp = kStsFaulted;
    else if (s[0] == kStsUnavailable && s[1] == kStsUnavailable) cp = kStsUnavailable;
    if (cp != u8OldCpSts) {
        if (cp == kStsUnavailable) FennickPrepStsNotify(*b_, 0, kErrNoError, "Unavailable", cp, "");
        else if (cp == kStsFaulted) FennickPrepStsNotify(*b_, 0, kErrOtherError, "Other Errors", cp, "");
        else FennickPrepStsNotify(*b_, 0, kErrNoError, "Available", cp, "");
        u8OldCpSts = cp;
    }
    return cp;
}

void FennickBridge::FennickMeterValMgmt() {
    if (b_ == nullptr || b_->app == nullptr) return;
    const RegisterMap& map = b_->map;
    std::int32_t energy = map.get(mainb::SHRMEM_ENERGY_HOLD) != 0 ? 0 : map.get(SHRMEM_ENERGY_OFFSET);
    if (energy < s32OldData) energy = s32OldData;
    s32OldData = energy;

    const std::int32_t v = map.get(SHRMEM_GET_V1) * 10;
    const std::int32_t i = map.get(SHRMEM_GET_I1) * 10;
    const std::int32_t p = map.get(SHRMEM_GET_P1);
    ConnectorMeterBlock& m1 = MeterBlock(*b_->app, 1);
    ConnectorMeterBlock& m2 = MeterBlock(*b_->app, 2);
    auto fill = [energy](ConnectorMeterBlock& m, std::int32_t volt, std::int32_t cur, std::int32_t pow,
                         std::int32_t soc, std::int32_t offered) {
        m.voltage = volt;
        m.currentImport = cur;
        m.powerImport = pow;
        m.soc = soc;
        m.currentOffered = offered;
        m.energyImportRegister = energy;
    };

    if (map.get(SHRMEM_CHARGER_STATE) != kStateCharging) {
        fill(m1, v, i, p, 0, 0);
        fill(m2, v, i, p, 0, 0);
    } else if (map.get(SHRMEM_ACTIVE_CONNECTOR) == 2) {
        const std::uint8_t soc = map.get(SHRMEM_CCS_EV_SOC);
        const std::uint8_t full = map.get(SHRMEM_CCS_EV_FULL_SOC);
        const std::int32_t ccsSoc = full != 0 ? static_cast<std::int32_t>(soc * 100.0f / full) : soc;
        fill(m1, 0, 0, 0, 0, 0);
        fill(m2, v, i, p, ccsSoc, map.get(mainb::SHRMEM_CCS_CURRENT_LIMIT) * 100);
    } else {
        const std::uint8_t ref = map.get(mainb::SHRMEM_CHADEMO_SOC_REFERENCE);
        const std::uint8_t rate = map.get(mainb::SHRMEM_CHADEMO_SOC);
        // A vehicle that has not sent its reference yet has no state of charge.
        const std::int32_t chademoSoc = ref != 0 ? static_cast<std::int32_t>((rate * 0.1 * 100.0) / (ref * 0.1)) : 0;
        fill(m1, v, i, p, chademoSoc, map.get(CP108_AVAILABLE_CURRENT) * 100);
        fill(m2, 0, 0, 0, 0, 0);
    }
}

void FennickBridge::FennickUpdateLimit() {
    if (b_ == nullptr || b_->app == nullptr) return;
    const std::uint8_t a = b_->map.get(SHRMEM_ACTIVE_CONNECTOR);
    std::int16_t current = -1;
    std::int32_t power = -1;
    if (a == 1 || a == 2) {
        const ConnectorRecord& r = ConnectorRec(*b_->app, a);
        current = Saturate<std::int16_t>(r.currentLimitA);
        power = Saturate<std::int32_t>(r.powerLimitW);
    }
    b_->map.set(SHRMEM_OCPP_CURRENT_LIMIT, current);
    b_->map.set(SHRMEM_OCPP_POWER_LIMIT, power);
}

}  // namespace alarms
