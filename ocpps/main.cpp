// Quillon: the OCPP 1.5 charge point's client on the main board.
#include <cstdio>
#include <string>

#include "clock.h"
#include "instance_lock.h"
#include "quillon.h"
#include "regmap_fields.h"
#include "shm.h"
#include "syslog.h"

namespace {
// Passes are paced so an idle loop does not spin on the map.
constexpr std::int64_t kPassPauseMs = 100;
}  // namespace

int main() {
    std::string error;
    if (!platform::HoldInstanceLock("Quillon", &error)) {
        std::fprintf(stderr, "Quillon: %s\n", error.c_str());
        return 1;
    }
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, false, 0777, &error);
    if (base == nullptr) {
        common::RecordSysLogf("[Quillon][%d] System init failed:%s", 931, "Shm(User)");
        return 1;
    }
    ocpps::Quillon q;
    q.map = regmap::RegisterMap(base, regmap::kMapSize);
    if (!ocpps::StartUp(q)) return 1;
    for (int failures = 0;; ++failures) {
        const std::int64_t wait = ocpps::BootStep(q, failures);
        if (wait == 0) break;
        platform::GetClock().SleepMs(wait);
    }
    for (;;) {
        ocpps::Pass(q);
        platform::GetClock().SleepMs(kPassPauseMs);
    }
}
