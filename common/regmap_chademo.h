// The CHAdeMO frame mirror of the main board's register map: the vehicle's
// and the charger's frames in CAN byte order, the session's limits and flags,
// shared by Corvane's processes and read by the other programs.
#pragma once

#include "regmap_power.h"

namespace regmap {

inline constexpr Bytes EV100{2049, 8};
inline constexpr Bytes EV101{2057, 8};
inline constexpr Bytes EV102{2065, 8};
inline constexpr Bytes CP108{2073, 8};
inline constexpr Bytes CP109{2081, 8};
inline constexpr S32Le LIMIT_I{2089};          // A
inline constexpr S32Le LIMIT_VOLT{2093};       // V
inline constexpr S32Le LIMIT_TIME{2097};       // s
inline constexpr S32Le RESID_TIME{2101};       // s
inline constexpr U8 StartRecv{2105};           // bits 0-2: frames 0x100, 0x101, 0x102 seen
inline constexpr U8 ChargerFlag{2106};
inline constexpr Bytes ChademoFrameMirror{2049, 58};  // 2049-2106
namespace mainb {
inline constexpr Bytes CP118{2206, 8};
}  // namespace mainb

inline constexpr U16Le EV100_MAX_BATTERY_VOLTAGE{2053};
inline constexpr U8 EV102_PROTOCOL{2065};
inline constexpr U8 EV102_CURRENT_REQUEST{2068};
inline constexpr U8 EV102_FAULTS{2069};
inline constexpr U8 EV102_STATUS{2070};
inline constexpr U16Le CP108_AVAILABLE_VOLTAGE{2074};
inline constexpr U8 CP108_AVAILABLE_CURRENT{2076};
inline constexpr U8 CP109_PRESENT_CURRENT{2084};
inline constexpr U8 CP109_STATUS{2086};

// ChargerFlag bits.
inline constexpr std::uint8_t kTimeLimitComputed = 0x01, kFollowRequest = 0x02, kOutputOff = 0x04,
                              kStopping = 0x08, kLoopEnded = 0x10, kSessionEnded = 0x20, kFramesLost = 0x40,
                              kFramesComputed = 0x80;

inline constexpr U8 SHRMEM_CHADEMO_STOPPING{20983};
inline constexpr U8 SHRMEM_CHADEMO_LOW_CURRENT{21604};
inline constexpr Bits ALARM_CHADEMO_COMM{312, 0x80};
inline constexpr U8 SHRMEM_CHADEMO_EV_ALARM{341};     // vehicle faults, set bit by bit
inline constexpr Bits CHADEMO_ALARM_CAN_TIMEOUT{21518, 0x02};  // pChaDeMoAlarm byte 1
inline constexpr Bits CHADEMO_ALARM_OVER_BATTERY_MAX{21517, 0x01};  // pChaDeMoAlarm byte 0
inline constexpr Bits ALARM_CHADEMO_BATTERY_INCOMPATIBLE{340, 0x80};
inline constexpr U16Le EV102_TARGET_VOLTAGE{2066};
inline constexpr U8 EV101_TIME_10S{2058};
inline constexpr U8 EV101_TIME_MIN{2059};
inline constexpr U8 CP109_PROTOCOL{2081};
// CP109 byte 5 bits.
inline constexpr std::uint8_t kCpEnergising = 0x01, kCpMalfunction = 0x02, kCpLocked = 0x04,
                              kCpBatteryIncompatible = 0x08, kCpSystemMalfunction = 0x10, kCpStopped = 0x20;
inline constexpr std::uint8_t kStopCanTimeout = 12;    // SHRMEM_STOP_CHARGING

// ORs bits into a shared byte in one step.
inline void OrByteAtomic(RegisterMap& map, U8 f, std::uint8_t bits) {
    std::atomic_ref<std::uint8_t> b(*map.bytes(Bytes{f.offset, 1}));
    b.fetch_or(bits);
}

}  // namespace regmap
