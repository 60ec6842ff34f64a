// Scrivet: the board link controller of the main board.
#include <cstdio>
#include <string>

#include "clock.h"
#include "instance_lock.h"
#include "paths.h"
#include "regmap_fields.h"
#include "scrivet.h"
#include "serial.h"
#include "shm.h"
#include "syslog.h"

int main() {
    using namespace regmap;
    std::string error;
    if (!platform::CheckStationRoot(&error)) {
        std::fprintf(stderr, "Scrivet: not started: %s\n", error.c_str());
        return 1;
    }
    // One link master per board: two would answer each other's frames.
    if (!platform::HoldInstanceLock("Scrivet", &error)) {
        common::RecordSysLogf("[Scrivet] Not started: %s", error.c_str());
        return 1;
    }
    std::uint8_t* base = platform::AttachSegment(kMapKey, kMapSize, false, 0777, &error);
    if (base == nullptr) {
        const bool attach = error.rfind("shmat", 0) == 0;
        common::RecordSysLogf("[Scrivet][%d] System init failed:%s", attach ? 1352 : 1332,
                              attach ? "shmat(User)" : "shmget(User)");
        return 0;
    }
    boardlink::Scrivet s;
    s.map = RegisterMap(base, kMapSize);

    const int fd = platform::OpenSerial(platform::SystemPath("/dev/ttyAMA4"));
    if (fd < 1) {
        common::RecordSysLogf("[Scrivet][%d] System init failed:%s", 1376, "open(ttyAMA4)");
        s.map.set(ALARM_INIT_FAIL, true);
        return 0;
    }
    platform::FlushInput(fd);
    boardlink::InitCcsStatusBlock(s.map);

    linkwire::FdLinkPort port(fd);
    while (!boardlink::LinkCycle(s, port)) {
    }
    boardlink::FirmwarePush(s, port);
    for (;;) platform::GetClock().SleepMs(2000);
}
