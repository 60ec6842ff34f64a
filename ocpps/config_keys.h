// The configuration keys of the OCPP 1.5 charge point (GetConfiguration,
// ChangeConfiguration) and its DataTransfer vendors, executed by Quillon's
// main process on the command area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "regmap.h"

namespace ocpps {

struct ConfigEntry {
    std::string key;
    bool readonly = false;
    std::string value;
};

// The vendorId under which a demand-response back end sends SetDRConfig,
// GetDRConfig and GetStatus.
inline constexpr const char* kDrVendorId = "com.vanto.demandresponse";
inline constexpr const char* kVantoVendorId = "Vanto Electronic";

// Rebuilds the configuration table of the command area (4799-6731) from the
// station bytes and the intervals in use by the main process.
void BuildConfigTable(regmap::RegisterMap map, int heartbeatIntervalS, int meterIntervalS);
// The table as the main process last wrote it.
std::vector<ConfigEntry> ReadConfigTable(regmap::RegisterMap map);
// The first entry whose key equals `key` ignoring case, or none.
const ConfigEntry* FindConfigEntry(const std::vector<ConfigEntry>& table, const std::string& key);

// Executes the ChangeConfiguration of the command area: the station byte
// written and persisted, or the interval changed; returns the
// ConfigurationStatus (0 Accepted, 1 Rejected, 2 NotSupported), also written
// to 4167. A value that is not a whole decimal number is Rejected.
std::uint8_t ChangeConfiguration(regmap::RegisterMap map, int* heartbeatIntervalS, int* meterIntervalS);

// Executes the DataTransfer of the command area: the status (0 Accepted,
// 1 Rejected, 2 UnknownMessageId, 3 UnknownVendorId) to 4474 and the answer
// data in place of the request's.
std::uint8_t DataTransfer(regmap::RegisterMap map);

}  // namespace ocpps
