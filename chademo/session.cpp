#include "session.h"

#include <cstdio>
#include <cstring>

#include "charging_loop.h"
#include "children.h"
#include "clock.h"
#include "contactor.h"
#include "insulation.h"
#include "regmap_chademo.h"
#include "regmap_fields.h"
#include "relays.h"
#include "syslog.h"

namespace chademo {

using namespace regmap;

namespace {
constexpr Bytes pChaDeMoAlarm{21517, 4};
constexpr std::uint8_t kEvStopBits = kEvShiftPosition | kEvFault | kEvNormalStop;

void Zero(RegisterMap& map, Bytes b) { std::memset(map.bytes(b), 0, b.size); }
}  // namespace

void SetCan1(platform::CommandRunner& runner, const std::string& args) {
    platform::Command c;
    c.text = "/sbin/ip link set can1 " + args;
    c.argv = {"/sbin/ip", "link", "set", "can1"};
    for (std::size_t pos = 0; pos < args.size();) {
        std::size_t sp = args.find(' ', pos);
        if (sp == std::string::npos) sp = args.size();
        c.argv.push_back(args.substr(pos, sp - pos));
        pos = sp + 1;
    }
    runner.Run(c);
}

int CH_SUB_10(StepPorts& s) {
    if (s.StatusHas(kCpEnergising)) return 2;
    s.D1(0);
    return 1;
}

int V2_CH_SUB_11(StepPorts& s) {
    if (s.map.get(StartRecv) != 7) return s.D1(0), 1;
    if (!s.StatusHas(kCpLocked)) return s.D1(0), 2;
    if (s.signals.GetD1D2(2) != 1) return s.D1(0), 3;
    if (!(s.EvStatus() & kEvNormalStop)) return s.D2(0), 5;
    return 4;
}

int V2_CH_SUB_10(StepPorts& s) {
    if (s.StatusHas(kCpEnergising)) return 65;
    if ((s.map.get(SHRMEM_STOP_BUTTON) & 0x02) || (s.EvStatus() & kEvNormalStop)) return V2_CH_SUB_11(s);
    std::uint32_t flags = 0;
    if (!V2_ChargerMalfun(s.map, flags)) {
        if (!s.StatusHas(kCpLocked)) return s.D1(0), 2;
        if (s.signals.GetD1D2(2) != 1) return s.D1(0), 3;
        if (s.map.get(EV102_CURRENT_REQUEST) != 0) return 4;
        return s.D2(0), 5;
    }
    if (s.map.get(StartRecv) != 7) return s.D1(0), 1;
    if (!s.StatusHas(kCpLocked)) return s.D1(0), 2;
    if (s.signals.GetD1D2(2) != 1) return s.D1(0), s.D2(0), 3;
    return s.D1(0), 3;
}

void Session::Startup() {
    auto& m = p_.map;
    SetBitsAtomic(m, ALARM_SMR_COMM, false);
    SetBitsAtomic(m, Bits{340, 0xE0}, false);
    m.set(SHRMEM_CHADEMO_EV_ALARM, 0);
    m.set(SHRMEM_CHADEMO_STOPPING, 0);
    m.set(SHRMEM_CHADEMO_PLUGGED, 0);
    for (Bytes b : {EV100, EV101, EV102, CP108, CP109, mainb::CP118, pChaDeMoAlarm}) Zero(m, b);
    for (S32Le w : {LIMIT_I, LIMIT_VOLT, LIMIT_TIME, RESID_TIME}) m.set(w, 0);
    m.set(StartRecv, 0);
    m.set(ChargerFlag, 0);
    canIoPid_ = framesPid_ = timePid_ = 0;
    // A session killed before its end may have left its set-point armed or
    // waiting: this session starts from none.
    s_.ZeroSetPoints();
    s_.Status(kCpStopped);
    s_.ClearRemainingTime();
    // d2 as a killed session may have left it: the vehicle closes its
    // contactor only when this session asks.
    s_.D2(0);
    s_.D1(1);
}

bool Session::StartCanIo() {
    const pid_t pid = p_.startCanIo ? p_.startCanIo() : -1;
    if (pid <= 0) return false;
    canIoPid_ = pid;
    return true;
}

bool Session::StartComputations() {
    framesPid_ = p_.startFrames ? p_.startFrames() : 0;
    timePid_ = p_.startTime ? p_.startTime() : 0;
    return framesPid_ >= 0 && timePid_ >= 0;
}

void Session::PlugIn() {
    while (p_.map.get(StartRecv) != 7 && !p_.signals.Proximity()) Sleep(1);
    p_.map.set(SHRMEM_CHADEMO_PLUGGED, 1);
    sessionStamp_ = Now();
}

bool Session::StartStopCondition() {
    const auto& m = p_.map;
    std::uint32_t flags = 0;
    return m.get(SHRMEM_STOP_BUTTON) >= 2 || ChargerMalfun(p_.map, flags) || m.get(SHRMEM_STOP_CHARGING) != 0 ||
           m.get(EV102_FAULTS) != 0 || (m.get(EV102_STATUS) & kEvStopBits) != 0;
}

// A vehicle that asked for a normal stop withdrew its permission: say so.
void Session::StopOnFrames(unsigned number) {
    if (s_.EvStatus() & kEvNormalStop) {
        s_.NoPermissionLine(number, false);
        s_.D1(0);
        p_.log.writeSysLog();
    }
    s_.D1(0);
}

Path Session::AwaitVehicleFrames() {
    auto& m = p_.map;
    const std::int64_t step = Now();
    for (;;) {
        if (p_.signals.GetOptoJ() == 0 || (s_.EvStatus() & kEvChargingEnabled)) earlyPermission_ = true;
        if (m.get(StartRecv) == 7) break;
        if (StartStopCondition()) {
            StopOnFrames(2782);
            OrByteAtomic(m, ChargerFlag, kStopping);
            return Path::None;
        }
        if (Now() - step >= kFrameWaitMs) break;
        Sleep(kWaitPauseMs);
    }
    const bool allFrames = m.get(StartRecv) == 7;
    if (!allFrames || StartStopCondition()) {
        OrByteAtomic(m, ChargerFlag, kStopping);
        if (!allFrames) {
            SetBitsAtomic(m, ALARM_CHADEMO_COMM, true);
            SetBitsAtomic(m, CHADEMO_ALARM_NO_FRAMES, true);
            s_.LogCode(12, 2805);
        }
        StopOnFrames(2811);
        s_.ClearRemainingTime();
        return Path::None;
    }
    return m.get(EV102_PROTOCOL) <= 1 ? Path::V09 : Path::V1x;
}

Path Session::Run() {
    Startup();
    Path path = Path::None;
    if (!StartCanIo()) {
        // Without its CAN I/O the session cannot talk to a vehicle.
        SetBitsAtomic(p_.map, ALARM_CHADEMO_COMM, true);
        s_.D1(0);
        FinalEnd();
        return path;
    }
    PlugIn();
    path = AwaitVehicleFrames();
    if (path == Path::V09) RunV09();
    else if (path == Path::V1x) RunV1x();
    else FinalEnd();
    return path;
}

// ---------------------------------------------------------------- shared

void Session::VoltageSetPoint(const char* path, unsigned lowNumber, unsigned highNumber) {
    int target = p_.map.get(EV102_TARGET_VOLTAGE) * 10;
    if (target <= 499) {
        common::RecordSysLogf("[Corvane][%s][%d] Voltage command(%dV) reaches lower limit(%dV)", path, lowNumber,
                              target / 10, 50);
        target = 500;
    } else if (target > 5000) {
        common::RecordSysLogf("[Corvane][%s][%d] Voltage command(%dV) reaches higher limit(%dV)", path, highNumber,
                              target / 10, 500);
        target = 5000;
    }
    p_.map.set(SHRMEM_SET_V1, static_cast<std::uint16_t>(target));
}

void Session::KillChildren() {
    for (pid_t* pid : {&framesPid_, &timePid_}) {
        if (*pid > 0) platform::EndChild(*pid);
        *pid = 0;
    }
}

void Session::AwaitCurrentFall() {
    const std::int64_t step = Now();
    while (p_.map.get(SHRMEM_GET_I1) > 59 && Now() - step < kCurrentFallWaitMs) {
        if (Now() - step > 400) s_.Status(kCpEnergising, false);
        Sleep(kWaitPauseMs);
    }
}

// ---------------------------------------------------------------- protocol 0.9

bool Session::Stop09() {
    std::uint32_t flags = 0;
    return ChargerMalfun(p_.map, flags) || s_.EvFaults() != 0 || (s_.EvStatus() & (kEvShiftPosition | kEvFault)) ||
           p_.map.get(SHRMEM_STOP_CHARGING) != 0 || p_.map.get(SHRMEM_STOP_BUTTON) >= 2;
}

void Session::Stop09End() {
    if (p_.map.get(SHRMEM_STOP_BUTTON) & 0x08) s_.Status(kCpMalfunction);
    s_.Status(kCpStopped);
    s_.ZeroVoltage();
    End09();
}

void Session::RunV09() {
    auto& m = p_.map;
    if (!StartComputations()) {
        s_.D1(0);
        return End09();
    }
    // The station may hold the start; it never holds it for ever.
    bool permissionTimeout = false;
    for (int hold = 0; m.get(SHRMEM_CHADEMO_ENABLE) != 0; Sleep(10)) {
        if (m.get(SHRMEM_STOP_CHARGING) != 0 || ++hold > 2000) break;
        if (Now() - sessionStamp_ >= kPermissionWaitMs09 && !(s_.EvStatus() & kEvChargingEnabled)) {
            permissionTimeout = true;
            break;
        }
    }
    std::uint32_t flags = 0;
    int state = 0;
    if (!permissionTimeout) {
        for (;; Sleep(kWaitPauseMs)) {
            if (p_.signals.GetOptoJ() == 0) state |= 1;
            if (s_.EvStatus() & kEvChargingEnabled) state |= 2;
            if (state == 3) break;
            if (m.get(SHRMEM_STOP_BUTTON) >= 2 || ChargerMalfun(m, flags) || m.get(SHRMEM_STOP_CHARGING) != 0) {
                s_.D1(0);
                s_.ClearRemainingTime();
                return End09();
            }
            if (Now() - sessionStamp_ >= kPermissionWaitMs09) break;
        }
    }
    if (state != 3 || m.get(SHRMEM_STOP_BUTTON) >= 2 || ChargerMalfun(m, flags) || m.get(SHRMEM_STOP_CHARGING) != 0) {
        if (state != 3) {
            s_.Status(kCpSystemMalfunction);
            SetBitsAtomic(m, CHADEMO_ALARM_NO_PERMISSION_IN_TIME, true);
            p_.log.systemLogHandle(14, 2909);
        } else {
            s_.Status(kCpStopped);
        }
        Sleep(90);
        s_.D1(0);
        p_.log.writeSysLog();
        return End09();
    }

    std::int64_t step = Now();
    if (CH_SUB_03(s_) == 0) {
        return CH_SUB_10(s_) == 2 ? RampDown09() : End09();
    }
    auto permissionLost = [&](unsigned number) {
        s_.NoPermissionLine(number, false);
        s_.Status(kCpStopped);
        s_.ZeroVoltage();
        p_.log.writeSysLog();
        End09();
    };
    // The output discharges after the test before the vehicle closes its contactor.
    for (; m.get(SHRMEM_GET_V1) > 209; Sleep(kWaitPauseMs)) {
        if (Stop09()) return Stop09End();
        if (s_.NoPermission()) return permissionLost(2962);
        if (Now() - step > kDischargeWaitMs) {
            s_.Status(kCpStopped);
            s_.ZeroVoltage();
            SetBitsAtomic(m, CHADEMO_ALARM_VOLTAGE_AFTER_TEST, true);
            s_.LogCode(20, 2983);
            return End09();
        }
    }
    if (Stop09()) return Stop09End();
    if (s_.NoPermission()) return permissionLost(3003);

    s_.D2(1);
    step = Now();
    if (m.get(SHRMEM_CHADEMO_OVP_DISABLE) == 0) {
        for (; m.get(SHRMEM_GET_V1) <= 499; Sleep(kWaitPauseMs)) {
            if (Stop09()) return Stop09End();
            if (s_.NoPermission()) return permissionLost(3052);
            if (Now() - step >= kContactorWaitMs09) {
                SetBitsAtomic(m, CHADEMO_ALARM_CONTACTOR_NOT_CLOSED, true);
                p_.log.systemLogHandle(15, 3072);
                s_.Status(kCpSystemMalfunction);
                Sleep(90);
                s_.D1(0);
                s_.D2(0);
                p_.log.writeSysLog();
                return End09();
            }
        }
    }
    for (; m.get(EV102_CURRENT_REQUEST) == 0; Sleep(kWaitPauseMs)) {
        if (Stop09()) return Stop09End();
        if (s_.NoPermission()) return permissionLost(3127);
        if (Now() - step >= kCurrentRequestWaitMs09) {
            SetBitsAtomic(m, CHADEMO_ALARM_NO_CURRENT_REQUEST, true);
            p_.log.systemLogHandle(16, 3147);
            s_.Status(kCpSystemMalfunction);
            s_.ZeroVoltage();
            Sleep(90);
            s_.D1(0);
            s_.D2(0);
            p_.log.writeSysLog();
            return End09();
        }
    }
    VoltageSetPoint("v0.9", 3179, 3200);
    const int current = (m.get(EV102_CURRENT_REQUEST) + 1) * 10;
    s_.CurrentSetPoint(current);
    KillChildren();
    s_.CurrentSetPoint(current);
    CH_SUB_04(s_);
    OrByteAtomic(m, ChargerFlag, kLoopEnded);
    RampDown09();
}

void Session::RampDown09() {
    auto& m = p_.map;
    s_.ZeroSetPoints();
    OrByteAtomic(m, ChargerFlag, kOutputOff);
    std::int64_t step = Now();
    for (; m.get(SHRMEM_CHADEMO_LOW_CURRENT) == 0; Sleep(kWaitPauseMs)) {
        if (Now() - step > 5000) {
            common::RecordSysLogf("[Corvane][%d]main:SHRMEM_GET_I1=%d > 5 ", 3288, m.get(SHRMEM_GET_I1) / 10);
            break;
        }
    }
    const std::int64_t rampStamp = Now();
    if (p_.log.Pending()) p_.log.writeSysLog();
    if (m.get(SHRMEM_STOP_CHARGING) == 255) Sleep(250);
    SetBitsAtomic(m, Bits{ChargerFlag.offset, kFollowRequest}, false);
    s_.Status(kCpStopped);
    s_.ClearRemainingTime();
    step = Now();
    // A vehicle that keeps its permission after the current fell: the AC
    // input is opened once, and the wait ends after a bound.
    bool lineWritten = false, inputOpened = false;
    for (; p_.signals.GetOptoJ() == 0 && Now() - step < kPermissionReleaseWaitMs; Sleep(kWaitPauseMs)) {
        if (Now() - step > 2000) {
            if (!lineWritten)
                common::RecordSysLogf("[Corvane][%d]main:SHRMEM_GET_I1=%d > 5 ", 3338, m.get(SHRMEM_GET_I1) / 10);
            lineWritten = true;
            s_.Status(kCpEnergising, false);
        }
        if (Now() - step > 5000 && !inputOpened) {
            common::SwitchSS(m, 0);
            inputOpened = true;
        }
    }
    if (!s_.StatusHas(kCpMalfunction)) Sleep(1000);
    SetBitsAtomic(m, Bits{ChargerFlag.offset, kOutputOff}, false);
    s_.Status(kCpEnergising, false);
    if (s_.StatusHas(kCpMalfunction)) {
        s_.D2(0);
        Sleep(500);
        s_.D1(0);
    } else {
        while (Now() - rampStamp <= 3900) Sleep(10);
        s_.D1(0);
        s_.D2(0);
    }
    End09();
}

void Session::End09() {
    auto& m = p_.map;
    // The output must be dead before the connector is unlocked: the end
    // repeats until it is.
    for (;;) {
        s_.D1(0);
        s_.D2(0);
        KillChildren();
        SetBitsAtomic(m, Bits{ChargerFlag.offset, kFollowRequest}, false);
        s_.ClearRemainingTime();
        s_.ZeroVoltage();
        const std::int64_t step = Now();
        while (m.get(SHRMEM_GET_V1) > 109 && Now() - step <= 10999) Sleep(kWaitPauseMs);
        if (m.get(SHRMEM_GET_V1) <= 109) break;
        if (!m.get(CHADEMO_ALARM_NOT_DISCHARGED)) {
            SetBitsAtomic(m, CHADEMO_ALARM_NOT_DISCHARGED, true);
            s_.LogCode(22, 3453);
        }
        s_.Status(kCpSystemMalfunction);
        Sleep(90);
    }
    OrByteAtomic(m, ChargerFlag, kStopping);
    s_.Status(kCpLocked, false);
    Unlock();
    OrByteAtomic(m, ChargerFlag, kStopping | kSessionEnded);
    const std::int64_t step = Now();
    while (!(m.get(ChargerFlag) & kFramesLost) && Now() - step <= 5999) Sleep(kWaitPauseMs);
    if (m.get(ChargerFlag) & kFramesLost) {
        m.set(SHRMEM_CHADEMO_CAN_AFTER_END, 0);
    } else {
        m.set(SHRMEM_CHADEMO_CAN_AFTER_END, 1);
        s_.Status(kCpSystemMalfunction);
        Sleep(200);
    }
    SetCHAdeMORelay(m, 0);
    SetCCSRelay(m, 0);
    while (m.get(SHRMEM_CHADEMO_HOLD) == 1) Sleep(1000);
    FinalEnd();
}

// ---------------------------------------------------------------- protocol 1.x

bool Session::HoldStop1x() {
    std::uint32_t flags = 0;
    return V2_ChargerMalfun(p_.map, flags) || (p_.map.get(SHRMEM_STOP_BUTTON) & 0x0A) ||
           p_.map.get(SHRMEM_STOP_CHARGING) != 0 || s_.EvFaults() != 0 || (s_.EvStatus() & kEvStopBits) ||
           s_.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction);
}

bool Session::VehicleStop() {
    return s_.EvFaults() != 0 || (s_.EvStatus() & kEvStopBits) || !(s_.EvStatus() & kEvChargingEnabled);
}

bool Session::VehicleStopIsNoPermission() {
    return !(s_.EvStatus() & kEvChargingEnabled) || (s_.EvStatus() & kEvNormalStop);
}

bool Session::StationStop() {
    std::uint32_t flags = 0;
    return V2_ChargerMalfun(p_.map, flags) || p_.map.get(SHRMEM_STOP_CHARGING) != 0 ||
           p_.map.get(SHRMEM_STOP_BUTTON) >= 2;
}

void Session::RunV1x() {
    auto& m = p_.map;
    auto earlyPermission = [&](unsigned number) {
        s_.D1(0);
        SetBitsAtomic(m, ALARM_CHADEMO_COMM, true);
        SetBitsAtomic(m, CHADEMO_ALARM_EARLY_PERMISSION, true);
        s_.Status(kCpSystemMalfunction);
        s_.LogCode(27, number);
        VehicleReleaseEnd();
    };
    if (earlyPermission_) return earlyPermission(3569);
    if (!StartComputations()) {
        s_.D1(0);
        return VehicleReleaseEnd();
    }
    bool permissionTimeout = false, seen = false, dropped = false, enabledWithout = false;
    for (int hold = 0; m.get(SHRMEM_CHADEMO_ENABLE) != 0; Sleep(10)) {
        if (m.get(SHRMEM_STOP_CHARGING) != 0 || ++hold > 2000) break;
        if (HoldStop1x() || m.get(SHRMEM_GET_V1) / 10 > 10) break;
        const bool j = p_.signals.GetOptoJ() == 0;
        if (!seen && j) seen = true;
        else if (seen && !j) {
            dropped = true;
            break;
        }
        if ((s_.EvStatus() & kEvChargingEnabled) && !j) {
            enabledWithout = true;
            break;
        }
        if (Now() - sessionStamp_ >= kPermissionWaitMs1x && !(s_.EvStatus() & kEvChargingEnabled)) {
            permissionTimeout = true;
            break;
        }
    }
    int state = 0;
    if (!permissionTimeout && !enabledWithout) {
        for (;; Sleep(kWaitPauseMs)) {
            if (HoldStop1x() || dropped) {
                if ((s_.EvStatus() & kEvNormalStop) || dropped) s_.NoPermissionLine(3647, false);
                s_.Status(kCpStopped);
                s_.D1(0);
                KillChildren();
                s_.ClearRemainingTime();
                OrByteAtomic(m, ChargerFlag, kStopping);
                p_.log.writeSysLog();
                if (s_.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) return FinalEnd();
                return VehicleReleaseEnd();
            }
            if ((state & 1) && p_.signals.GetOptoJ() == 1) {
                dropped = true;
                continue;
            }
            if (p_.signals.GetOptoJ() == 0) state |= 1;
            if (s_.EvStatus() & kEvChargingEnabled) {
                state |= 2;
                if (p_.signals.GetOptoJ() == 1) {
                    enabledWithout = true;
                    break;
                }
            }
            if (state == 3 || Now() - sessionStamp_ >= kPermissionWaitMs1x) break;
        }
    }
    if (enabledWithout) return earlyPermission(3721);
    std::uint32_t flags = 0;
    const bool malfunction = V2_ChargerMalfun(m, flags);
    if (state != 3 || (m.get(SHRMEM_STOP_BUTTON) & 0x02) || malfunction || m.get(SHRMEM_STOP_CHARGING) != 0 ||
        s_.EvFaults() != 0 || (s_.EvStatus() & kEvStopBits) ||
        s_.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) {
        if (s_.EvStatus() & kEvNormalStop) s_.NoPermissionLine(3733);
        if (state != 3) {
            if (!malfunction) s_.Status(kCpSystemMalfunction);
            SetBitsAtomic(m, CHADEMO_ALARM_NO_PERMISSION_IN_TIME, true);
            s_.LogCode(14, 3746);
        } else {
            s_.Status(kCpStopped);
        }
        s_.D1(0);
        KillChildren();
        s_.ClearRemainingTime();
        return VehicleReleaseEnd();
    }

    std::int64_t step = Now();
    if (V2_CH_SUB_03(s_) == 0) {
        s_.D1(0);
        switch (V2_CH_SUB_10(s_)) {
        case 1: return FinalEnd();
        case 2: return VehicleReleaseEnd();
        case 3: return VoltageDecayEnd();
        case 5: return SignalOffEnd();
        default: return ContactorOpenEnd();
        }
    }
    for (; m.get(SHRMEM_GET_V1) > 209; Sleep(kWaitPauseMs)) {
        if (VehicleStop() || (m.get(SHRMEM_STOP_BUTTON) & 0x0A) || m.get(SHRMEM_STOP_CHARGING) != 0) {
            if (VehicleStop() && VehicleStopIsNoPermission()) s_.NoPermissionLine(3818);
            s_.D1(0);
            s_.Status(kCpStopped);
            s_.ZeroVoltage();
            return VoltageDecayEnd();
        }
        if (s_.NoPermission()) {
            s_.D1(0);
            s_.NoPermissionLine(3838);
            s_.Status(kCpStopped);
            s_.ZeroVoltage();
            return VoltageDecayEnd();
        }
        if (s_.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) {
            s_.D1(0);
            s_.Status(kCpStopped);
            s_.ZeroVoltage();
            return VoltageDecayEnd();
        }
        if (Now() - step > kDischargeWaitMs) {
            s_.Status(kCpStopped);
            s_.ZeroVoltage();
            SetBitsAtomic(m, CHADEMO_ALARM_VOLTAGE_AFTER_TEST, true);
            p_.log.systemLogHandle(20, 3876);
            s_.D1(0);
            p_.log.writeSysLog();
            return VoltageDecayEnd();
        }
    }
    std::printf("Vout=%d\n", s_.PresentVolts());
    std::fflush(stdout);
    Sleep(500);
    s_.D2(1);

    if (m.get(SHRMEM_CHADEMO_OVP_DISABLE) == 0) {
        const std::int64_t contactorStamp = Now();
        bool closing = false;
        for (;; Sleep(kWaitPauseMs)) {
            const bool open = s_.EvStatus() & kEvContactorOpen;
            if (!open && !closing) {
                closing = true;
                step = Now();
            }
            if (m.get(SHRMEM_GET_V1) > 499 && !open) break;
            if (StationStop()) {
                if (m.get(SHRMEM_STOP_BUTTON) & 0x08) {
                    s_.Status(kCpMalfunction);
                    Sleep(90);
                    s_.D1(0);
                    s_.D2(0);
                    Sleep(200);
                }
                s_.Status(kCpStopped);
                s_.ZeroVoltage();
                s_.D2(0);
                s_.D1(0);
                OrByteAtomic(m, ChargerFlag, kStopping);
                s_.Status(kCpLocked, false);
                KillChildren();
                s_.ClearRemainingTime();
                return SignalOffEnd();
            }
            if (s_.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) {
                s_.D2(0);
                s_.Status(kCpStopped);
                KillChildren();
                s_.ZeroVoltage();
                OrByteAtomic(m, ChargerFlag, kStopping);
                s_.Status(kCpLocked, false);
                return VoltageDecayEnd();
            }
            if (VehicleStop()) {
                if (VehicleStopIsNoPermission()) s_.NoPermissionLine(4031, false);
                s_.Status(kCpStopped);
                s_.D2(0);
                s_.ZeroVoltage();
                s_.D1(0);
                p_.log.writeSysLog();
                KillChildren();
                return ContactorOpenEnd();
            }
            if (s_.NoPermission()) {
                s_.NoPermissionLine(4074, false);
                s_.D2(0);
                s_.D1(0);
                s_.Status(kCpStopped);
                Sleep(200);
                OrByteAtomic(m, ChargerFlag, kStopping);
                s_.Status(kCpLocked, false);
                KillChildren();
                s_.ZeroVoltage();
                p_.log.writeSysLog();
                return ContactorOpenEnd();
            }
            if (Now() - contactorStamp > kContactorWaitMs1x) {
                SetBitsAtomic(m, CHADEMO_ALARM_CONTACTOR_NOT_CLOSED, true);
                p_.log.systemLogHandle(15, 4153);
                s_.Status(kCpSystemMalfunction);
                Sleep(90);
                s_.D1(0);
                s_.D2(0);
                p_.log.writeSysLog();
                return VoltageDecayEnd();
            }
        }
    }
    m.set(SHRMEM_SET_I1, 10);
    VoltageSetPoint("v1.2", 4187, 4208);
    m.set(SHRMEM_SET_PENDING, 255);

    for (;; Sleep(kWaitPauseMs)) {
        if (m.get(EV102_CURRENT_REQUEST) != 0) break;
        if (StationStop()) {
            if (m.get(SHRMEM_STOP_BUTTON) & 0x08) {
                s_.D1(0);
                s_.ZeroVoltage();
                Sleep(200);
                s_.D2(0);
            } else if (m.get(SHRMEM_STOP_BUTTON) & 0x02) {
                s_.D2(0);
                s_.ZeroVoltage();
                Sleep(200);
                s_.D1(0);
            }
            KillChildren();
            s_.Status(kCpStopped);
            s_.ZeroVoltage();
            s_.D2(0);
            s_.D1(0);
            return SignalOffEnd();
        }
        if (s_.StatusHas(kCpBatteryIncompatible | kCpSystemMalfunction)) {
            s_.D1(0);
            s_.ZeroVoltage();
            s_.D2(0);
            s_.Status(kCpStopped);
            KillChildren();
            return VoltageDecayEnd();
        }
        if (VehicleStop()) {
            if (VehicleStopIsNoPermission()) s_.NoPermissionLine(4363, false);
            s_.Status(kCpStopped);
            s_.D2(0);
            s_.ZeroVoltage();
            Sleep(500);
            s_.D1(0);
            p_.log.writeSysLog();
            KillChildren();
            return ContactorOpenEnd();
        }
        if (s_.NoPermission()) {
            s_.NoPermissionLine(4425, false);
            s_.Status(kCpStopped);
            s_.D2(0);
            KillChildren();
            s_.ZeroVoltage();
            p_.log.writeSysLog();
            return ContactorOpenEnd();
        }
        if (Now() - step > kCurrentRequestWaitMs1x) {
            SetBitsAtomic(m, CHADEMO_ALARM_NO_CURRENT_REQUEST, true);
            p_.log.systemLogHandle(16, 4478);
            s_.Status(kCpSystemMalfunction);
            Sleep(90);
            s_.D1(0);
            s_.D2(0);
            s_.ZeroSetPoints();
            Sleep(200);
            KillChildren();
            p_.log.writeSysLog();
            return VoltageDecayEnd();
        }
    }
    const int current = (m.get(EV102_CURRENT_REQUEST) + 1) * 10;
    s_.CurrentSetPoint(current);
    KillChildren();
    s_.CurrentSetPoint(current);
    s_.Status(kCpEnergising);
    s_.Status(kCpStopped, false);
    const int result = V2_CH_SUB_04(s_);
    auto loopEnded = [&] {
        OrByteAtomic(m, ChargerFlag, kLoopEnded);
        SetBitsAtomic(m, Bits{ChargerFlag.offset, kFollowRequest}, false);
        s_.Status(kCpStopped);
        s_.ZeroSetPoints();
    };
    if (result == 1 || result == 3) {
        loopEnded();
        step = Now();
        // A silent vehicle will not withdraw its permission: its frames lost
        // end the wait, and the contactor-open end lets it go at once.
        auto lost = [&] { return (m.get(ChargerFlag) & kFramesLost) != 0; };
        while (p_.signals.GetOptoJ() == 0 && !lost() && Now() - step <= 4000) Sleep(kWaitPauseMs);
        if (p_.signals.GetOptoJ() == 1 || lost()) return ContactorOpenEnd();
        SetBitsAtomic(m, CHADEMO_ALARM_PERMISSION_KEPT, true);
        p_.log.systemLogHandle(24, 4583);
        s_.Status(kCpSystemMalfunction);
        AwaitCurrentFall();
        s_.Status(kCpEnergising, false);
        s_.D1(0);
        s_.D2(0);
        p_.log.writeSysLog();
        return VoltageDecayEnd();
    }
    if (result == 2 || result == 4) {
        loopEnded();
        if (result == 2) return ContactorOpenEnd();
        AwaitCurrentFall();
        s_.Status(kCpEnergising, false);
        s_.D1(0);
        s_.D2(0);
        return VoltageDecayEnd();
    }
    ContactorOpenEnd();
}

void Session::ContactorOpenEnd() {
    auto& m = p_.map;
    std::int64_t step = Now();
    while (m.get(SHRMEM_GET_I1) > 59) {
        if (Now() - step > 400) {
            s_.Status(kCpEnergising, false);
            s_.ClearRemainingTime();
            break;
        }
        Sleep(kWaitPauseMs);
    }
    s_.Status(kCpEnergising, false);
    s_.ClearRemainingTime();
    step = Now();
    // A vehicle that fell silent says nothing more about its contactor: its
    // signals go off at once instead of after the wait.
    auto silent = [&] { return (m.get(ChargerFlag) & kFramesLost) != 0; };
    while (!(s_.EvStatus() & kEvContactorOpen) && !silent() && Now() - step <= 10000) Sleep(kWaitPauseMs);
    if (silent()) {
        s_.D1(0);
        s_.D2(0);
    } else if (!(s_.EvStatus() & kEvContactorOpen)) {
        s_.Status(kCpSystemMalfunction);
        s_.D1(0);
        s_.D2(0);
        SetBitsAtomic(m, CHADEMO_ALARM_CONTACTOR_NOT_OPEN, true);
        s_.LogCode(25, 4678);
    }
    s_.D2(0);
    s_.ClearRemainingTime();
    Sleep(350);
    SignalOffEnd();
}

// The connector is never released on a live output, on either path: the
// unlock waits, however long, for the output to fall to 10 V. An output that
// stays up is a fault of its own (code 22, once).
void Session::Unlock() {
    auto& m = p_.map;
    const std::int64_t step = Now();
    for (; m.get(SHRMEM_GET_V1) > kUnlockVoltage; Sleep(kWaitPauseMs)) {
        if (Now() - step > 3999 && !m.get(CHADEMO_ALARM_NOT_DISCHARGED)) {
            s_.Status(kCpSystemMalfunction);
            SetBitsAtomic(m, CHADEMO_ALARM_NOT_DISCHARGED, true);
            s_.LogCode(22, 4728);
        }
    }
    p_.signals.ConnectorLock(0);
}

void Session::SignalOffEnd() {
    Sleep(100);
    s_.D1(0);
    Sleep(100);
    KillChildren();
    s_.ClearRemainingTime();
    VoltageDecayEnd();
}

void Session::VoltageDecayEnd() {
    auto& m = p_.map;
    const std::int64_t step = Now();
    for (; m.get(SHRMEM_GET_V1) > 109; Sleep(kWaitPauseMs)) {
        if (Now() - step > 3999) {
            s_.Status(kCpSystemMalfunction);
            if (!m.get(CHADEMO_ALARM_NOT_DISCHARGED)) {
                SetBitsAtomic(m, CHADEMO_ALARM_NOT_DISCHARGED, true);
                s_.LogCode(22, 4728);
            }
        }
    }
    Unlock();
    OrByteAtomic(m, ChargerFlag, kStopping);
    s_.Status(kCpLocked, false);
    OrByteAtomic(m, ChargerFlag, kSessionEnded);
    KillChildren();
    s_.ClearRemainingTime();
    VehicleReleaseEnd();
}

void Session::VehicleReleaseEnd() {
    auto& m = p_.map;
    OrByteAtomic(m, ChargerFlag, kStopping);
    // The vehicle releases the session by ending its frames.
    const std::int64_t step = Now();
    while (!(m.get(ChargerFlag) & kFramesLost) && Now() - step <= 2499) Sleep(kWaitPauseMs);
    if (m.get(ChargerFlag) & kFramesLost) {
        m.set(SHRMEM_CHADEMO_CAN_AFTER_END, 0);
    } else {
        m.set(SHRMEM_CHADEMO_CAN_AFTER_END, 1);
        s_.Status(kCpLocked, false);
        s_.Status(kCpSystemMalfunction);
    }
    KillChildren();
    s_.ClearRemainingTime();
    Sleep(200);
    while (m.get(SHRMEM_CHADEMO_HOLD) == 1) Sleep(1000);
    FinalEnd();
}

// ---------------------------------------------------------------- final end

void Session::DrainCan() {
    int empty = 0;
    platform::CanFrame f{};
    for (;;) {
        if (p_.bus.Read(f)) {
            empty = 0;
        } else if (++empty > 10) {
            return;
        }
        Sleep(10);
    }
}

bool Session::NoCanFrames() {
    DrainCan();
    Sleep(kSilenceDrainMs);
    s_.D1(1);
    const std::int64_t start = Now();
    bool silent = true;
    platform::CanFrame f{};
    while (Now() - start < kSilenceWindowMs) {
        if (p_.bus.Read(f)) {
            silent = false;
            break;
        }
        Sleep(100);
    }
    s_.D1(0);
    return silent;
}

void Session::PlugOut() {
    const std::int64_t start = Now();
    while (p_.map.get(StartRecv) == 7 && !(p_.map.get(ChargerFlag) & kFramesLost) &&
           Now() - start < kFramesStopWaitMs)
        Sleep(100);
    if (canIoPid_ > 0) platform::EndChild(canIoPid_);
    canIoPid_ = 0;
    if (p_.signals.SettledProximity() == 1) {
        while (p_.signals.SettledProximity() != 0) Sleep(100);
    } else {
        while (!NoCanFrames()) {
        }
    }
    p_.map.set(SHRMEM_CHADEMO_PLUGGED, 0);
}

void Session::FinalEnd() {
    auto& m = p_.map;
    OrByteAtomic(m, ChargerFlag, kStopping);
    KillChildren();
    s_.ClearRemainingTime();
    Unlock();
    // What an earlier session left goes; what the relays answer now stays
    // for the alarm manager to report.
    SetBitsAtomic(m, Bits{323, 0xC0}, false);
    SetBitsAtomic(m, Bits{324, 0x0C}, false);
    SetCHAdeMORelay(m, 0);
    SetCCSRelay(m, 0);
    PlugOut();
    m.set(SHRMEM_SET_V1, 0);
    m.set(SHRMEM_SET_I1, 1250);
    m.set(SHRMEM_SET_PENDING, 255);
    SetBitsAtomic(m, Bits{316, 0x8A}, false);
    for (Bytes b : {EV100, EV101, EV102, CP108, CP109}) Zero(m, b);
    for (const char* args : {"down", "type can bitrate 500000 restart-ms 100", "up", "down"}) SetCan1(p_.runner, args);
}

}  // namespace chademo
