// The station controller's side of the AC input contactors: it answers a
// request byte in 2778/2779 by clearing bit 7 and leaving the contactor state
// in bit 0.
#pragma once

#include <cstdint>

#include "regmap.h"

namespace stationctl {

// Answers one pending request, if any; true when it answered.
bool ServeContactors(regmap::RegisterMap& map);
// The output relays (2782-2784): a request is answered with the contacts
// asked for. The CHAdeMO insulation test (21546): the CHAdeMO outlet's relay
// (2783) is closed for it and the request (1) is answered passed (3) after
// `testMs` of testing. `nowMs` is the stand-in's clock.
void ServeOutputSide(regmap::RegisterMap& map, std::int64_t nowMs, std::int64_t testMs);

}  // namespace stationctl
