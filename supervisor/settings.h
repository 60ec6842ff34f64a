// The CCS board's settings image: restore from flash, or write the defaults.
#pragma once

#include "regmap.h"
#include "settings_defaults.h"

namespace supervisor {

using common::ClearCcsRunTimeFields;
using common::WriteDefaults;

inline constexpr const char* kFlashDevice = "/dev/mtdblock4";
inline constexpr std::size_t kFlashSize = 262144;
inline constexpr std::size_t kFlashSettingsOffset = 196608;

// A settings block with more bytes 0xFF than this (half of it) is erased flash.
inline constexpr std::size_t kErasedSettingsBytes = 32768;

// Restores the map from the flash device: all 262,144 bytes, then the
// device's last 64 KiB over bytes 0-65535. Returns 1 when restored, 0 when
// the device is missing, unreadable or short, or its settings block is
// erased (more than half 0xFF) or all 0 (the map is left untouched).
int FlashToShrMem(regmap::RegisterMap& map);

}  // namespace supervisor
