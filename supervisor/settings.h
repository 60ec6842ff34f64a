// The CCS board's settings image: restore from flash, or write the defaults.
#pragma once

#include "regmap.h"

namespace supervisor {

inline constexpr const char* kFlashDevice = "/dev/mtdblock4";
inline constexpr std::size_t kFlashSize = 262144;
inline constexpr std::size_t kFlashSettingsOffset = 196608;

// Restores the map from the flash device: all 262,144 bytes, then the
// device's last 64 KiB over bytes 0-65535. Returns 1 when restored, 0 when
// the device is missing, unreadable or short (the map is left untouched).
int FlashToShrMem(regmap::RegisterMap& map);

// Writes the default settings, the module parameter block with its CRC, the
// mirror of the settings image and the CCS status block defaults.
void WriteDefaults(regmap::RegisterMap& map);

// Clears the CCS run-time fields that must not survive a restart (response
// code, status word, EV MAC) and sets EVSEProcessing to ongoing.
void ClearCcsRunTimeFields(regmap::RegisterMap& map);

}  // namespace supervisor
