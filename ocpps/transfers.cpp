#include "transfers.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "clock.h"
#include "command.h"
#include "command_area.h"
#include "files.h"
#include "paths.h"
#include "program.h"
#include "shared_bytes.h"
#include "syslog.h"

namespace ocpps {

namespace {

constexpr std::uint8_t kFirmwareStatusPending = 0x80;  // byte 445
enum : std::uint8_t { kDownloaded = 0, kDownloadFailed = 1, kInstallationFailed = 2, kInstalled = 3 };

void Report(Quillon& q, std::uint8_t status) {
    q.map.set(cmd::FW_STATUS, status);
    common::SetBits(q.map, 445, kFirmwareStatusPending);
}

void Finish(Quillon& q, std::uint8_t finalState) {
    platform::RunCommand(std::string("umount ") + kFirmwareDir, {"umount", platform::SystemPath(kFirmwareDir)});
    q.map.set(cmd::FW_RETRIEVE_DATE, 0);
    q.map.set(cmd::FW_RETRIES, 0);
    q.map.set(cmd::FW_RETRY_INTERVAL, 0);
    // The location slot is cleared only while it still holds this update's
    // location and no DataTransfer waits on it.
    if ((common::ReadShared(q.map, command::DataTransfer.byte) & command::DataTransfer.bit) == 0 &&
        q.map.get(cmd::LOCATION_DATA) == q.fw.location) {
        q.map.clear(cmd::LOCATION_DATA);
    }
    q.fw = FirmwareRequest{};
    q.u8Cnt = 0;
    q.tTmStart = 0;
    q.u8Step = 0;
    q.map.set(cmd::FW_STATE, finalState);
}

// A failed attempt: again after the retry interval while retries are left.
void Failed(Quillon& q, std::int64_t now) {
    std::error_code ec;
    if (!q.fwFile.empty()) std::filesystem::remove(q.fwFile, ec);
    if (++q.u8Cnt <= q.fw.retries) {
        q.tTmStart = now;
        return;
    }
    common::RecordSysLog("[OCPP]main:Firmware download failed");
    Report(q, kDownloadFailed);
    Finish(q, 0);
}

void StartDownload(Quillon& q, std::int64_t now) {
    const std::string& location = q.fw.location;
    const std::string name = FirmwareFileName(location);
    if (name.empty()) {
        // Not a file name to write: no attempt can do better.
        common::RecordSysLog("[OCPP]main:Firmware location has no plain file name");
        q.u8Cnt = q.fw.retries;
        Failed(q, now);
        return;
    }
    std::error_code ec;
    const std::string dir = platform::SystemPath(kFirmwareDir);
    std::filesystem::create_directories(dir, ec);
    platform::RunCommand(std::string("mount -t tmpfs tmpfs ") + kFirmwareDir, {"mount", "-t", "tmpfs", "tmpfs", dir});
    q.fwFile = dir + "/" + name;
    std::filesystem::remove(q.fwFile, ec);
    const pid_t pid = platform::StartProgram(FirmwareDownloadCommand(location, q.fwFile));
    if (pid <= 0) {
        Failed(q, now);
        return;
    }
    q.fwPid = pid;
}

void PollDownload(Quillon& q, std::int64_t now) {
    int code = 0;
    if (platform::PollProgram(q.fwPid, &code) == platform::ProgramState::Running) return;
    q.fwPid = 0;
    if (code != 0 || ::access(q.fwFile.c_str(), R_OK) != 0) {
        Failed(q, now);
        return;
    }
    common::RecordSysLog("[OCPP]main:Firmware downloaded");
    Report(q, kDownloaded);
    q.map.set(cmd::FW_STATE, 2);
    q.tTmInstall = now;
    q.u8Step = 1;
}

}  // namespace

namespace {

void HoldRequest(Quillon& q) {
    q.fw.held = true;
    q.fw.retrieveDate = q.map.get(cmd::FW_RETRIEVE_DATE);
    q.fw.location = q.map.get(cmd::LOCATION_DATA);
    q.fw.retries = q.map.get(cmd::FW_RETRIES);
    q.fw.retryInterval = q.map.get(cmd::FW_RETRY_INTERVAL);
    q.u8Step = 0;
    q.u8Cnt = 0;
    q.tTmStart = 0;
}

}  // namespace

bool TakeFirmwareRequest(Quillon& q) {
    const std::uint8_t state = q.map.get(cmd::FW_STATE);
    if (state >= 2 && state <= 4) return false;
    if (q.fwPid > 0) {
        platform::StopProgram(q.fwPid);
        q.fwPid = 0;
        std::error_code ec;
        std::filesystem::remove(q.fwFile, ec);
    }
    HoldRequest(q);
    q.map.set(cmd::FW_STATE, 1);
    return true;
}

void ResumeFirmwareRequest(Quillon& q) {
    const std::uint8_t state = q.map.get(cmd::FW_STATE);
    // As before a restart: the download starts again, whatever came of it.
    if (state >= 1 && state <= 4) HoldRequest(q);
}

std::string FirmwareFileName(const std::string& location) {
    const std::size_t slash = location.rfind('/');
    std::string name = slash == std::string::npos ? location : location.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || name.size() > 63) return "";
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "";
    }
    return name;
}

std::vector<std::string> FirmwareDownloadCommand(const std::string& location, const std::string& path) {
    // The location is one argument after "--": no text of it is an option.
    return {"curl", "-s", "-S", "-f", "--proto", "=ftp", "-m", std::to_string(kTransferMaxS),
            "-o", path, "--", "ftp://" + location};
}

void FwUpdateMgmt(Quillon& q) {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (q.fwPid > 0) {
        PollDownload(q, now);
        return;
    }
    const std::uint8_t fwState = q.map.get(cmd::FW_STATE);
    const std::uint8_t state = q.map.get(cmd::CHARGER_STATE);
    if (!q.fw.held || fwState < 1 || fwState > 4 || (state != 0 && state != 8)) return;
    if ((common::ReadShared(q.map, 445) & kFirmwareStatusPending) != 0) return;
    switch (q.u8Step) {
    case 0: {
        if (platform::GetClock().WallSeconds() < q.fw.retrieveDate) return;
        const std::int64_t interval = static_cast<std::int64_t>(std::max(q.fw.retryInterval, 0)) * 1000;
        if (q.tTmStart != 0 && now - q.tTmStart < interval) return;
        StartDownload(q, now);
        return;
    }
    case 1:
        if (now - q.tTmInstall >= kInstallWaitMs || fwState == 4) {
            Report(q, kInstallationFailed);
        } else if (fwState == 3) {
            Report(q, kInstalled);
        } else {
            return;
        }
        q.u8Step = 2;
        return;
    default:
        Finish(q, 5);
        return;
    }
}

namespace {

constexpr std::uint8_t kDiagStatusPending = 0x40;  // byte 445

// The secret of a file that only root can read, its first line.
bool ReadSecret(std::string* secret, std::string* why) {
    const std::string path = platform::SystemPath(kDiagSecretFile);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & 077) != 0 || st.st_uid != 0) {
        *why = std::string("no archive secret readable by root alone in ") + kDiagSecretFile;
        return false;
    }
    std::string text = platform::ReadTextFile(path, 256);
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.empty()) {
        *why = "the archive secret is empty";
        return false;
    }
    *secret = text;
    return true;
}

void EndDiagnostics(Quillon& q, bool uploaded) {
    std::error_code ec;
    if (!q.diagArchive.empty()) std::filesystem::remove(q.diagArchive, ec);
    q.diagArchive.clear();
    q.map.set(cmd::DIAG_STATUS, uploaded ? 0 : 1);
    common::SetBits(q.map, 445, kDiagStatusPending);
    q.map.clear(cmd::DIAG_LOCATION);
    q.map.clear(cmd::DIAG_FILE_NAME);
    q.map.set(cmd::DIAG_START_TIME, 0);
    common::RecordSysLog(uploaded ? "[OCPP]main:Diagnostics uploaded" : "[OCPP]main:Diagnostics upload failed");
}

}  // namespace

bool PackDiagnostics(const std::string& archive, const std::string& password, std::string* why) {
    int error = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (za == nullptr) {
        *why = "cannot create " + archive;
        return false;
    }
    bool ok = true;
    auto add = [&](const std::string& systemPath) {
        const std::string file = platform::SystemPath(systemPath);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec)) return;
        zip_source_t* src = zip_source_file(za, file.c_str(), 0, -1);
        const zip_int64_t index = src ? zip_file_add(za, systemPath.c_str() + 1, src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src) zip_source_free(src);
            ok = false;
            return;
        }
        if (zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), ZIP_EM_TRAD_PKWARE, password.c_str()) != 0) ok = false;
    };
    for (const char* dir : {"/Storage/SystemLog", "/Storage/Events", "/Storage/ChargingInfo"}) {
        std::error_code ec;
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(platform::SystemPath(dir), ec)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) add(std::string(dir) + "/" + n);
    }
    add("/Storage/DownloadConfiguration");
    if (!ok) {
        zip_discard(za);
    } else if (zip_close(za) != 0) {
        zip_discard(za);
        ok = false;
    }
    if (!ok) {
        std::error_code ec;
        std::filesystem::remove(archive, ec);
        *why = "the archive could not be written";
    }
    return ok;
}

void GetDiagMgmt(Quillon& q) {
    if (q.diagPid > 0) {
        int code = 0;
        if (platform::PollProgram(q.diagPid, &code) == platform::ProgramState::Running) return;
        q.diagPid = 0;
        EndDiagnostics(q, code == 0);
        return;
    }
    std::string location = q.map.get(cmd::DIAG_LOCATION);
    const std::string name = q.map.get(cmd::DIAG_FILE_NAME);
    if (location.empty() || name.empty()) return;
    if ((common::ReadShared(q.map, 445) & kDiagStatusPending) != 0) return;
    if (platform::GetClock().WallSeconds() < q.map.get(cmd::DIAG_START_TIME)) return;
    std::string secret, why;
    const std::string dir = platform::SystemPath(kDiagArchiveDir);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    q.diagArchive = dir + "/" + name;
    if (!ReadSecret(&secret, &why) || !PackDiagnostics(q.diagArchive, secret, &why)) {
        common::RecordSysLog("[OCPP]main:Diagnostics not packed: " + why);
        EndDiagnostics(q, false);
        return;
    }
    if (location.back() != '/') location += '/';
    const pid_t pid = platform::StartProgram({"curl", "-s", "-S", "-f", "--proto", "=ftp", "-m",
                                              std::to_string(kTransferMaxS), "-T", q.diagArchive, "--",
                                              "ftp://" + location});
    if (pid <= 0) {
        EndDiagnostics(q, false);
        return;
    }
    q.diagPid = pid;
}

}  // namespace ocpps
