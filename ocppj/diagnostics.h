// GetDiagnostics: the archive is named and the answer given at once; then the
// log directories are packed into a pass-phrase-protected zip archive in
// /mnt, which curl uploads into the location directory, with retries, each
// stage reported by a DiagnosticsStatusNotification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exchange.h"
#include "fennick_app.h"
#include "firmware.h"

namespace ocppj {

// The GetDiagnostics command slot of the exchange segment (43192). A
// non-empty fileName is also the upload's request: it is cleared at the end.
struct GetDiagnosticsSlot {
    char location[256];
    std::int32_t retries;
    std::int32_t retryInterval;  // s
    char startTime[28];
    char stopTime[28];
    char fileName[256];
};
static_assert(sizeof(GetDiagnosticsSlot) == 576);
static_assert(offsetof(GetDiagnosticsSlot, fileName) == 43512 - 43192);
inline constexpr std::size_t kGetDiagnosticsSlot = 43192;
inline constexpr int kCmdGetDiagnostics = 8;
static_assert(kCommandSlots[kCmdGetDiagnostics].offset == kGetDiagnosticsSlot);
GetDiagnosticsSlot& DiagnosticsSlot(Exchange& x);
const GetDiagnosticsSlot& DiagnosticsSlot(const Exchange& x);

// The station's secret part of the archive pass phrase: six characters in a
// file only root reads, made from the kernel's random source on first use.
inline constexpr const char* kDiagSecretFile = "/Storage/FennickDiagKey";
inline constexpr std::size_t kDiagSecretLength = 6;
// The secret (made and stored when missing or malformed); "" when it can be
// neither read nor stored.
std::string DiagnosticsSecret();

// Writes a zip archive of `files` (system paths; entry names are the station
// paths given beside them) with traditional PKWARE encryption under
// `passPhrase`, replacing `archive`. False when any step fails (no archive
// is left then).
struct ArchiveEntry {
    std::string systemPath;
    std::string name;
};
bool WriteEncryptedZip(const std::string& archive, const std::vector<ArchiveEntry>& files, const std::string& passPhrase,
                       std::string* error);

class Diagnostics {
public:
    // The upload is looked at once a minute.
    static constexpr std::int64_t kCheckMs = 60000;
    // An upload may last this long.
    static constexpr int kUploadSeconds = 7200;

    Diagnostics(fennick::FennickApp& app, Exchange& x, std::function<void(const std::string&)> log,
                TransferStarter starter = StartProgramTransfer)
        : app_(app), x_(x), log_(std::move(log)), starter_(std::move(starter)) {}

    // The GetDiagnostics command: names the archive in the slot's fileName.
    void GetDiagnosticsConf();
    // Once a second.
    void GetDiagnosticsMgmt();
    // Packs the log directories into /mnt/<fileName>; false when it failed.
    bool PackLog2RAM();
    // The files that go into the archive, in order.
    std::vector<ArchiveEntry> ArchiveFiles() const;
    // The curl argument list of the upload.
    std::vector<std::string> UploadCommand() const;
    std::string ArchivePath() const;  // station path

private:
    void Status(const char* status);
    bool InitUploadDiag();
    int CheckUploadDiagStatus();  // 1 in progress, 2 uploaded, 0 failed
    void End();

    fennick::FennickApp& app_;
    Exchange& x_;
    std::function<void(const std::string&)> log_;
    TransferStarter starter_;

    int step_ = 0;
    int attempts_ = 0;
    bool retryWait_ = false;
    std::int64_t retryStartMs_ = 0;
    bool checked_ = false;  // the upload was looked at since it started
    std::int64_t checkMs_ = 0;
    std::unique_ptr<Transfer> transfer_;
    std::string archive_;  // station path of the archive made last, "" when none is left
};

}  // namespace ocppj
