#include "tarnet.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "instance_lock.h"
#include "messages.h"
#include "ocpp_time.h"
#include "paths.h"
#include "reset.h"

namespace ocppj {

namespace {

int ClampConnectors(int n) { return n < 1 ? 1 : (n > fennick::kMaxConnectors ? fennick::kMaxConnectors : n); }

}  // namespace

std::string ReadValueFile(const std::string& dir, const std::string& name) {
    std::string text = platform::ReadTextFile(platform::SystemPath(dir + name), 127);
    std::size_t lf = text.find('\n');
    if (lf != std::string::npos) text.resize(lf);
    return text;
}

bool WriteValueFile(const std::string& dir, const std::string& name, const std::string& value) {
    std::error_code ec;
    std::filesystem::create_directories(platform::SystemPath(dir), ec);
    return platform::ReplaceFile(platform::SystemPath(dir + name), value + "\n");
}

void Tarnet::Log(const std::string& text) { RecordFennickLog(*app_, text); }

std::string Tarnet::StorageDir() const {
    std::string dir = FieldText(app_->storagePath);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

bool Tarnet::Init(fennick::FennickApp& app, Exchange& x) {
    app_ = &app;
    x_ = &x;
    config_.Init(app);
    connectors_ = ClampConnectors(config_.ConnectorCount());
    runtime_.assign(connectors_, ConnectorRuntime{});
    const std::string dir = StorageDir();
    for (int c = 1; c <= connectors_; ++c) {
        const std::string cdir = dir + "Cnntr" + std::to_string(c) + "/";
        runtime_[c - 1].transactionId = std::atoi(ReadValueFile(cdir, "TxnID").c_str());
        runtime_[c - 1].txnStartTime = std::atoi(ReadValueFile(cdir, "StartTime").c_str());
        runtime_[c - 1].offlineTxnId = std::atoi(ReadValueFile(cdir, "OffTxnID").c_str());
    }
    queue_.Init(dir);
    offlineTxnId_ = std::atoi(ReadValueFile(dir, "OffTxnID").c_str());
    localList_.Init(dir);
    localListVersion_ = localList_.ReadVersion();
    // The profile table comes back only as a whole: a short file is none of ours.
    std::memset(&profiles_, 0, sizeof profiles_);
    ProfileTable stored{};
    if (platform::ReadFileBytes(platform::SystemPath(dir + "ChgProfile"), reinterpret_cast<std::uint8_t*>(&stored),
                                sizeof stored) == static_cast<ssize_t>(sizeof stored))
        profiles_ = stored;

    // Everything from ctrlVersion on belongs to this run of Tarnet.
    std::memset(app.ctrlVersion, 0, sizeof(fennick::FennickApp) - offsetof(fennick::FennickApp, ctrlVersion));
    std::memcpy(app.ctrlVersion, kCtrlVersion, std::strlen(kCtrlVersion) + 1);
    for (int c = 1; c <= connectors_; ++c) {
        fennick::ConnectorRecord& r = fennick::ConnectorRec(app, c);
        r.currentLimitA = -1.0f;
        r.powerLimitW = -1.0f;
        const std::string cdir = dir + "Cnntr" + std::to_string(c) + "/";
        r.unavailable = static_cast<std::uint8_t>(std::atoi(ReadValueFile(cdir, "StsAvail").c_str()));
        PutText(r.idTag, ReadValueFile(cdir, "IdTag").substr(0, 20));
        PutText(r.parentIdTag, ReadValueFile(cdir, "PIdTag").substr(0, 20));
    }
    ResumeStatusRing();
    measurandSupport_.clear();
    for (std::size_t i = 0; i < fennick::kMeasurandCount; ++i)
        if (app.measurandSupport[i] == 1) measurandSupport_.push_back(fennick::MeterMeasurandDefTable[i]);
    cache_.Init(dir);
    heartbeatStartMs_ = platform::GetClock().MonotonicMs();
    firmware_ = std::make_unique<FirmwareUpdate>(
        app, x, [this](const std::string& t) { Log(t); },
        [this] {
            for (const ConnectorRuntime& r : runtime_)
                if (r.txnStartTime != 0) return true;
            return false;
        });
    diagnostics_ = std::make_unique<Diagnostics>(app, x, [this](const std::string& t) { Log(t); });
    FennickWatchdog();  // starts the transport
    Log(std::string("[Info] Fennick FW version:") + kCtrlVersion);
    return true;
}

void Tarnet::Pass() {
    ConfCommandHandling();
    CheckBackendCnnt();
    AuthMgmt();
    TransactionMgmt();
    StatusNotifMgmt();
    RsrvNowMgmt();
    ChgProfileMgmt();
    diagnostics_->GetDiagnosticsMgmt();
    firmware_->FwUpdateMgmt();
    MeterValueMgmt();
    HeartBeatMgmt();
    TxnMsgQueueBufMgmt();
    ResetMgmt();
    FennickWatchdog();
}

void Tarnet::ChangeConfigurationConf() {
    auto& slot = x_->changeConfiguration;
    std::string key = FieldText(slot.key);
    std::string logLine;
    std::string status = config_.Change(key, FieldText(slot.value), measurandSupport_, &logLine);
    if (!logLine.empty()) Log(logLine);
    PutText(slot.status, status);
    Log("[Info][Tarnet]ChangeConfiguration:key=" + key + ",status=" + status);
}

void Tarnet::GetConfigurationConf() { config_.Get(*x_); }

void Tarnet::ConfCommandHandling() {
    for (std::uint8_t byte = 1; byte <= 3; ++byte) {
        std::uint8_t flags = FlagByte(*x_, byte).load(std::memory_order_acquire);
        int limit = byte == 3 ? 3 : 8;  // byte 3 bits 3 and 4 are requests, not commands
        for (int bit = 0; bit < limit; ++bit) {
            if (!(flags & (1u << bit))) continue;
            const int command = (byte - 1) * 8 + bit;
            if (command == kCmdChangeConfiguration) {
                ChangeConfigurationConf();
                config_.SyncIn(*app_);
            } else if (command == kCmdGetConfiguration) {
                GetConfigurationConf();
            } else if (command == kCmdUpdateFirmware) {
                firmware_->UpdateFirmwareConf();
            } else if (command == kCmdGetDiagnostics) {
                diagnostics_->GetDiagnosticsConf();
            } else if (command == kCmdReset) {
                ResetConf();
            } else if (!ServeCommand(command)) {
                break;  // the answer waits for the station; the bit stays
            }
            ClearBit(*x_, CommandBit(command));  // the answer fields are complete before the bit falls
            break;
        }
    }
}

void Tarnet::HeartBeatMgmt() {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (Load(x_->bootAccepted)) {
        if (x_->boot.interval > 0) {
            config_.Change("HeartbeatInterval", std::to_string(x_->boot.interval), measurandSupport_, nullptr);
            app_->configValues.HeartbeatInterval = x_->boot.interval;
            std::atomic_ref<std::uint8_t>(app_->configChangedFlag).store(1, std::memory_order_release);
            heartbeatStartMs_ = now;
        }
        Store(x_->bootAccepted, 0);
    }
    if (FieldText(x_->boot.status) != "Accepted") {
        heartbeatStartMs_ = now;  // no heartbeat before acceptance
        return;
    }
    const std::int64_t interval = std::atoll(config_.Value("HeartbeatInterval").c_str());
    if (now - heartbeatStartMs_ < interval * 1000 || TestBit(*x_, kBitHeartbeat)) return;
    SetBit(*x_, kBitHeartbeat);
    heartbeatStartMs_ = now;
}

void Tarnet::ResetMgmt() {
    ResetSlot& slot = ResetSlotOf(*x_);
    const std::string type = FieldText(slot.type);
    if (type.empty() || FieldText(slot.status) != "Accepted") return;
    for (const ConnectorRuntime& r : runtime_)
        if (r.txnStartTime != 0) return;  // transactions are stopped first
    std::uint8_t& req = type == "Hard" ? app_->hardResetReq : app_->softResetReq;
    std::atomic_ref<std::uint8_t>(req).store(1, std::memory_order_release);
    std::memset(slot.type, 0, sizeof slot.type);
}

void Tarnet::FennickWatchdog() {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (watchdogAtMs_ >= 0 && now < watchdogAtMs_) return;
    watchdogAtMs_ = now + kWatchdogMs;
    if (platform::InstanceRunning("Fennick")) return;
    platform::Command cmd;
    cmd.text = "/root/Fennick &";
    cmd.argv = {"/root/Fennick"};
    cmd.background = true;
    if (platform::Runner().Run(cmd) != 0) Log("[Error][Tarnet]Fennick start failed");
}

}  // namespace ocppj
