// The station controller's side of the AC input contactors: it answers a
// request byte in 2778/2779 by clearing bit 7 and leaving the contactor state
// in bit 0.
#pragma once

#include "regmap.h"

namespace stationctl {

// Answers one pending request, if any; true when it answered.
bool ServeContactors(regmap::RegisterMap& map);

}  // namespace stationctl
