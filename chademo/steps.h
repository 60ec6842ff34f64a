// What every step of a CHAdeMO session reaches: the register map with its
// frame mirror, the session log and the vehicle's lines; and the small
// moves all steps share.
#pragma once

#include <cstdint>

#include "regmap_chademo.h"
#include "session_log.h"
#include "signals.h"

namespace chademo {

inline constexpr regmap::U8 SHRMEM_CHADEMO_INSULATION_TEST{21546};  // 1 asked, 3 passed, 4 failed
inline constexpr regmap::U8 SHRMEM_CHADEMO_OVP_DISABLE{454};
inline constexpr regmap::U8 SHRMEM_CHADEMO_ENABLE{21522};
inline constexpr regmap::U8 SHRMEM_CHADEMO_PLUGGED{21521};
inline constexpr regmap::U8 SHRMEM_CHADEMO_CAN_AFTER_END{413};
inline constexpr regmap::Bits ALARM_NO_PERMISSION{340, 0x20};
inline constexpr regmap::Bits ALARM_CHARGING_TIME_UP{340, 0x10};
inline constexpr regmap::Bits ALARM_CONNECTOR_ERROR{341, 0x80};
// pChaDeMoAlarm bits, byte 0 at 21517.
inline constexpr regmap::Bits CHADEMO_ALARM_OVER_CURRENT{21517, 0x02};
inline constexpr regmap::Bits CHADEMO_ALARM_NOT_DISCHARGED{21517, 0x04};
inline constexpr regmap::Bits CHADEMO_ALARM_PROCESS_TIMEOUT{21517, 0x08};
inline constexpr regmap::Bits CHADEMO_ALARM_OVER_VOLTAGE{21517, 0x10};
inline constexpr regmap::Bits CHADEMO_ALARM_EARLY_PERMISSION{21517, 0x20};
inline constexpr regmap::Bits CHADEMO_ALARM_NO_FRAMES{21518, 0x01};
inline constexpr regmap::Bits CHADEMO_ALARM_NO_PERMISSION_IN_TIME{21518, 0x04};
inline constexpr regmap::Bits CHADEMO_ALARM_CONTACTOR_NOT_CLOSED{21518, 0x08};
inline constexpr regmap::Bits CHADEMO_ALARM_NO_CURRENT_REQUEST{21518, 0x10};
inline constexpr regmap::Bits CHADEMO_ALARM_PERMISSION_KEPT{21518, 0x20};
inline constexpr regmap::Bits CHADEMO_ALARM_CONTACTOR_NOT_OPEN{21518, 0x40};
inline constexpr regmap::Bits CHADEMO_ALARM_VOLTAGE_BEFORE_TEST{21519, 0x04};
inline constexpr regmap::Bits CHADEMO_ALARM_VOLTAGE_AFTER_TEST{21519, 0x08};

// EV102 byte 5 bits.
inline constexpr std::uint8_t kEvChargingEnabled = 0x01, kEvShiftPosition = 0x02, kEvFault = 0x04,
                              kEvContactorOpen = 0x08, kEvNormalStop = 0x10;

struct StepPorts {
    regmap::RegisterMap map;
    SessionLog& log;
    VehicleSignals& signals;

    void Status(std::uint8_t bits, bool on = true);
    bool StatusHas(std::uint8_t bits) const;
    // Zero the voltage: the modules switch off, the current stays asked.
    void ZeroVoltage();
    // Zero both set-points.
    void ZeroSetPoints();
    // The current set-point in 0.1 A, armed.
    void CurrentSetPoint(int tenths);
    void ClearRemainingTime();
    void D1(int v) { signals.SwitchD1D2(1, v); }
    void D2(int v) { signals.SwitchD1D2(2, v); }
    bool NoPermission() { return signals.GetOptoJ() == 1; }
    // Log code `code` with `number`, written at once.
    void LogCode(unsigned code, unsigned number);
    // Alarm 340 bit 0x20 with log code 0: the vehicle withdrew permission,
    // no longer enables charging or asked for a normal stop. `write` false
    // leaves the line queued for the step to write later.
    void NoPermissionLine(unsigned number, bool write = true);
    // Alarm 341 bit 0x80 with its log line.
    void ConnectorError(unsigned number);
    int PresentVolts() const { return map.get(regmap::SHRMEM_GET_V1) / 10; }
    std::uint8_t EvStatus() const { return map.get(regmap::EV102_STATUS); }
    std::uint8_t EvFaults() const { return map.get(regmap::EV102_FAULTS); }
    // The station's emergency stop is pressed.
    bool Emergency() const;
};

// The monotonic time and a pause, on the clock in use.
std::int64_t Now();
void Sleep(std::int64_t ms);

}  // namespace chademo
