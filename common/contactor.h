// The AC input contactors that feed the power modules, switched by the
// station controller through request bytes 2778 and 2779, and the module
// bus can0 that goes down and up with them.
#pragma once

#include "regmap.h"

namespace common {

// `SwitchSS`: value 2 only reports the contactor (byte 2778 bit 0), with no
// request. Value 0 first takes can0 down and clears the module count; value
// 1 first brings can0 up. Any value other than 2 is then requested as
// (value & 0x7F) | 0x80 in 2779 and 2778 and awaited for about 10 s: the
// answer's bit 0 when the station controller leaves the value asked for,
// else 2. An answer with a different value is asked again.
int SwitchSS(regmap::RegisterMap& map, int value);

inline constexpr int kContactorWaitMs = 10000;
inline constexpr int kContactorPollMs = 10;

}  // namespace common
