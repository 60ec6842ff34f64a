// Bastide: the alarm and event manager of the main board.
#include <cstdio>
#include <string>

#include "bastide.h"
#include "ocpp15_status.h"
#include "clock.h"
#include "instance_lock.h"
#include "regmap_fields.h"
#include "shm.h"
#include "store_flash.h"
#include "syslog.h"
#include "timeutil.h"

namespace {

// Passes are paced so the loop does not spin on an unchanged map; a change
// waits at most this long to be seen.
constexpr std::int64_t kPassPauseMs = 50;
// A missing FennickApp is looked for again this often: the station side may
// create it after Bastide has started.
constexpr std::int64_t kAppRetryMs = 10000;

}  // namespace

int main() {
    std::string error;
    if (!platform::HoldInstanceLock("Bastide", &error)) {
        std::fprintf(stderr, "Bastide: %s\n", error.c_str());
        return 1;
    }
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, false, 0777, &error);
    if (base == nullptr) {
        common::RecordSysLogf("[Bastide][%d] System init failed:%s", 297, "Shm(User)");
        return 1;
    }
    alarms::Bastide b;
    b.map = regmap::RegisterMap(base, regmap::kMapSize);
    alarms::StationBridge bridge(b.map, &b);
    b.bridge = &bridge;
    b.app = fennick::AttachFennickApp(false, &error);
    if (b.app == nullptr) common::RecordSysLogf("[Bastide][%d] System init failed:%s", 330, "Shm(Fennick)");
    alarms::StartUp(b);

    common::TimeStamp lastAttempt = common::MonotonicNow();
    for (;;) {
        if (b.app == nullptr && common::ElapsedMs(lastAttempt) >= kAppRetryMs) {
            b.app = fennick::AttachFennickApp(false, &error);
            lastAttempt = common::MonotonicNow();
        }
        alarms::Pass(b);
        // A lock left by a writer that died is freed even while Bastide has
        // nothing to store, so Quillon's stores are not refused for ever.
        common::WatchFlashLock(b.map);
        platform::GetClock().SleepMs(kPassPauseMs);
    }
}
