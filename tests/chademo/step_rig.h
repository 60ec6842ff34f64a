// One step of a CHAdeMO session against a vehicle and a station controller
// that act on the test clock: every sleep of the step lets them move.
#pragma once

#include <functional>
#include <vector>

#include "fake_lines.h"
#include "log_reader.h"
#include "regmap_chademo.h"
#include "steps.h"
#include "stepped_clock.h"
#include "testroot.h"

struct StepRig {
    StepRig() : mem(regmap::kMapSize), map(mem.data(), mem.size()) {
        root.Make("/Storage/SystemLog");
        lines.inputs[chademo::kGpioJ] = [this] { return std::optional<char>(permission ? '0' : '1'); };
        lines.inputs[chademo::kGpioLockDetect] = [this] {
            return std::optional<char>(lines.out[chademo::kGpioLock] == '1' && lockWorks ? '0' : '1');
        };
        clock.onSleep = [this] {
            for (auto& [at, act] : events)
                if (act && clock.ms >= at) {
                    auto a = std::move(act);
                    act = nullptr;
                    a();
                }
            if (every) every();
        };
        // A vehicle that has sent its frames and enables charging.
        map.set(regmap::StartRecv, 7);
        map.set(regmap::EV102_STATUS, chademo::kEvChargingEnabled);
    }
    // `act` runs at the first sleep at or after `ms`.
    void At(std::int64_t ms, std::function<void()> act) { events.emplace_back(ms, std::move(act)); }
    std::string Log() const { return ReadSystemLog(root.path()); }
    std::uint8_t Status() const { return map.get(regmap::CP109_STATUS); }
    char Out(int line) { return lines.out.count(line) ? lines.out[line] : '-'; }

    TestRoot root;
    SteppedClock clock;
    platform::ScopedClock scopedClock{clock};
    FakeLines lines;
    ScopedLines scopedLines{lines};
    std::vector<std::uint8_t> mem;
    regmap::RegisterMap map;
    bool permission = true, lockWorks = true;
    chademo::VehicleSignals signals;
    chademo::SessionLog log{map, {[this] { return signals.GetOptoJ(); }, [this] { return signals.ConnectorLock(2); }}};
    chademo::StepPorts ports{map, log, signals};
    std::vector<std::pair<std::int64_t, std::function<void()>>> events;
    std::function<void()> every;
};
