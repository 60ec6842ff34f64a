#include "insulation.h"

#include "clock.h"
#include "relays.h"
#include "syslog.h"

namespace chademo {

using namespace regmap;

namespace {

constexpr int kLiveVolts = 11;  // a dead output reads 10.9 V or less

bool Stop09(StepPorts& s) {
    std::uint32_t flags = 0;
    return ChargerMalfun(s.map, flags) || s.EvFaults() != 0 || (s.EvStatus() & (kEvShiftPosition | kEvFault)) ||
           s.map.get(SHRMEM_STOP_CHARGING) != 0 || s.map.get(SHRMEM_STOP_BUTTON) >= 2;
}

}  // namespace

int CH_SUB_03(StepPorts& s) {
    const int volts = s.PresentVolts();
    if (volts >= kLiveVolts) {
        common::RecordSysLogf("[Corvane]CH_SUB_03:Vehicle relay ON:Vdc(%d)>Vdc_LIMIT(10)", volts);
        s.Status(kCpSystemMalfunction);
        SetBitsAtomic(s.map, CHADEMO_ALARM_VOLTAGE_BEFORE_TEST, true);
        s.LogCode(19, 608);
        Sleep(90);
        return 0;
    }
    if (Stop09(s)) {
        if (s.Emergency()) s.Status(kCpMalfunction);
        s.Status(kCpStopped);
        s.ZeroVoltage();
        return 0;
    }
    if (s.NoPermission()) {
        s.NoPermissionLine(629);
        s.Status(kCpStopped);
        s.ZeroVoltage();
        return 0;
    }
    if (s.signals.ConnectorLock(1) != 1) {
        common::RecordSysLog("[Corvane]CH_SUB_03:Isolation NG:ChademoConnectorError");
        s.Status(kCpMalfunction | kCpStopped);
        s.ZeroVoltage();
        s.ConnectorError(662);
        return 0;
    }
    s.Status(kCpLocked);
    Sleep(100);
    s.map.set(SHRMEM_CHADEMO_INSULATION_TEST, 1);
    const std::int64_t start = Now();
    for (;; Sleep(kInsulationPollMs)) {
        if (Now() - start >= kInsulationWaitMs09) {
            SetBitsAtomic(s.map, CHADEMO_ALARM_PROCESS_TIMEOUT, true);
            s.LogCode(23, 681);
            s.Status(kCpMalfunction | kCpStopped);
            s.ZeroSetPoints();
            return 0;
        }
        if (Stop09(s)) {
            if (s.Emergency()) s.Status(kCpMalfunction);
            s.Status(kCpStopped);
            s.ZeroSetPoints();
            return 0;
        }
        if (!(s.EvStatus() & kEvChargingEnabled) || s.NoPermission()) {
            s.NoPermissionLine(709);
            s.Status(kCpStopped);
            s.D1(0);
            s.ZeroSetPoints();
            return 0;
        }
        if (s.signals.ConnectorLock(2) != 1) {
            common::RecordSysLog("[Corvane]CH_SUB_03:connector released");
            s.Status(kCpMalfunction | kCpStopped);
            s.ClearRemainingTime();
            s.ConnectorError(747);
            return 0;
        }
        const std::uint8_t answer = s.map.get(SHRMEM_CHADEMO_INSULATION_TEST);
        if (answer == 4) {
            s.Status(kCpMalfunction | kCpStopped);
            s.ZeroSetPoints();
            return 0;
        }
        if (answer == 3) {
            s.ZeroVoltage();
            return 1;
        }
    }
}

int V2_CH_SUB_03(StepPorts& s) {
    auto vehicleStops = [&] {
        return s.EvFaults() != 0 || (s.EvStatus() & (kEvShiftPosition | kEvFault)) ||
               !(s.EvStatus() & kEvChargingEnabled);
    };
    auto stationStops = [&] {
        return s.map.get(SHRMEM_STOP_CHARGING) != 0 || (s.map.get(SHRMEM_STOP_BUTTON) & 0x0A);
    };
    // Permission gone before the lock: nothing was asked of the station yet.
    auto refuse = [&](unsigned number) {
        s.D1(0);
        s.NoPermissionLine(number);
        s.Status(kCpStopped);
        s.ZeroVoltage();
        return 0;
    };
    std::uint32_t flags = 0;
    const bool live = s.PresentVolts() > 10;
    if (live || V2_ChargerMalfun(s.map, flags) || vehicleStops() || stationStops()) {
        if (live) {
            SetBitsAtomic(s.map, CHADEMO_ALARM_VOLTAGE_BEFORE_TEST, true);
            s.log.systemLogHandle(19, 802);
            OrByteAtomic(s.map, ChargerFlag, kStopping);
            s.D1(0);
            s.log.writeSysLog();
        }
        if (!(s.EvStatus() & kEvChargingEnabled)) {
            s.NoPermissionLine(811);
        }
        s.Status(kCpSystemMalfunction);
        Sleep(100);
        s.D1(0);
        s.Status(kCpStopped);
        if (live) common::RecordSysLogf("[Corvane][V2_CH_SUB_03]:Vehicle relay ON:Vdc(%d)>Vdc_LIMIT(10)", s.PresentVolts());
        s.ZeroVoltage();
        return 0;
    }
    if (s.NoPermission()) return refuse(855);
    if (s.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) {
        s.ZeroVoltage();
        return 0;
    }
    // The vehicle may have changed its mind while the charger looked.
    if (vehicleStops()) {
        if (!(s.EvStatus() & kEvChargingEnabled)) {
            s.NoPermissionLine(898);
        }
        s.D1(0);
        s.Status(kCpStopped);
        s.ZeroVoltage();
        return 0;
    }
    if (s.NoPermission()) return refuse(918);
    if (s.signals.ConnectorLock(1) != 1) {
        s.D1(0);
        s.Status(kCpMalfunction | kCpStopped);
        s.ZeroVoltage();
        s.ConnectorError(947);
        common::RecordSysLog("[Corvane]CH_SUB_03:Isolation NG:ChademoConnectorError");
        return 0;
    }
    s.Status(kCpLocked);
    s.map.set(SHRMEM_CHADEMO_INSULATION_TEST, 1);
    const std::int64_t start = Now();
    // A failed test stops the session with the lock released on 0x109.
    auto release = [&] {
        Sleep(500);
        OrByteAtomic(s.map, ChargerFlag, kStopping);
        s.Status(kCpLocked, false);
    };
    for (;; Sleep(kInsulationPollMs)) {
        if (Now() - start >= kInsulationWaitMs1x) {
            SetBitsAtomic(s.map, CHADEMO_ALARM_PROCESS_TIMEOUT, true);
            s.log.systemLogHandle(23, 983);
            s.Status(kCpMalfunction);
            s.D1(0);
            s.Status(kCpStopped);
            release();
            s.ZeroSetPoints();
            s.log.writeSysLog();
            return 0;
        }
        if (V2_ChargerMalfun(s.map, flags) || s.EvFaults() != 0 ||
            (s.EvStatus() & (kEvShiftPosition | kEvFault | kEvNormalStop)) || !(s.EvStatus() & kEvChargingEnabled) ||
            stationStops()) {
            if (!(s.EvStatus() & kEvChargingEnabled) || (s.EvStatus() & kEvNormalStop)) {
                s.NoPermissionLine(1005, false);
            }
            if (s.Emergency()) s.Status(kCpMalfunction);
            Sleep(100);
            s.D1(0);
            s.Status(kCpStopped);
            s.ZeroSetPoints();
            Sleep(100);
            s.log.writeSysLog();
            return 0;
        }
        if (s.NoPermission()) {
            s.NoPermissionLine(1037, false);
            s.Status(kCpMalfunction);
            s.D1(0);
            s.Status(kCpStopped);
            s.ZeroSetPoints();
            Sleep(100);
            s.log.writeSysLog();
            return 0;
        }
        if (s.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) {
            s.D1(0);
            s.ZeroSetPoints();
            Sleep(100);
            return 0;
        }
        if (s.signals.ConnectorLock(2) != 1) {
            common::RecordSysLog("[Corvane][V2_CH_SUB_03][EVSE] CHAdeMO connector lock is broken; Detect status:0");
            s.Status(kCpMalfunction);
            s.D1(0);
            s.Status(kCpStopped);
            release();
            s.ClearRemainingTime();
            s.ConnectorError(1099);
            return 0;
        }
        const std::uint8_t answer = s.map.get(SHRMEM_CHADEMO_INSULATION_TEST);
        if (answer == 4) {
            s.Status(kCpMalfunction);
            s.D1(0);
            s.Status(kCpStopped);
            release();
            s.ZeroSetPoints();
            return 0;
        }
        if (answer == 3) {
            s.ZeroVoltage();
            return 1;
        }
    }
}

}  // namespace chademo
