#include "session.h"

#include <cstring>

#include "children.h"
#include "clock.h"
#include "regmap_chademo.h"
#include "regmap_fields.h"

namespace chademo {

using namespace regmap;

namespace {
constexpr Bits ALARM_NO_PERMISSION{340, 0x20};
constexpr Bits CHADEMO_ALARM_NO_FRAMES{21518, 0x01};
constexpr Bytes pChaDeMoAlarm{21517, 4};
constexpr U8 SHRMEM_CHADEMO_PLUGGED{21521};
constexpr U8 CP109_REMAINING_10S{2087}, CP109_REMAINING_MIN{2088};
constexpr std::uint8_t kEvChargingEnabled = 0x01, kEvNormalStop = 0x10, kEvStopBits = 0x16;

void Zero(RegisterMap& map, Bytes b) { std::memset(map.bytes(b), 0, b.size); }
std::int64_t Now() { return platform::GetClock().MonotonicMs(); }
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

void Session::StatusBit(std::uint8_t bit, bool on) { SetBitsAtomic(p_.map, Bits{CP109_STATUS.offset, bit}, on); }

void Session::ClearRemainingTime() {
    p_.map.set(CP109_REMAINING_10S, 0);
    p_.map.set(CP109_REMAINING_MIN, 0);
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
    canIoPid_ = 0;
    StatusBit(kCpStopped, true);
    ClearRemainingTime();
    p_.signals.SwitchD1D2(1, 1);
}

bool Session::StartCanIo() {
    const pid_t pid = p_.startCanIo ? p_.startCanIo() : -1;
    if (pid <= 0) return false;
    canIoPid_ = pid;
    return true;
}

void Session::PlugIn() {
    while (p_.map.get(StartRecv) != 7 && !p_.signals.Proximity()) platform::GetClock().SleepMs(1);
    p_.map.set(SHRMEM_CHADEMO_PLUGGED, 1);
    sessionStamp_ = Now();
}

bool Session::StartStopCondition() {
    const auto& m = p_.map;
    return m.get(SHRMEM_STOP_BUTTON) >= 2 || m.get(SHRMEM_STOP_CHARGING) != 0 || m.get(EV102_FAULTS) != 0 ||
           (m.get(EV102_STATUS) & kEvStopBits) != 0;
}

// A vehicle that asked for a normal stop withdrew its permission: say so.
void Session::StopOnFrames(unsigned number) {
    if (p_.map.get(EV102_STATUS) & kEvNormalStop) {
        SetBitsAtomic(p_.map, ALARM_NO_PERMISSION, true);
        p_.log.systemLogHandle(0, number);
        p_.signals.SwitchD1D2(1, 0);
        p_.log.writeSysLog();
    }
    p_.signals.SwitchD1D2(1, 0);
}

Path Session::AwaitVehicleFrames() {
    auto& m = p_.map;
    auto& clock = platform::GetClock();
    const std::int64_t step = Now();
    for (;;) {
        if (p_.signals.GetOptoJ() == 0 || (m.get(EV102_STATUS) & kEvChargingEnabled)) earlyPermission_ = true;
        if (m.get(StartRecv) == 7) break;
        if (StartStopCondition()) {
            StopOnFrames(2782);
            OrByteAtomic(m, ChargerFlag, kStopping);
            return Path::None;
        }
        if (Now() - step > kFrameWaitMs - 1) break;
        clock.SleepMs(1);
    }
    const bool allFrames = m.get(StartRecv) == 7;
    if (!allFrames || StartStopCondition()) {
        OrByteAtomic(m, ChargerFlag, kStopping);
        if (!allFrames) {
            SetBitsAtomic(m, ALARM_CHADEMO_COMM, true);
            SetBitsAtomic(m, CHADEMO_ALARM_NO_FRAMES, true);
            p_.log.systemLogHandle(12, 2805);
            p_.log.writeSysLog();
        }
        StopOnFrames(2811);
        ClearRemainingTime();
        return Path::None;
    }
    return m.get(EV102_PROTOCOL) <= 1 ? Path::V09 : Path::V1x;
}

Path Session::Run() {
    Startup();
    Path path = Path::None;
    if (StartCanIo()) {
        PlugIn();
        path = AwaitVehicleFrames();
    } else {
        // Without its CAN I/O the session cannot talk to a vehicle.
        SetBitsAtomic(p_.map, ALARM_CHADEMO_COMM, true);
        p_.signals.SwitchD1D2(1, 0);
    }
    FinalEnd();
    return path;
}

void Session::KillChildren() {
    if (canIoPid_ > 0) platform::EndChild(canIoPid_);
    canIoPid_ = 0;
}

void Session::DrainCan() {
    int empty = 0;
    platform::CanFrame f{};
    for (;;) {
        if (p_.bus.Read(f)) {
            empty = 0;
        } else if (++empty > 10) {
            return;
        }
        platform::GetClock().SleepMs(10);
    }
}

bool Session::NoCanFrames() {
    auto& clock = platform::GetClock();
    DrainCan();
    clock.SleepMs(kSilenceDrainMs);
    p_.signals.SwitchD1D2(1, 1);
    const std::int64_t start = Now();
    bool silent = true;
    platform::CanFrame f{};
    while (Now() - start < kSilenceWindowMs) {
        if (p_.bus.Read(f)) {
            silent = false;
            break;
        }
        clock.SleepMs(100);
    }
    p_.signals.SwitchD1D2(1, 0);
    return silent;
}

void Session::PlugOut() {
    auto& clock = platform::GetClock();
    const std::int64_t start = Now();
    while (p_.map.get(StartRecv) == 7 && !(p_.map.get(ChargerFlag) & kFramesLost) &&
           Now() - start < kFramesStopWaitMs)
        clock.SleepMs(100);
    KillChildren();
    if (p_.signals.SettledProximity() == 1) {
        while (p_.signals.SettledProximity() != 0) clock.SleepMs(100);
    } else {
        while (!NoCanFrames()) {
        }
    }
    p_.map.set(SHRMEM_CHADEMO_PLUGGED, 0);
}

void Session::FinalEnd() {
    auto& m = p_.map;
    OrByteAtomic(m, ChargerFlag, kStopping);
    ClearRemainingTime();
    p_.signals.ConnectorLock(0);
    SetBitsAtomic(m, Bits{323, 0xC0}, false);
    SetBitsAtomic(m, Bits{324, 0x0C}, false);
    PlugOut();
    m.set(SHRMEM_SET_V1, 0);
    m.set(SHRMEM_SET_I1, 1250);
    m.set(SHRMEM_SET_PENDING, 255);
    SetBitsAtomic(m, Bits{316, 0x8A}, false);
    for (Bytes b : {EV100, EV101, EV102, CP108, CP109}) Zero(m, b);
    for (const char* args : {"down", "type can bitrate 500000 restart-ms 100", "up", "down"}) SetCan1(p_.runner, args);
}

}  // namespace chademo
