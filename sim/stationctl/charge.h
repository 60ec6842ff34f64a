// A scripted charge, played as the station controller plays one: the plug,
// the card in the authorization mailbox, the charger states Preparing (16),
// Charging (1), Finishing (32) and idle (0), ramps of voltage, current, power,
// energy and state of charge, and the stop by the same card. A stopChargingReq
// from Tarnet ends the charge early.
#pragma once

#include <string>
#include <vector>

#include "fennick_app.h"
#include "regmap.h"

namespace stationctl {

struct ChargeScript {
    int connector = 2;           // 1 CHAdeMO, 2 CCS
    std::string card = "ABC123";
    int seconds = 20;            // of charging, unless stopped earlier
    int stopReason = 3;          // of the card's stop: Local
    int energyStart = 1000;      // Wh
};

// Reads "name=value" words (connector, card, seconds, reason, energy); false
// with the reason in `error` for anything else.
bool ParseChargeScript(const std::vector<std::string>& words, ChargeScript* script, std::string* error);

// Plays the charge; 0 when it ran to its end, 1 when the card was refused.
int PlayCharge(regmap::RegisterMap& map, fennick::FennickApp& app, const ChargeScript& script);

}  // namespace stationctl
