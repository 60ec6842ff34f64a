// Quillon's transfers: the central system's UpdateFirmware, taken over FTP
// into the RAM file system /UsbFlash, where the station controller installs
// it; and GetDiagnostics, the station's logs packed into an encrypted
// archive and put on the central system's FTP server.
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

// Takes the UpdateFirmware of the command area as the update to carry out
// (7909 := 1): a download under way or waiting for its retry gives way to
// it. False, with nothing changed, while an image waits to be installed
// (7909 2 to 4): the station's result would be reported for the wrong image.
bool TakeFirmwareRequest(Quillon& q);
// At start-up: an update that the map shows under way is taken up again.
void ResumeFirmwareRequest(Quillon& q);

// One step of the firmware update; the download runs beside the main loop
// and is polled here.
void FwUpdateMgmt(Quillon& q);

// The archive's password, readable by root alone; without it no archive is made.
inline constexpr const char* kDiagSecretFile = "/Storage/[OCPP15S]DiagSecret";
inline constexpr const char* kDiagArchiveDir = "/mnt";

// Packs the station's logs (/Storage/SystemLog, /Storage/Events,
// /Storage/ChargingInfo, /Storage/DownloadConfiguration) into a zip archive
// at `archive` (a system path), each member encrypted with the traditional
// PKWARE scheme under `password`. False, with the archive removed, on any
// failure.
bool PackDiagnostics(const std::string& archive, const std::string& password, std::string* why);

// One step of the diagnostics upload: packed once the start time has come,
// uploaded beside the main loop, reported Uploaded or UploadFailed.
void GetDiagMgmt(Quillon& q);

}  // namespace ocpps
