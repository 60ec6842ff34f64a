// The OCPP 1.6J configuration and command side of Bastide's bridge: keeps
// "/Storage/FennickConfig3" in step with the configuration in FennickApp,
// mirrors six values into the register map and the settings flash, keeps the
// offline policy of the register map and of OCPP 1.6J in step, passes the
// clock notice on, and carries out the resets Tarnet cannot do itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bastide.h"
#include "syslog.h"

namespace alarms {

using fennick::BuildFennickConfigImage;
using fennick::FennickConfigImageValid;
using fennick::kFennickConfigFile;
using fennick::kFennickConfigSize;

class FennickConfig {
public:
    // `b` gives the register map and the FennickApp in use; with nullptr or
    // without FennickApp nothing is done.
    explicit FennickConfig(Bastide* b) : b_(b) {}

    void sync_OCPP16Conf_with_SysConf();
    void Local_update_OCPP16Conf();
    int FennickCmdMgmt();

    // A soft reset waits this long after Tarnet reported Unavailable, so the
    // StatusNotification and the answer reach the central system first.
    static constexpr std::int64_t kSoftResetWaitMs = 20000;
    // After the programs were asked to end, Tarnet is started again once both
    // are gone, or after this long at most.
    static constexpr std::int64_t kSoftResetEndMs = 10000;
    // A hard reset comes more than this long after the request, so Tarnet's
    // answer and stops go out first; the link is then held down for 5 s.
    static constexpr std::int64_t kHardResetDelayMs = 29000;
    static constexpr std::int64_t kLinkHoldMs = 5000;
    // A failed file or flash write is tried again after this long.
    static constexpr std::int64_t kRetryMs = 5000;
    // A store that has waited this long for the flash lock says so.
    static constexpr std::int64_t kLockNoticeMs = 1000;

private:
    bool WriteConfigFile(const char* success, const char* shortWrite);
    void RetryPending(std::int64_t now);
    void Mirror();
    void StorePendingMirrors();
    void SoftReset(std::int64_t now);
    void HardReset(std::int64_t now);

    Bastide* b_;
    bool LocalUpdateOCPPconfig = false;
    std::uint8_t Sys_offline_policy_old_value = 255;
    std::uint8_t AuthorizationRequired_old_value = 255;
    std::uint8_t BasicAuthEnable_old_value = 255;
    std::string NonAuthorizedTag_old_value;
    std::string BasicAuthPassWord_old_value;
    bool localSeen_ = false;

    bool fileDirty_ = false;           // the file still lacks a change
    std::uint32_t flashPending_ = 0;   // mirror rows whose flash store failed
    std::int64_t fileRetryAtMs_ = 0;
    std::int64_t flashRetryAtMs_ = 0;   // the next pass while only the lock was busy
    std::int64_t lockWaitSinceMs_ = -1;  // first pass that found the flash lock held
    common::RepeatLog lockLog_;
    common::RepeatLog storeLog_;

    enum class Soft { Idle, Waiting, Ending } soft_ = Soft::Idle;
    std::int64_t softAtMs_ = 0;
    std::int64_t tTmStart = 0;         // when the pending hard reset was first seen
    bool hardSeen_ = false;
    bool linkHeld_ = false;
    std::int64_t holdAtMs_ = 0;
};

}  // namespace alarms
