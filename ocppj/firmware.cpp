#include "firmware.h"

#include <atomic>
#include <cstring>
#include <filesystem>

#include "clock.h"
#include "command.h"
#include "messages.h"
#include "ocpp_time.h"
#include "paths.h"
#include "program.h"

namespace ocppj {

namespace {

class ProgramTransfer final : public Transfer {
public:
    explicit ProgramTransfer(pid_t pid) : pid_(pid) {}
    ~ProgramTransfer() override { Stop(); }
    State Poll() override {
        if (pid_ <= 0) return ok_ ? State::Succeeded : State::Failed;
        int code = -1;
        if (platform::PollProgram(pid_, &code) == platform::ProgramState::Running) return State::Running;
        pid_ = 0;
        ok_ = code == 0;
        return ok_ ? State::Succeeded : State::Failed;
    }
    void Stop() override {
        if (pid_ > 0) platform::StopProgram(pid_);
        pid_ = 0;
    }

private:
    pid_t pid_;
    bool ok_ = false;
};

}  // namespace

UpdateFirmwareSlot& FirmwareSlot(Exchange& x) {
    return *reinterpret_cast<UpdateFirmwareSlot*>(reinterpret_cast<std::uint8_t*>(&x) + kUpdateFirmwareSlot);
}

std::unique_ptr<Transfer> StartProgramTransfer(const std::vector<std::string>& argv) {
    const pid_t pid = platform::StartProgram(argv);
    if (pid <= 0) return nullptr;
    return std::make_unique<ProgramTransfer>(pid);
}

std::string ImageNameFromLocation(const std::string& location) {
    std::string s = location.substr(0, location.find_first_of("?#"));
    const std::size_t slash = s.find_last_of('/');
    if (slash != std::string::npos) s = s.substr(slash + 1);
    std::string name;
    for (char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-')
            name += c;
    }
    if (name.empty() || name == "." || name == "..") name = "firmware.bin";
    return name;
}

std::string MaskLocation(const std::string& location) {
    const std::size_t scheme = location.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t end = location.find('/', start);
    const std::size_t at = location.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start) return location;
    const std::size_t colon = location.find(':', start);
    if (colon == std::string::npos || colon > at) return location;
    return location.substr(0, colon + 1) + "****" + location.substr(at);
}

std::string FirmwareUpdate::Dir() const {
    std::string dir = FieldText(app_.fwDownloadDir);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

std::vector<std::string> CurlCommand(const fennick::FennickApp& app, std::vector<std::string> options,
                                     const std::string& location) {
    std::vector<std::string> argv = {"curl", "-s", "-S", "-f", "--proto", "=http,https,ftp,ftps"};
    argv.insert(argv.end(), options.begin(), options.end());
    const std::string ca = FieldText(app.caCertPath);
    if (!ca.empty()) {
        argv.push_back("--cacert");
        argv.push_back(platform::SystemPath(ca));
    }
    argv.push_back("--");
    argv.push_back(location);
    return argv;
}

std::vector<std::string> FirmwareUpdate::DownloadCommand(const std::string& path) const {
    return CurlCommand(app_, {"-o", path}, location_);
}

void FirmwareUpdate::UpdateFirmwareConf() {
    UpdateFirmwareSlot& slot = FirmwareSlot(x_);
    location_ = std::string(slot.location, strnlen(slot.location, sizeof slot.location));
    retries_ = slot.retries < 0 ? 0 : slot.retries;
    retrieveDate_ = UtcToEpoch(std::string(slot.retrieveDate, strnlen(slot.retrieveDate, sizeof slot.retrieveDate)));
    retryIntervalMs_ = slot.retryInterval < 0 ? 0 : static_cast<std::int64_t>(slot.retryInterval) * 1000;
    step_ = 0;
    attempts_ = 0;
    retryWait_ = false;
    fwUpdateReq_ = true;
    log_("[Info] UpdateFirmware location=" + MaskLocation(location_));
}

void FirmwareUpdate::Status(const char* status) {
    std::memset(x_.firmwareStatus.status, 0, sizeof x_.firmwareStatus.status);
    PutText(x_.firmwareStatus.status, status);
    SetBit(x_, kBitFirmwareStatus);
}

bool FirmwareUpdate::InitDownloadFw() {
    const std::string dir = Dir();
    std::error_code ec;
    std::filesystem::create_directories(platform::SystemPath(dir), ec);
    platform::RunCommand("mount -t tmpfs tmpfs " + dir, {"mount", "-t", "tmpfs", "tmpfs", platform::SystemPath(dir)});
    path_ = dir + ImageNameFromLocation(location_);
    std::filesystem::remove(platform::SystemPath(path_), ec);
    const std::vector<std::string> argv = DownloadCommand(platform::SystemPath(path_));
    log_("[Info] FW download: curl -o " + path_ + " " + MaskLocation(location_));
    transfer_ = starter_(argv);
    lastSize_ = -1;
    grewAtMs_ = platform::GetClock().MonotonicMs();
    return transfer_ != nullptr;
}

int FirmwareUpdate::CheckDownloadFwStatus() {
    if (!transfer_) return 0;
    const Transfer::State state = transfer_->Poll();
    if (state == Transfer::State::Succeeded) {
        transfer_.reset();
        return 2;
    }
    if (state == Transfer::State::Failed) {
        transfer_.reset();
        return 0;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(platform::SystemPath(path_), ec);
    const std::int64_t now = platform::GetClock().MonotonicMs();
    const std::int64_t current = ec ? 0 : static_cast<std::int64_t>(size);
    if (current > lastSize_) {
        lastSize_ = current;
        grewAtMs_ = now;
        return 1;
    }
    if (now - grewAtMs_ < kStallMs) return 1;
    // Stalled: the transfer is ended by its own id and counts as failed.
    transfer_->Stop();
    transfer_.reset();
    return 0;
}

void FirmwareUpdate::End() {
    if (transfer_) {
        transfer_->Stop();
        transfer_.reset();
    }
    step_ = 0;
    attempts_ = 0;
    retryWait_ = false;
    fwUpdateReq_ = false;
    // A finished update, failed or not, leaves no connector Unavailable.
    std::atomic_ref<std::int32_t>(app_.fwInstallState).store(0);
    const std::string dir = Dir();
    platform::RunCommand("umount " + dir, {"umount", platform::SystemPath(dir)});
}

void FirmwareUpdate::FwUpdateMgmt() {
    if (!fwUpdateReq_) return;
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (TestBit(x_, kBitFirmwareStatus)) return;
    if (step_ == 0 || step_ == 2) {
        if (transactionRunning_ && transactionRunning_()) return;
        if (platform::GetClock().WallSeconds() < retrieveDate_) return;
        if (retryWait_ && now - retryStartMs_ < retryIntervalMs_) return;
    }
    std::atomic_ref<std::int32_t> install(app_.fwInstallState);
    switch (step_) {
    case 0: {
        log_("[Info] FW Downloading");
        Status("Downloading");
        const bool started = InitDownloadFw();
        step_ = started ? 1 : 5;  // 5: a try that could not start
        break;
    }
    case 1:
    case 5: {
        const int r = step_ == 1 ? CheckDownloadFwStatus() : 0;
        if (r == 1) break;
        if (r == 2) {
            log_("[Info] FW Downloaded");
            Status("Downloaded");
            step_ = 2;
            break;
        }
        ++attempts_;
        log_("[Info] FW DownloadFailed");
        Status("DownloadFailed");
        if (attempts_ <= retries_) {
            step_ = 0;
            retryWait_ = true;
            retryStartMs_ = now;
        } else {
            step_ = 4;
        }
        break;
    }
    case 2:
        log_("[Info] FW Installing");
        Status("Installing");
        install.store(1);
        installStartMs_ = now;
        step_ = 3;
        break;
    case 3:
        if (install.load() == 2) {
            log_("[Info] FW Installed");
            Status("Installed");
            step_ = 4;
        } else if (install.load() == 3 || now - installStartMs_ >= kInstallMs) {
            log_("[Info] FW InstallationFailed");
            Status("InstallationFailed");
            install.store(3);
            step_ = 4;
        }
        break;
    default:
        End();
        break;
    }
}

}  // namespace ocppj
