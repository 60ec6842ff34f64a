// Corvane: one CHAdeMO session per process. A new process is started for the
// next session.
#include <cstdio>
#include <memory>

#include "can_io.h"
#include "charger_frames.h"
#include "clock.h"
#include "children.h"
#include "command.h"
#include "instance_lock.h"
#include "paths.h"
#include "priority.h"
#include "regmap_chademo.h"
#include "session.h"
#include "shm.h"
#include "syslog.h"

int main() {
    using namespace regmap;
    std::string error;
    if (!platform::CheckStationRoot(&error)) {
        std::fprintf(stderr, "Corvane: not started: %s\n", error.c_str());
        return 1;
    }
    std::uint8_t* base = platform::AttachSegment(kMapKey, kMapSize, false, 0777, &error);
    if (base == nullptr) {
        // No step of a session runs without the map.
        common::RecordSysLogf("[Corvane][%d] System init failed:%s", 2622, "Shm(User)");
        return 1;
    }
    RegisterMap map(base, kMapSize);
    // Two sessions on one connector would both drive the vehicle's lines.
    if (!platform::HoldInstanceLock("Corvane", &error)) {
        common::RecordSysLogf("[Corvane] Not started: %s", error.c_str());
        return 1;
    }
    platform::SystemRunner runner;
    chademo::SetCan1(runner, "type can bitrate 500000 restart-ms 100");
    chademo::SetCan1(runner, "up");
    SetBitsAtomic(map, ALARM_SMR_COMM, false);

    platform::CanOpenStep step = platform::CanOpenStep::Ok;
    std::unique_ptr<platform::CanBus> bus = platform::OpenCan("can1", &step, chademo::kCan1TimeoutUs);
    if (!bus) {
        if (step != platform::CanOpenStep::LaterOption) SetBitsAtomic(map, ALARM_CHADEMO_COMM, true);
        return 0;
    }
    chademo::VehicleSignals signals;
    signals.Setup();
    chademo::SessionLog log(map, {[&] { return signals.GetOptoJ(); }, [&] { return signals.ConnectorLock(2); }});
    chademo::SessionPorts ports{map, log, signals, *bus, runner, [&]() -> pid_t {
        return platform::StartChild([&] {
            // The charger's frames keep their period only ahead of the rest.
            platform::SetOwnNiceness(-20);
            log.Background();
            chademo::CanIo io(map, *bus, log, [&] { return signals.GetD1D2(1); },
                              [] { return platform::InstanceRunning("Pellion"); });
            for (;;) io.Pass();
            return 0;
        });
    }};
    // The two computations pause between passes: the I/O process sends
    // their bytes every 92 ms.
    auto computation = [&](void (chademo::ChargerFrames::*pass)()) {
        return platform::StartChild([&, pass] {
            chademo::ChargerFrames frames(map, log, [&] { signals.SwitchD1D2(1, 0); });
            for (;;) {
                (frames.*pass)();
                platform::GetClock().SleepMs(10);
            }
            return 0;
        });
    };
    ports.startFrames = [&] { return computation(&chademo::ChargerFrames::FramePass); };
    ports.startTime = [&] { return computation(&chademo::ChargerFrames::TimePass); };
    chademo::Session session(ports);
    session.Run();
    return 0;
}
