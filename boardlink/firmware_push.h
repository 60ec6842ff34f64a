// Scrivet's push of a new CCS-board image: checked first, then sent by the
// block loader (as a zip archive) or as a raw image, chosen by the firmware
// version the CCS board reports.
#pragma once

#include <cstdint>

#include "link_port.h"
#include "regmap.h"

namespace boardlink {

inline constexpr const char* kPushImage = "/mnt/7301882650K";
inline constexpr const char* kPushArchive = "/mnt/7301882650K.zip";
inline constexpr std::uint32_t kPushBuffer = 16u * 1024 * 1024;
inline constexpr int kRawAckWindowMs = 10000;
inline constexpr int kRawWriteIdleMs = 10000;
inline constexpr int kRawResultWindowMs = 900000;
inline constexpr std::size_t kRawPiece = 256;

// 1 when the CCS board's version (map bytes 519 and 520) takes the block
// loader, 0 for the raw image transfer.
int UseLoader(const regmap::RegisterMap& map);

// Pushes the image; 1 when the CCS board reported success, 0 on any failure
// (logged with its number first).
int UpdateCAImage(regmap::RegisterMap& map, linkwire::LinkPort& port);

}  // namespace boardlink
