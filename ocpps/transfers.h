// Quillon's firmware download: the central system's UpdateFirmware, taken
// over FTP into the RAM file system /UsbFlash, where the station controller
// installs it.
#pragma once

#include <string>
#include <vector>

#include "quillon.h"

namespace ocpps {

inline constexpr const char* kFirmwareDir = "/UsbFlash";
// A transfer that has not ended in this time is cut (seconds).
inline constexpr int kTransferMaxS = 600;
// An image not reported installed this long after its download failed.
inline constexpr std::int64_t kInstallWaitMs = 7200000;

// The image's file name: the location's text after its last '/'. Empty when
// that is no plain file name (empty, "." or "..", control characters).
std::string FirmwareFileName(const std::string& location);
// The curl argument list that fetches "ftp://<location>" into `path`.
std::vector<std::string> FirmwareDownloadCommand(const std::string& location, const std::string& path);

// One step of the firmware update; the download runs beside the main loop
// and is polled here.
void FwUpdateMgmt(Quillon& q);

}  // namespace ocpps
