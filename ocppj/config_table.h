// Tarnet's configuration table: the 50 OCPP configuration keys with their
// values as text, built from FennickApp's configValues, answered to
// GetConfiguration and changed by ChangeConfiguration, then written back.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "exchange.h"
#include "fennick_app.h"

namespace ocppj {

inline constexpr int kConfigKeys = 50;

struct ConfigEntry {
    std::string key;
    bool writable = false;
    int type = 0;  // 0 length limit, 1 boolean, 2 integer, 3 text or list
    std::string value;
};

class ConfigTable {
public:
    // Builds the table from configValues; NumberOfConnectors is held in 1..5.
    void Init(const fennick::FennickApp& app);
    // Writes the writable values back into configValues and raises configChangedFlag.
    void SyncIn(fennick::FennickApp& app) const;

    // ChangeConfiguration: the answer status text. `supported` are the
    // measurand names the station measures.
    std::string Change(const std::string& key, const std::string& value, const std::vector<std::string>& supported,
                       std::string* logLine);
    // GetConfiguration: fills the answer lists of the slot from its requested keys.
    void Get(Exchange& x) const;

    const ConfigEntry* Find(const std::string& key) const;
    std::string Value(const std::string& key) const;
    int ConnectorCount() const;
    const std::array<ConfigEntry, kConfigKeys>& Entries() const { return entries_; }

private:
    std::array<ConfigEntry, kConfigKeys> entries_;
};

// Checks a comma-separated measurand list against the supported names. On a
// fault, the log line names the value and the index where it was found.
bool CheckMeasurandList(const std::string& value, const std::vector<std::string>& supported, std::string* logLine);

// Keys that a change needs a reboot for, and keys whose value is never shown.
bool IsItemNeedReboot(const std::string& key);
bool IsWriteOnly(const std::string& key);

}  // namespace ocppj
