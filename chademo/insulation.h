// The insulation-test step before energy flows: the output must be dead and
// the vehicle still permitting, the connector is locked, and the station
// controller performs the test on request (byte 21546: 1 asked, 3 passed,
// 4 failed) while the step watches the vehicle, the charger and the lock.
#pragma once

#include "steps.h"

namespace chademo {

inline constexpr std::int64_t kInsulationWaitMs09 = 35000;
inline constexpr std::int64_t kInsulationWaitMs1x = 25000;
inline constexpr std::int64_t kInsulationPollMs = 5;

// `CH_SUB_03` (protocol 0.9) and `V2_CH_SUB_03` (1.x): 1 when the test
// passed, 0 when the session must stop (0x109's status bits say why).
int CH_SUB_03(StepPorts& s);
int V2_CH_SUB_03(StepPorts& s);

}  // namespace chademo
