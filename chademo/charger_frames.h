// The charger's side of the CHAdeMO exchange before the charging loop: the
// available current, threshold voltage and present values of frames 0x108
// and 0x109, the charging time limit and the remaining-time bytes, and the
// available current rating the charging loop keeps in line with the power.
#pragma once

#include <cstdint>
#include <functional>

#include "regmap.h"
#include "session_log.h"

namespace chademo {

inline constexpr std::int64_t kRatedVoltage = 500;   // V, the station's output ceiling
inline constexpr std::int64_t kCurrentCeiling = 255; // A, one byte of 0x108

// The current the station may announce, A: the rated output current, or a
// charging-profile limit below it, then no more than the modules give;
// never below 0 nor above what one byte carries.
std::int64_t StationCurrentCap(const regmap::RegisterMap& map);
// The power the station may deliver, W: the modules' available power, or a
// charging-profile limit below it.
std::int64_t StationPower(const regmap::RegisterMap& map);
// The present output current as 0x109 carries it, A: the whole measured
// value in tenths divided by 10, 255 for anything above one byte (never
// only the low byte, which would tell a vehicle taking 30 A that 4 A flow).
std::uint8_t PresentCurrentByte(const regmap::RegisterMap& map);
// A current set-point taken from the vehicle's request, 0.1 A, as the mailbox
// may carry it: never above what 0x108 announces available nor what the
// station and its modules can give. A vehicle asking more gets the limit it
// was told, never the modules' whole current.
std::uint16_t CappedRequest(const regmap::RegisterMap& map, std::int64_t tenths);

class ChargerFrames {
public:
    // `d1Off` switches the vehicle's d1 signal off (`SwitchD1D2(1, 0)`).
    ChargerFrames(regmap::RegisterMap map, SessionLog& log, std::function<void()> d1Off)
        : map_(map), log_(log), d1Off_(std::move(d1Off)) {}

    // One pass of the frame computation (`CH_SUB_01`).
    void FramePass();
    // One pass of the charging-time computation (`CH_SUB_02`).
    void TimePass();

private:
    regmap::RegisterMap map_;
    SessionLog& log_;
    std::function<void()> d1Off_;
};

// The current the station can give at the present voltage within every
// cap, A.
std::int64_t AvailableCurrent(const regmap::RegisterMap& map);
// `ChangePowerRating`: brings 0x108's available current in line with the
// power at the present voltage and every current cap. 1 lowered, 2 raised,
// 0 unchanged.
int ChangePowerRating(regmap::RegisterMap& map);

}  // namespace chademo
