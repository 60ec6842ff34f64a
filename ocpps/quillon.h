// Quillon's main process: BootNotification until accepted, then a loop that
// serves the charge point's request bits, keeps the Heartbeat going and
// expires reservations.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "regmap.h"
#include "requests.h"

namespace ocpps {

// A status record Quillon raises itself (reservation events); it waits until
// the record slot is free instead of replacing one Bastide has filled.
struct OwnStatus {
    std::uint8_t status;
    std::string info;
    std::int32_t timestamp;
};

// The UpdateFirmware being carried out, the main process's own copy: the
// command area's location slot is DataTransfer's too, and a later request
// must not change an update under way.
struct FirmwareRequest {
    bool held = false;
    std::int32_t retrieveDate = 0;
    std::string location;
    std::int32_t retries = 0;
    std::int32_t retryInterval = 0;  // s
};

struct Quillon {
    regmap::RegisterMap map;
    std::unique_ptr<Requests> requests;
    std::string lastAddress;           // of the own endpoint in use
    int heartbeatIntervalS = 0;
    std::int64_t lastHeartbeatMs = 0;  // monotonic
    std::int64_t heartbeatRetryMs = 0;  // back-off after a failed Heartbeat, 0 when none
    std::deque<OwnStatus> ownStatus;
    int meterIntervalS = 60;            // 0 or below: no meter values
    std::int64_t lastMeterValuesMs = -1;  // monotonic; -1 before the first
    std::int32_t lastEnergyWh = 0;     // the energy register never goes below what was sent
    int RecvThreadCPid = 0;             // the SOAP server process, 0 before the fork
    // Firmware download (UpdateFirmware).
    FirmwareRequest fw;
    std::uint8_t u8Step = 0;            // 0 download, 1 installation, 2 finish
    int u8Cnt = 0;                      // failed attempts
    std::int64_t tTmStart = 0;          // monotonic, last failed attempt; 0 before any
    std::int64_t tTmInstall = 0;        // monotonic, download done
    int fwPid = 0;                      // curl while it downloads
    std::string fwFile;                 // system path of the image
    // Diagnostics upload (GetDiagnostics).
    int diagPid = 0;                    // curl while it uploads
    std::string diagArchive;            // system path of the archive
};

// Queues a status record of Quillon's own (reservation events): NoError,
// "No Error", stamped now; it goes out once the record slot is free.
void QueueOwnStatus(Quillon& q, std::uint8_t status, std::string info);

// Start-up on an attached map: request bytes cleared, endpoints built and
// logged, the meter-value interval read, TLS set up when selected. False,
// with a log line, when the map holds no usable URL or TLS cannot be set up.
bool StartUp(Quillon& q);

// One BootNotification. Returns 0 when accepted (the clock is set, the
// online bit is on), else the milliseconds to wait before the next attempt.
std::int64_t BootStep(Quillon& q, int failures);

// One pass of the main loop.
void Pass(Quillon& q);

}  // namespace ocpps
