#include "steps.h"

#include "charger_frames.h"
#include "clock.h"
#include "regmap_fields.h"

namespace chademo {

using namespace regmap;

void StepPorts::Status(std::uint8_t bits, bool on) { SetBitsAtomic(map, Bits{CP109_STATUS.offset, bits}, on); }
bool StepPorts::StatusHas(std::uint8_t bits) const { return (map.get(CP109_STATUS) & bits) != 0; }
bool StepPorts::Emergency() const { return (map.get(SHRMEM_STOP_BUTTON) & 0x08) != 0; }

std::int64_t Now() { return platform::GetClock().MonotonicMs(); }
void Sleep(std::int64_t ms) { platform::GetClock().SleepMs(ms); }

void StepPorts::ZeroVoltage() {
    map.set(SHRMEM_SET_V1, 0);
    map.set(SHRMEM_SET_PENDING, 255);
}

void StepPorts::ZeroSetPoints() {
    map.set(SHRMEM_SET_I1, 0);
    map.set(SHRMEM_SET_V1, 0);
    map.set(SHRMEM_SET_PENDING, 255);
}

void StepPorts::CurrentSetPoint(int tenths) {
    map.set(SHRMEM_SET_I1, CappedRequest(map, tenths));
    map.set(SHRMEM_SET_PENDING, 255);
}

void StepPorts::ClearRemainingTime() {
    map.set(U8{CP109.offset + 6}, 0);
    map.set(U8{CP109.offset + 7}, 0);
}

void StepPorts::LogCode(unsigned code, unsigned number) {
    log.systemLogHandle(code, number);
    log.writeSysLog();
}

void StepPorts::NoPermissionLine(unsigned number, bool write) {
    SetBitsAtomic(map, ALARM_NO_PERMISSION, true);
    log.systemLogHandle(0, number);
    if (write) log.writeSysLog();
}

void StepPorts::ConnectorError(unsigned number) {
    SetBitsAtomic(map, ALARM_CONNECTOR_ERROR, true);
    log.trapAlarm29LogHandle(number);
}

}  // namespace chademo
