// The one set of alarm and event code tables shared by the main-board
// programs: event codes of the system and DIN event bits, their recovery
// codes and levels, and the names used in log lines for the CCS status word
// and the pilot state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace common {

inline constexpr std::size_t kSysEvtCount = 32;   // bits of bytes 21529-21532
inline constexpr std::size_t kDINEvtCount = 88;   // bits of bytes 21533-21543
inline constexpr std::size_t kDINPhaseCount = 13;
inline constexpr std::size_t kDINV2GPhaseCount = 23;
inline constexpr std::size_t kDINErrorCount = 5;
inline constexpr std::size_t kPilotStateCount = 8;
inline constexpr std::size_t kChaDeMoAlarmCount = 21;  // bits of bytes 21517-21519

// Six hexadecimal characters; "000000" marks an entry without an event.
extern const char pu8SysAlarmCode[kSysEvtCount][7];
extern const char pu8SysAlarmCodeRcvr[kSysEvtCount][7];
extern const std::uint8_t pu8SysAlarmLvl[kSysEvtCount];
extern const char pu8DINAlarmCode[kDINEvtCount][7];
extern const char pu8DINAlarmCodeRcvr[kDINEvtCount][7];
extern const std::uint8_t pu8DINAlarmLvl[kDINEvtCount];

// Event codes of the CHAdeMO controller's alarm bits (entry = byte x 8 + bit
// from 21517); entries 6, 7 and 15 carry no alarm.
extern const char pu8ChaDeMoAlarmCode[kChaDeMoAlarmCount][7];
extern const char pu8ChaDeMoAlarmCodeRcvr[kChaDeMoAlarmCount][7];

extern const char pu8DINPhase[kDINPhaseCount][31];
extern const char pu8DINV2GPhase[kDINV2GPhaseCount][31];
extern const char pu8DINError[kDINErrorCount][31];
extern const char pu8PilotState[kPilotStateCount][11];

// Names for any byte value: out-of-range values give the "Unknown" entry.
const char* PilotStateName(unsigned pilot);
const char* DINPhaseName(unsigned phase);
const char* DINV2GPhaseName(unsigned step);
// Result byte of the status word: 252..255 name an error, anything else "Unknown".
const char* DINErrorName(unsigned result);

bool HasEventCode(const char* code);

}  // namespace common
