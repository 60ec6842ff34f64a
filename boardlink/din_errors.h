// Analysis of CCS session errors on the main board: after every status frame
// the mirrored CCS status block is turned into DIN event bits, alarm bits and
// system-log lines, each finding once until its bit is cleared outside.
#pragma once

#include <cstdint>
#include <string>

#include "regmap.h"
#include "timeutil.h"

namespace boardlink {

// The analysis' own memory between passes.
struct DinErrorState {
    std::uint8_t u8IsV2gPhase = 0;     // the V2G phase has been seen in this session
    std::uint8_t u8OldPhaseV2g = 0;    // V2G step of the previous pass
    common::TimeStamp tStart = common::MonotonicNow();  // start of the ReadyToCharge wait
    std::uint8_t evseMinVoverEvMaxV = 0;
};

// ReadyToCharge may stay 0 this long in an active charging step.
inline constexpr std::int64_t kReadyToChargeTimeoutMs = 180000;

int DIN_ErrHandling(regmap::RegisterMap& map, DinErrorState& st);

// Parts of the analysis, exposed for tests.
int IsDINCommAlarm(const regmap::RegisterMap& map);
int CheckProximity(regmap::RegisterMap& map);
void CheckDINCommError(regmap::RegisterMap& map);
void CheckDINCommTmOut(regmap::RegisterMap& map, DinErrorState& st, std::uint8_t step, std::uint8_t connector);
void CheckDINEVStop(regmap::RegisterMap& map, DinErrorState& st, std::uint8_t step, std::uint8_t connector);
void CheckDINEVSEStop(regmap::RegisterMap& map, DinErrorState& st, std::uint8_t step, std::uint8_t connector);

// DIN event bit of table entry `entry` (byte 21533 + entry / 8).
bool DinBit(const regmap::RegisterMap& map, unsigned entry);
// Sets the bit; true when it was clear.
bool RaiseDinBit(regmap::RegisterMap& map, unsigned entry);

// "SMR AvailPwr:...W, ..., EVSECurrLimit:...A": the present electrical values.
std::string MeasurementTail(const regmap::RegisterMap& map);

}  // namespace boardlink
