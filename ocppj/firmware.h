// UpdateFirmware: waits for the retrieve date and for every transaction to
// end, downloads the image by curl into `fwDownloadDir`, hands it to the
// station side through `fwInstallState` and reports each stage with a
// FirmwareStatusNotification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exchange.h"
#include "fennick_app.h"

namespace ocppj {

// The UpdateFirmware command slot of the exchange segment (53452).
struct UpdateFirmwareSlot {
    char location[256];
    std::int32_t retries;
    char retrieveDate[28];
    std::int32_t retryInterval;  // s
};
static_assert(sizeof(UpdateFirmwareSlot) == 292);
static_assert(offsetof(UpdateFirmwareSlot, retries) == 53708 - 53452);
static_assert(offsetof(UpdateFirmwareSlot, retrieveDate) == 53712 - 53452);
static_assert(offsetof(UpdateFirmwareSlot, retryInterval) == 53740 - 53452);
inline constexpr std::size_t kUpdateFirmwareSlot = 53452;
UpdateFirmwareSlot& FirmwareSlot(Exchange& x);

// The file name a location gives: the text after its last "/" (query and
// fragment left out), only [A-Za-z0-9._-] kept, never empty, "." or "..".
std::string ImageNameFromLocation(const std::string& location);
// The location as it may be logged: a password in it is shown as "****".
std::string MaskLocation(const std::string& location);

// The curl argument list of a transfer to or from `location`: failures come
// back as its exit status, only the protocols of OCPP transfers are allowed,
// the server is verified against the station's CA, and the location is one
// argument after "--", so no text of it can be taken as an option.
std::vector<std::string> CurlCommand(const fennick::FennickApp& app, std::vector<std::string> options,
                                     const std::string& location);

// One transfer in progress, as the state machine sees it.
class Transfer {
public:
    enum class State { Running, Succeeded, Failed };
    virtual ~Transfer() = default;
    virtual State Poll() = 0;
    virtual void Stop() = 0;
};
// Starts a download of `location` into `path`; nullptr when it cannot start.
using TransferStarter = std::function<std::unique_ptr<Transfer>(const std::vector<std::string>& argv)>;
// The real one: the argument list run as a program of its own.
std::unique_ptr<Transfer> StartProgramTransfer(const std::vector<std::string>& argv);

class FirmwareUpdate {
public:
    // A download whose file has not grown for this long has failed.
    static constexpr std::int64_t kStallMs = 60000;
    // The station side has this long to install the image.
    static constexpr std::int64_t kInstallMs = 7200000;

    FirmwareUpdate(fennick::FennickApp& app, Exchange& x, std::function<void(const std::string&)> log,
                   std::function<bool()> transactionRunning, TransferStarter starter = StartProgramTransfer)
        : app_(app), x_(x), log_(std::move(log)), transactionRunning_(std::move(transactionRunning)),
          starter_(std::move(starter)) {}

    // The UpdateFirmware command: the request is taken from the slot.
    void UpdateFirmwareConf();
    // Once a second.
    void FwUpdateMgmt();
    bool Pending() const { return fwUpdateReq_; }
    // The curl argument list of a download (for tests and the log).
    std::vector<std::string> DownloadCommand(const std::string& path) const;

private:
    void Status(const char* status);
    bool InitDownloadFw();
    int CheckDownloadFwStatus();  // 1 in progress, 2 downloaded, 0 failed
    void End();
    std::string Dir() const;

    fennick::FennickApp& app_;
    Exchange& x_;
    std::function<void(const std::string&)> log_;
    std::function<bool()> transactionRunning_;
    TransferStarter starter_;

    bool fwUpdateReq_ = false;
    std::string location_;
    std::int32_t retries_ = 0;
    std::int64_t retrieveDate_ = 0;
    std::int64_t retryIntervalMs_ = 0;
    int step_ = 0;
    int attempts_ = 0;
    bool retryWait_ = false;
    std::int64_t retryStartMs_ = 0;
    std::int64_t installStartMs_ = 0;
    std::string path_;
    std::unique_ptr<Transfer> transfer_;
    std::int64_t lastSize_ = -1;
    std::int64_t grewAtMs_ = 0;
};

}  // namespace ocppj
