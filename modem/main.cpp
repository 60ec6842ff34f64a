// Wendle: the cellular modem manager of the main board.
#include <cstdio>
#include <string>

#include "fennick_app.h"
#include "instance_lock.h"
#include "modem_io.h"
#include "netinfo.h"
#include "regmap_fields.h"
#include "shm.h"
#include "syslog.h"
#include "wendle.h"

namespace {

void InitFailed(int number, const char* what) {
    common::RecordSysLogf("[Wendle][%d] System init failed:%s", number, what);
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string error;
    if (!platform::HoldInstanceLock("Wendle", &error)) {
        std::fprintf(stderr, "Wendle: %s\n", error.c_str());
        return 1;
    }
    using namespace regmap;
    std::uint8_t* base = platform::AttachSegment(kMapKey, kMapSize, false, 0777, &error);
    if (base == nullptr) {
        const bool attach = error.rfind("shmat", 0) == 0;
        InitFailed(attach ? 4193 : 4173, attach ? "shmat(User)" : "shmget(User)");
        return 0;
    }
    RegisterMap map(base, kMapSize);
    fennick::FennickApp* app = fennick::AttachFennickApp(false, &error);
    if (app == nullptr) {
        const bool attach = error.rfind("shmat", 0) == 0;
        InitFailed(attach ? 4234 : 4214, attach ? "shmat(Fennick)" : "shmget(Fennick)");
        map.setShared(ALARM_INIT_FAIL, true);
        return 0;
    }

    modem::SerialModemIo io;
    modem::Wendle w;
    w.io = &io;
    w.map = map;
    w.board.ppp0Address = []() -> std::optional<std::string> {
        auto c = platform::InterfaceIpv4("ppp0");
        if (!c) return std::nullopt;
        return FormatIpv4(c->address);
    };
    w.board.websocketConnected = [app] {
        return std::atomic_ref<std::uint8_t>(app->websocketConnected).load(std::memory_order_relaxed) != 0;
    };
    modem::StartValues(w);
    modem::RunWendle(w);
}
