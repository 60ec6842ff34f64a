// The charging loop: while energy flows, the CAN I/O process passes each
// current request of the vehicle to the modules, and the loop counts the
// remaining time down and watches the vehicle, the charger, the lock, the
// stop inputs, the output voltage and the requested current until one of
// them ends the charge.
#pragma once

#include "steps.h"

namespace chademo {

inline constexpr std::int64_t kLoopPauseMs = 10;
inline constexpr std::int64_t kOverCurrentGraceMs = 10000;

// `CH_SUB_04` (protocol 0.9): always 1 when the charge ended.
int CH_SUB_04(StepPorts& s);
// `V2_CH_SUB_04` (1.x): 1 the vehicle ended the charge, 2 vehicle fault or
// no permission, 3 normal end (stop request or time up), 4 the charger's side.
int V2_CH_SUB_04(StepPorts& s);

}  // namespace chademo
