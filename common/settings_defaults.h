// The default settings image and CCS status block: what a board without
// usable settings in flash starts from. The CCS board's supervisor writes them
// at start-up; the main board's station controller restores the same image.
#pragma once

#include "regmap.h"

namespace common {

// Writes the default settings, the module parameter block with its CRC, the
// mirror of the settings image and the CCS status block defaults.
void WriteDefaults(regmap::RegisterMap& map);

// Clears the CCS run-time fields that must not survive a restart (response
// code, the vehicle's states and flags, isolation status, status word, EV
// MAC) and sets EVSEProcessing to ongoing.
void ClearCcsRunTimeFields(regmap::RegisterMap& map);

}  // namespace common
