#include "fennick_config.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "instance_lock.h"
#include "paths.h"
#include "regmap_fields.h"
#include "shared_bytes.h"
#include "store_flash.h"
#include "syslog.h"

namespace alarms {

using namespace regmap;

namespace {

// The status ring and its write index, cleared before Tarnet starts again.
constexpr std::size_t kRingFirst = 4188;
constexpr std::size_t kRingLast = 104543;

constexpr U8 SHRMEM_OFFLINE_POLICY{767};  // 0..4
constexpr Text SHRMEM_CHAP_USERNAME{20771, 32};
constexpr Text SHRMEM_CHAP_PASSWORD{20803, 32};
constexpr Text SHRMEM_CHARGE_BOX_ID{2624, 129};

// A configuration value and the register-map field it is mirrored into.
struct MirrorRow {
    std::size_t appOffset;
    std::size_t appWidth;  // 0: an int32
    std::uint32_t mapOffset;
    std::uint32_t mapWidth;
};
constexpr MirrorRow kMirrors[] = {
    {400, 0, SHRMEM_CONNECTION_TIMEOUT.offset, 4},
    {3105, 32, mainb::SHRMEM_3G_APN.offset, mainb::SHRMEM_3G_APN.size},
    {3137, 32, SHRMEM_CHAP_USERNAME.offset, SHRMEM_CHAP_USERNAME.size},
    {3169, 32, SHRMEM_CHAP_PASSWORD.offset, SHRMEM_CHAP_PASSWORD.size},
    {3201, 256, SHRMEM_OCPP_URL.offset, SHRMEM_OCPP_URL.size},
    {3498, 130, SHRMEM_CHARGE_BOX_ID.offset, SHRMEM_CHARGE_BOX_ID.size},
};

const std::uint8_t* AppBytes(const fennick::FennickApp& app) { return reinterpret_cast<const std::uint8_t*>(&app); }
std::uint8_t* AppBytes(fennick::FennickApp& app) { return reinterpret_cast<std::uint8_t*>(&app); }

std::int64_t NowMs() { return platform::GetClock().MonotonicMs(); }

// A text of the segment, up to its NUL or its width.
std::string AppText(const fennick::FennickApp& app, std::size_t offset, std::size_t width) {
    const char* p = reinterpret_cast<const char*>(AppBytes(app) + offset);
    return std::string(p, strnlen(p, width));
}

// Flags another program sets at any moment: taken in one step, so a setting
// between our read and our clear is never lost.
std::uint8_t TakeFlag(std::uint8_t& flag) {
    return std::atomic_ref<std::uint8_t>(flag).exchange(0, std::memory_order_acq_rel);
}

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

}  // namespace

// The file holds AuthorizationKey and ChapPassword: only root reads it, and
// it is replaced whole, so a cut leaves the old file or the new one.
bool FennickConfig::WriteConfigFile(const char* success, const char* failure) {
    std::uint8_t image[kFennickConfigSize];
    BuildFennickConfigImage(*b_->app, image);
    if (!platform::ReplaceFile(platform::SystemPath(kFennickConfigFile), image, sizeof image, 0600)) {
        Say(failure);
        fileDirty_ = true;
        fileRetryAtMs_ = NowMs() + kRetryMs;
        return false;
    }
    Say(success);
    fileDirty_ = false;
    return true;
}

void FennickConfig::sync_OCPP16Conf_with_SysConf() {
    if (b_ == nullptr || b_->app == nullptr) return;
    fennick::FennickApp& app = *b_->app;
    RegisterMap& map = b_->map;
    std::uint8_t m = map.get(SHRMEM_OFFLINE_POLICY);
    const bool first = Sys_offline_policy_old_value == 255;
    if (first) {
        Sys_offline_policy_old_value = m;
    } else {
        // A change made by Tarnet reaches the register map.
        const auto p = static_cast<std::uint8_t>(app.configValues.OfflinePolicy & 0xFF);
        const std::uint8_t target = p == 1 ? 2 : p == 2 ? 3 : p == 0 ? 0 : 255;
        if (target != 255 && Sys_offline_policy_old_value != target) {
            map.set(SHRMEM_OFFLINE_POLICY, target);
            Sys_offline_policy_old_value = target;
            m = target;
        }
    }
    if (m != Sys_offline_policy_old_value) {
        // A change made by the station side reaches OCPP; 1 has no OCPP value.
        if (m == 0) app.configValues.OfflinePolicy = 0;
        else if (m > 1) app.configValues.OfflinePolicy = m - 1;
        Sys_offline_policy_old_value = m;
        if (m == 2) app.configValues.LocalAuthorizeOffline = 1;
        LocalUpdateOCPPconfig = true;
    }
    if (first) {
        if (m == 2) app.configValues.LocalAuthorizeOffline = 1;
        WriteConfigFile("[Info][Fennick][ConfigTable] Sync function Write Config Success",
                        "[Info][Fennick][ConfigTable] Sync function Write Len Failed");
    }
}

void FennickConfig::Local_update_OCPP16Conf() {
    if (b_ == nullptr || b_->app == nullptr) return;
    const fennick::ConfigValues& c = b_->app->configValues;
    const std::string tag = AppText(*b_->app, 2969, 128);
    const std::string key = AppText(*b_->app, 3458, 40);
    if (!localSeen_) {
        localSeen_ = true;
        AuthorizationRequired_old_value = c.AuthorizationRequired;
        BasicAuthEnable_old_value = c.HTTPBasicAuthEnable;
        NonAuthorizedTag_old_value = tag;
        BasicAuthPassWord_old_value = key;
    }
    if (c.AuthorizationRequired != AuthorizationRequired_old_value) {
        AuthorizationRequired_old_value = c.AuthorizationRequired;
        LocalUpdateOCPPconfig = true;
    }
    if (c.HTTPBasicAuthEnable != BasicAuthEnable_old_value) {
        BasicAuthEnable_old_value = c.HTTPBasicAuthEnable;
        LocalUpdateOCPPconfig = true;
    }
    if (tag != NonAuthorizedTag_old_value) {
        NonAuthorizedTag_old_value = tag;
        LocalUpdateOCPPconfig = true;
    }
    if (key != BasicAuthPassWord_old_value) {
        BasicAuthPassWord_old_value = key;
        LocalUpdateOCPPconfig = true;
    }
}

void FennickConfig::Mirror() {
    const fennick::FennickApp& app = *b_->app;
    RegisterMap& map = b_->map;
    for (std::size_t i = 0; i < std::size(kMirrors); ++i) {
        const MirrorRow& row = kMirrors[i];
        if (row.appWidth == 0) {
            std::int32_t value = 0;
            std::memcpy(&value, AppBytes(app) + row.appOffset, sizeof value);
            const S32Le field{row.mapOffset};
            if (map.get(field) == value) continue;
            map.set(field, value);
        } else {
            // Compared as the field can hold it, so a value longer than the
            // field is not stored again on every change.
            std::string value = AppText(app, row.appOffset, row.appWidth);
            if (value.size() > row.mapWidth - 1) value.resize(row.mapWidth - 1);
            const Text field{row.mapOffset, row.mapWidth};
            if (map.get(field) == value) continue;
            map.clear(field);
            map.set(field, value);
        }
        flashPending_ |= 1u << i;
    }
    StorePendingMirrors();
}

// A field whose store failed stays pending and is stored again later: the
// register map already holds the value, so no later compare would find it.
// The alarm loop never waits for the flash lock: a held lock leaves the
// field pending for the next pass.
void FennickConfig::StorePendingMirrors() {
    for (std::size_t i = 0; i < std::size(kMirrors); ++i) {
        if ((flashPending_ & (1u << i)) == 0) continue;
        const MirrorRow& row = kMirrors[i];
        const int stored = common::TryStoreFlash(b_->map, static_cast<std::int32_t>(row.mapOffset),
                                                 static_cast<std::int32_t>(row.mapWidth));
        if (stored == 1) {
            flashPending_ &= ~(1u << i);
            lockWaitSinceMs_ = -1;
            continue;
        }
        const std::int64_t now = NowMs();
        if (stored == common::kFlashBusy) {
            if (lockWaitSinceMs_ < 0) lockWaitSinceMs_ = now;
            if (now - lockWaitSinceMs_ > kLockNoticeMs) {
                lockLog_.Record(common::FormatLogText("[Bastide] Settings at %u wait for the flash lock (byte 477)",
                                                      static_cast<unsigned>(row.mapOffset)));
            }
            flashRetryAtMs_ = now;
        } else {
            storeLog_.Record(common::FormatLogText("[Bastide] Settings at %u not stored in flash; tried again later",
                                                   static_cast<unsigned>(row.mapOffset)));
            flashRetryAtMs_ = now + kRetryMs;
        }
        return;
    }
}

void FennickConfig::RetryPending(std::int64_t now) {
    if (fileDirty_ && now >= fileRetryAtMs_) {
        WriteConfigFile("[Info][Fennick][ConfigTable] Write Success", "[Info][Fennick][ConfigTable] Write Len Failed");
    }
    if (flashPending_ != 0 && now >= flashRetryAtMs_) StorePendingMirrors();
}

int FennickConfig::FennickCmdMgmt() {
    if (b_ == nullptr || b_->app == nullptr) return 1;
    fennick::FennickApp& app = *b_->app;
    const std::int64_t now = NowMs();

    if (TakeFlag(app.clockSetFlag) != 0) b_->map.set(SHRMEM_CLOCK_CHANGED, 1);

    const bool fromTarnet = TakeFlag(app.configChangedFlag) != 0;
    if (fromTarnet || LocalUpdateOCPPconfig) {
        WriteConfigFile("[Info][Fennick][ConfigTable] Write Success", "[Info][Fennick][ConfigTable] Write Len Failed");
        // A change made by the station side is already in the register map;
        // one made by Tarnet in the same pass still has to reach it.
        if (fromTarnet) Mirror();
        LocalUpdateOCPPconfig = false;
    } else {
        RetryPending(now);
    }

    SoftReset(now);
    HardReset(now);
    return 1;
}

// Tarnet has answered the Reset and reported Unavailable; after the wait both
// OCPP programs are ended by their own process ids and Tarnet is started
// again once they are gone. The wait runs on timers: the alarm loop goes on.
void FennickConfig::SoftReset(std::int64_t now) {
    fennick::FennickApp& app = *b_->app;
    switch (soft_) {
    case Soft::Idle: {
        const auto status = [&](int c) { return std::atomic_ref<std::uint8_t>(fennick::ConnectorRec(app, c).status).load(); };
        if (std::atomic_ref<std::uint8_t>(app.softResetReq).load() == 1 &&
            (status(1) == fennick::kStsUnavailable || status(2) == fennick::kStsUnavailable)) {
            soft_ = Soft::Waiting;
            softAtMs_ = now;
        }
        break;
    }
    case Soft::Waiting:
        if (now - softAtMs_ < kSoftResetWaitMs) break;
        for (const char* name : {"Tarnet", "Fennick"}) {
            const int pid = platform::InstanceHolderPid(name);
            if (pid > 0) platform::TerminateProcess(pid);
        }
        common::RecordSysLog("[Bastide] OCPP-J soft reset: Tarnet and Fennick ended");
        soft_ = Soft::Ending;
        softAtMs_ = now;
        break;
    case Soft::Ending: {
        const bool gone = !platform::InstanceRunning("Tarnet") && !platform::InstanceRunning("Fennick");
        if (now - softAtMs_ < 1000 || (!gone && now - softAtMs_ < kSoftResetEndMs)) break;
        std::atomic_ref<std::uint8_t>(app.softResetReq).store(0);
        std::memset(AppBytes(app) + kRingFirst, 0, kRingLast - kRingFirst + 1);
        platform::Command cmd;
        cmd.text = "/root/Tarnet &";
        cmd.argv = {"/root/Tarnet"};
        cmd.background = true;
        if (platform::Runner().Run(cmd) != 0) common::RecordSysLog("[Bastide] Tarnet start failed");
        soft_ = Soft::Idle;
        break;
    }
    }
}

// The reboot comes more than 29 s after the request was first seen, the link
// held down for the last 5 s of it; the hold is a timer, not a sleep of the
// alarm loop.
void FennickConfig::HardReset(std::int64_t now) {
    fennick::FennickApp& app = *b_->app;
    if (std::atomic_ref<std::uint8_t>(app.hardResetReq).load() != 1) {
        hardSeen_ = false;
        linkHeld_ = false;
        return;
    }
    if (!hardSeen_) {
        hardSeen_ = true;
        tTmStart = now;
    }
    if (!linkHeld_) {
        if (now - tTmStart <= kHardResetDelayMs) return;
        std::atomic_ref<std::int32_t>(app.ocppLinkHold).store(1);
        linkHeld_ = true;
        holdAtMs_ = now;
        return;
    }
    if (now - holdAtMs_ < kLinkHoldMs) return;
    platform::RunCommand("/sbin/reboot -f", {"/sbin/reboot", "-f"});
    // Reached only when the reboot did not happen.
    std::atomic_ref<std::uint8_t>(app.hardResetReq).store(0);
    hardSeen_ = false;
    linkHeld_ = false;
}

}  // namespace alarms
