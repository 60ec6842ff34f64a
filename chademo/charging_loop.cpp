#include "charging_loop.h"

#include <string>

#include "charger_frames.h"
#include "clock.h"
#include "regmap_fields.h"
#include "relays.h"
#include "syslog.h"

namespace chademo {

using namespace regmap;

namespace {

// The remaining time on the monotonic clock: a clock set while charging
// neither lengthens nor ends the charge.
class RemainingTime {
public:
    explicit RemainingTime(RegisterMap map) : map_(map), start_(Now()), limit_(map.get(LIMIT_TIME)) { Publish(limit_); }
    // Seconds left, never below 0.
    std::int32_t Update() {
        const std::int64_t left = limit_ - (Now() - start_) / 1000;
        Publish(static_cast<std::int32_t>(left > 0 ? left : 0));
        return map_.get(RESID_TIME);
    }

private:
    void Publish(std::int32_t left) {
        map_.set(RESID_TIME, left);
        map_.set(SHRMEM_REMAIN_TIME, static_cast<std::uint32_t>(left));
        map_.set(SHRMEM_REMAIN_TIME_TEXT, std::to_string(left));
        map_.set(SHRMEM_PASS_TIME_TEXT, std::to_string(limit_ - left));
    }
    RegisterMap map_;
    std::int64_t start_;
    std::int32_t limit_;
};

// More than 5 V above the vehicle's threshold voltage.
bool OverVoltage(const StepPorts& s) {
    return s.map.get(SHRMEM_CHADEMO_OVP_DISABLE) == 0 &&
           s.map.get(SHRMEM_GET_V1) / 10.0 - static_cast<double>(s.map.get(LIMIT_VOLT)) > 5.0;
}

void Start(StepPorts& s) {
    s.Status(kCpEnergising);
    s.Status(kCpStopped, false);
    OrByteAtomic(s.map, ChargerFlag, kFollowRequest);
}

}  // namespace

int CH_SUB_04(StepPorts& s) {
    Sleep(100);
    Start(s);
    RemainingTime remaining(s.map);
    std::uint8_t* cp109 = s.map.bytes(CP109);
    const bool minutes = cp109[6] == 255;
    const std::int64_t unitMs = minutes ? 60000 : 10000;
    int units = s.map.get(LIMIT_TIME) / (minutes ? 60 : 10);
    std::int64_t stamp = Now(), overCurrentFrom = Now();
    for (;; Sleep(kLoopPauseMs)) {
        if (Now() - stamp >= unitMs) {
            stamp = Now();
            --units;
            if (minutes) cp109[7] = static_cast<std::uint8_t>(units > 0 ? units : 0);
            else cp109[6] = static_cast<std::uint8_t>(units > 0 ? units : 0), cp109[7] = 0;
        }
        if (units <= 0) {
            s.Status(kCpStopped);
            Sleep(100);
            s.ClearRemainingTime();
            s.map.set(SHRMEM_STOP_CHARGING, 5);
            SetBitsAtomic(s.map, ALARM_CHARGING_TIME_UP, true);
            return 1;
        }
        std::uint32_t flags = 0;
        if (ChargerMalfun(s.map, flags)) {
            s.Status(kCpMalfunction | kCpStopped);
            s.ClearRemainingTime();
            Sleep(300);
            common::RecordSysLogf("[Corvane]CH_SUB_04:charger malfunction flags:0x%08x", flags);
            return 1;
        }
        if (s.signals.ConnectorLock(2) != 1) {
            common::RecordSysLog("[Corvane]CH_SUB_04:connector released");
            s.Status(kCpMalfunction | kCpStopped);
            Sleep(150);
            s.ClearRemainingTime();
            s.ConnectorError(1265);
            Sleep(150);
            return 1;
        }
        if (s.Emergency()) {
            common::RecordSysLog("[Corvane]CH_SUB_04:Emergency Button Pressed");
            s.Status(kCpMalfunction | kCpStopped);
            s.ClearRemainingTime();
            Sleep(150);
            return 1;
        }
        const std::uint8_t stop = s.map.get(SHRMEM_STOP_CHARGING);
        if (stop != 0) {
            common::RecordSysLogf("[Corvane]CH_SUB_04:SHRMEM_STOP_CHARGING=0x%x", stop);
            if (s.Emergency()) s.Status(kCpMalfunction);
            if (stop == kStopCanTimeout) {
                // The vehicle fell silent: output off at once, the frames
                // still going out while d2 and d1 drop.
                s.map.set(SHRMEM_CHADEMO_STOPPING, 1);
                s.Status(kCpSystemMalfunction | kCpStopped);
                s.Status(kCpEnergising, false);
                OrByteAtomic(s.map, ChargerFlag, kStopping);
                s.Status(kCpLocked, false);
                s.ZeroVoltage();
                s.D2(0);
                Sleep(500);
                s.D1(0);
                Sleep(100);
                s.map.set(SHRMEM_CHADEMO_STOPPING, 0);
            }
            s.Status(kCpStopped);
            Sleep(200);
            s.ClearRemainingTime();
            return 1;
        }
        if (s.EvFaults() != 0 || (s.EvStatus() & (kEvShiftPosition | kEvFault))) {
            s.Status(kCpStopped);
            Sleep(100);
            s.ClearRemainingTime();
            return 1;
        }
        if (!(s.EvStatus() & kEvChargingEnabled) || s.NoPermission()) {
            s.Status(kCpStopped);
            s.NoPermissionLine(1357, false);
            Sleep(100);
            s.ClearRemainingTime();
            return 1;
        }
        if (OverVoltage(s)) {
            SetBitsAtomic(s.map, CHADEMO_ALARM_OVER_VOLTAGE, true);
            s.log.systemLogHandle(26, 1369);
            s.Status(kCpStopped);
            s.ClearRemainingTime();
            return 1;
        }
        if (ChangePowerRating(s.map) != 0) overCurrentFrom = Now();
        const int request = s.map.get(EV102_CURRENT_REQUEST), available = s.map.get(CP108_AVAILABLE_CURRENT);
        if (available < request && Now() - overCurrentFrom > kOverCurrentGraceMs) {
            s.Status(kCpSystemMalfunction | kCpStopped);
            s.map.set(SHRMEM_STOP_CHARGING, 2);
            SetBitsAtomic(s.map, CHADEMO_ALARM_OVER_CURRENT, true);
            s.log.systemLogHandle(11, 1386);
            Sleep(150);
            s.ClearRemainingTime();
            common::RecordSysLogf("[Corvane]CH_SUB_04:Output OCP: EV102[3](%d) > CP108[3](%d)", request, available);
            s.Status(kCpEnergising, false);
            s.D2(0);
            Sleep(500);
            s.D1(0);
            s.log.writeSysLog();
            return 1;
        }
        remaining.Update();
    }
}

int V2_CH_SUB_04(StepPorts& s) {
    Start(s);
    RemainingTime remaining(s.map);
    std::uint8_t* cp109 = s.map.bytes(CP109);
    std::int64_t announced = s.map.get(CP108_AVAILABLE_CURRENT);
    std::int64_t graceFrom = 0;
    bool grace = false;
    for (;; Sleep(kLoopPauseMs)) {
        const std::int64_t available = AvailableCurrent(s.map);
        if (available != announced) {
            // A lowered offer gives the vehicle time to follow it.
            if (available < announced) graceFrom = Now(), grace = true;
            s.map.set(CP108_AVAILABLE_CURRENT, static_cast<std::uint8_t>(available));
            announced = available;
        }
        if (grace && Now() - graceFrom > kOverCurrentGraceMs) grace = false;

        const std::int32_t left = s.map.get(RESID_TIME);
        if (left > 2540 || cp109[6] == 255) {
            cp109[6] = 255;
            cp109[7] = static_cast<std::uint8_t>(left / 60 + 1);
        } else {
            cp109[6] = static_cast<std::uint8_t>(left / 10 + (left % 10 ? 1 : 0));
            cp109[7] = 0;
        }

        if (s.EvFaults() != 0 || (s.EvStatus() & kEvFault)) {
            s.ClearRemainingTime();
            return 2;
        }
        if (s.NoPermission()) {
            s.NoPermissionLine(1600);
            s.ClearRemainingTime();
            return 2;
        }
        if (s.EvStatus() & kEvShiftPosition) {
            s.Status(kCpStopped);
            s.ClearRemainingTime();
            return 1;
        }
        if (!(s.EvStatus() & kEvChargingEnabled)) {
            s.NoPermissionLine(1616);
            s.Status(kCpStopped);
            s.ClearRemainingTime();
            return 1;
        }
        std::uint32_t flags = 0;
        if (V2_ChargerMalfun(s.map, flags) || s.Emergency()) {
            if (s.Emergency()) {
                common::RecordSysLog("[Corvane]V2_CH_SUB_04:user emergency button");
                s.Status(kCpMalfunction);
            } else {
                common::RecordSysLogf("[Corvane]V2_CH_SUB_04:charger malfunction flags:0x%08x", flags);
            }
            s.ClearRemainingTime();
            s.map.set(SHRMEM_STOP_CHARGING, 7);
            return 4;
        }
        if (OverVoltage(s)) {
            common::RecordSysLogf("[Corvane]V2_CH_SUB_04:OVP:0x%x", s.PresentVolts());
            SetBitsAtomic(s.map, CHADEMO_ALARM_OVER_VOLTAGE, true);
            s.LogCode(26, 1685);
            s.Status(kCpSystemMalfunction);
            s.ClearRemainingTime();
            return 4;
        }
        if (s.map.get(EV102_CURRENT_REQUEST) > s.map.get(CP108_AVAILABLE_CURRENT) && !grace) {
            s.D1(0);
            s.Status(kCpSystemMalfunction);
            s.map.set(SHRMEM_STOP_CHARGING, 2);
            SetBitsAtomic(s.map, CHADEMO_ALARM_OVER_CURRENT, true);
            s.LogCode(11, 1702);
            s.ClearRemainingTime();
            return 4;
        }
        const std::uint8_t stop = s.map.get(SHRMEM_STOP_CHARGING);
        if (stop != 0 || left <= 0) {
            if (left > 0) {
                common::RecordSysLogf("[Corvane]CH_SUB_06:SHRMEM_STOP_CHARGING=0x%x", stop);
                if (s.Emergency()) s.Status(kCpMalfunction);
            } else {
                common::RecordSysLogf("[Corvane][%d] Charging time is up", 1723);
                SetBitsAtomic(s.map, ALARM_CHARGING_TIME_UP, true);
                s.map.set(SHRMEM_STOP_CHARGING, 5);
            }
            s.ClearRemainingTime();
            return 3;
        }
        remaining.Update();
    }
}

}  // namespace chademo
