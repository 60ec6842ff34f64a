// The station controller's side of OCPP 1.6J in the simulation: it takes
// Tarnet's per-connector requests (a remote start, an unlock, a stop) the way
// the station does, and shows the charging limits it is given.
#pragma once

#include <cstdint>
#include <string>

#include "fennick_app.h"
#include "regmap.h"

namespace stationctl {

// One pass: returns the lines to show (empty when nothing happened). A
// remote start on connector c plugs it in and starts charging on it (c 1
// is the CHAdeMO outlet, 2 the CCS one); a stop request ends the charge.
std::string ServeOcppRequests(fennick::FennickApp& app, regmap::RegisterMap& map);

}  // namespace stationctl
