// The CCS board's firmware self-update: a received image is checked, put at
// "/mnt/FWImage" and installed by a copy of the supervisor started from a RAM
// file system in installer mode, which reports through byte 264
// (SHRMEM_FW_UPDATE): 2 while it runs, 1 installed, 0 refused or failed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link_port.h"
#include "regmap.h"

namespace supervisor {

// Length of a CCS-board image with its trailer, as the loader route carries it.
inline constexpr std::uint32_t kCcsImageSize = 0xCF000D;  // 13,565,965
inline constexpr const char* kImageMember = "7301882650K";
inline constexpr const char* kImagePath = "/mnt/FWImage";
inline constexpr const char* kArchivePath = "/mnt/Image.zip";
// Where the installer writes the image.
inline constexpr const char* kFirmwareFlash = "/dev/mtd3";
inline constexpr std::int64_t kInstallLookMs = 10000;
inline constexpr std::int64_t kInstallWaitLimitMs = 1199000;

// The block loader's end handler on the CCS board: the received archive is
// unpacked, its image checked and installed. Returns a loader result: 0
// installed, 4 writing failed, 6 checksum failed, 7 archive broken.
int writeFlashHandler(regmap::RegisterMap& map, std::uint8_t* archive, std::uint32_t len);

// Copies the supervisor and the basic tools into the RAM file system and
// starts the copy in installer mode (byte 264 must already be 2).
void StartInstallCopy(bool loaderRoute);

// Waits while byte 264 is 2, looking every 10 s; after 1,199 s it gives up
// and writes 0. Returns the byte's final value.
std::uint8_t WaitForInstall(regmap::RegisterMap& map, bool loaderRoute);

// A loader start packet took the line: runs the block loader as slave with a
// 16 MiB receive area. False when the channel or the area cannot be had.
bool RunLoaderSlave(regmap::RegisterMap& map, linkwire::LinkPort& port, const std::uint8_t* start, std::size_t len);

// Installer mode ("Halvard-update --install"): checks "/mnt/FWImage", writes
// it to the firmware flash and sets byte 264 to 1 (installed) or 0. Returns
// the process exit status.
int RunInstaller(regmap::RegisterMap& map);

}  // namespace supervisor
