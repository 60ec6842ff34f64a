// A test clock whose sleeps let the outside world act: the station
// controller answering a handshake, a vehicle changing its frames.
#pragma once

#include <functional>

#include "clock.h"

class SteppedClock final : public platform::Clock {
public:
    std::int64_t MonotonicMs() override { return ms; }
    std::int64_t WallMs() override { return 1700000000000 + ms; }
    void SleepMs(std::int64_t d) override {
        ms += d;
        if (onSleep) onSleep();
    }
    void SetWallSeconds(std::int64_t) override {}
    std::int64_t ms = 0;
    std::function<void()> onSleep;
};
