// Tarnet: the OCPP 1.6J charge-point logic. Start-up restores its state from
// the value files and starts Fennick; then one pass a second serves the
// central system's commands, the heartbeat, the reset hand-over and the
// transport watchdog.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config_table.h"
#include "exchange.h"
#include "fennick_app.h"
#include "firmware.h"

namespace ocppj {

inline constexpr const char* kCtrlVersion = "02.09.00.09";

// Value files: one value and a line feed under the storage directory.
// Reading gives the text up to the first line feed (at most 127 characters),
// "" when the file is missing or empty; writing replaces the file atomically.
std::string ReadValueFile(const std::string& dir, const std::string& name);
bool WriteValueFile(const std::string& dir, const std::string& name, const std::string& value);

struct ConnectorRuntime {
    std::int32_t transactionId = 0;
    std::int32_t txnStartTime = 0;
};

class Tarnet {
public:
    static constexpr std::int64_t kWatchdogMs = 60000;

    // Returns false (with the log line written) when start-up fails.
    bool Init(fennick::FennickApp& app, Exchange& x);
    // One pass of the main loop.
    void Pass();

    void ConfCommandHandling();
    void HeartBeatMgmt();
    void ResetMgmt();
    void FennickWatchdog();

    const ConfigTable& Config() const { return config_; }
    int ConnectorCount() const { return connectors_; }

private:
    void Log(const std::string& text);
    std::string StorageDir() const;
    void ChangeConfigurationConf();
    void GetConfigurationConf();

    fennick::FennickApp* app_ = nullptr;
    Exchange* x_ = nullptr;
    ConfigTable config_;
    int connectors_ = 1;
    std::vector<ConnectorRuntime> runtime_;
    std::vector<std::string> measurandSupport_;
    std::int32_t offlineTxnId_ = 0;
    std::int32_t localListVersion_ = 0;
    std::int64_t heartbeatStartMs_ = 0;
    std::int64_t watchdogAtMs_ = -1;  // -1: check at once
    std::unique_ptr<FirmwareUpdate> firmware_;
};

}  // namespace ocppj
