#include "signals.h"

#include "clock.h"
#include "gpio.h"

namespace chademo {

namespace {
char ReadLine(int line, char absent) { return platform::GetGpio().ReadChar(line).value_or(absent); }
// A line reads low, or high, only when its value says so: a value that
// cannot be read, or is neither "0" nor "1", is neither.
bool ReadsLow(int line) { return ReadLine(line, '?') == '0'; }
}  // namespace

bool VehicleSignals::Setup() {
    auto& g = platform::GetGpio();
    bool ok = true;
    for (int line : {kGpioD1, kGpioD2, kGpioLock}) ok = g.Export(line) && g.SetDirection(line, "out") && ok;
    for (int line : {kGpioJ, kGpioProximity, kGpioLockDetect}) ok = g.Export(line) && g.SetDirection(line, "in") && ok;
    return ok;
}

int VehicleSignals::SwitchD1D2(int signal, int value) {
    if (signal != 1 && signal != 2) return 0;
    platform::GetGpio().Write(signal == 1 ? kGpioD1 : kGpioD2, value);
    return 1;
}

int VehicleSignals::GetD1D2(int signal) {
    if (signal != 1 && signal != 2) return 0;
    return ReadLine(signal == 1 ? kGpioD1 : kGpioD2, '0') == '1' ? 1 : 0;
}

int VehicleSignals::GetOptoJ() {
    // Either of two readings at 0 is permission; an unreadable line is none.
    for (int i = 0; i < 2; ++i)
        if (ReadsLow(kGpioJ)) return 0;
    return 1;
}

int VehicleSignals::ConnectorLock(int v) {
    if (v == 0 || v == 1) platform::GetGpio().Write(kGpioLock, v);
    auto& clock = platform::GetClock();
    clock.SleepMs(5);
    // The lock's actuator takes its time: locking is awaited, bounded.
    for (std::int64_t waited = 5; v == 1 && !ReadsLow(kGpioLockDetect) && waited < kLockEngageMs;
         waited += 5)
        clock.SleepMs(5);
    return ReadsLow(kGpioLockDetect) ? 1 : 0;
}

bool VehicleSignals::Proximity() {
    const char reading = ReadLine(kGpioProximity, '1');
    if (reading != accepted_) {
        if (++differing_ > 1) {
            differing_ = 0;
            accepted_ = reading;
        }
    } else {
        differing_ = 0;
    }
    return accepted_ == '0';
}

int VehicleSignals::SettledProximity() {
    if (!platform::GetGpio().ReadChar(kGpioProximity)) return 0;
    char previous = '1', reading = '1';
    int equal = 0;
    for (int readings = 0; equal <= 9;) {
        reading = ReadLine(kGpioProximity, '1');
        if (reading == previous) {
            ++equal;
        } else {
            previous = reading;
            equal = 0;
        }
        if (++readings > 20) {
            reading = '1';
            break;
        }
        platform::GetClock().SleepMs(10);
    }
    return reading == '0' ? 1 : 0;
}

}  // namespace chademo
