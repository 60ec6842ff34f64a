// Quillon: the OCPP 1.5 charge point's client on the main board.
#include <cstdio>
#include <string>

#include "clock.h"
#include "instance_lock.h"
#include "children.h"
#include "program.h"
#include "quillon.h"
#include "server.h"
#include "regmap_fields.h"
#include "shm.h"
#include "syslog.h"

namespace {
// Passes are paced so an idle loop does not spin on the map.
constexpr std::int64_t kPassPauseMs = 100;
// A server process that could not start or ended is started again after this.
constexpr std::int64_t kServerRestartMs = 60000;

// The SOAP server process: it ends with the main process.
void KeepServer(ocpps::Quillon& q, std::int64_t* lastStartMs) {
    int code = 0;
    if (q.RecvThreadCPid > 0 && platform::PollProgram(q.RecvThreadCPid, &code) == platform::ProgramState::Running) return;
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (*lastStartMs != 0 && now - *lastStartMs < kServerRestartMs) return;
    if (q.RecvThreadCPid > 0) common::RecordSysLogf("[OCPP]main:SOAP server ended (%d), started again", code);
    *lastStartMs = now;
    const regmap::RegisterMap map = q.map;
    const pid_t pid = platform::StartChild([map] { return ocpps::RunServer(map) ? 0 : 1; });
    q.RecvThreadCPid = pid > 0 ? pid : 0;
}
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
    std::int64_t serverStartMs = 0;
    for (;;) {
        KeepServer(q, &serverStartMs);
        ocpps::Pass(q);
        platform::GetClock().SleepMs(kPassPauseMs);
    }
}
