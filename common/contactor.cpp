#include "contactor.h"

#include "can.h"
#include "clock.h"
#include "regmap_power.h"

namespace common {

int SwitchSS(regmap::RegisterMap& map, int value) {
    using namespace regmap;
    if (value == 0) {
        platform::CanLinkDown("can0");
        map.set(SHRMEM_RECTIFIER_QTY, 0);
    } else if (value == 1) {
        platform::CanLinkUp("can0", 500000, 100);
    } else if (value == 2) {
        return map.get(SHRMEM_AC_CONTACTOR) & 1;
    }
    const auto request = static_cast<std::uint8_t>((value & 0x7F) | 0x80);
    auto ask = [&] {
        map.set(SHRMEM_AC_CONTACTOR2, request);
        map.set(SHRMEM_AC_CONTACTOR, request);
    };
    ask();
    auto& clock = platform::GetClock();
    const std::int64_t t0 = clock.MonotonicMs();
    while (clock.MonotonicMs() - t0 < kContactorWaitMs) {
        const std::uint8_t answer = map.get(SHRMEM_AC_CONTACTOR);
        if ((answer & 0x80) == 0) {
            if (answer == value) return answer & 1;
            ask();
        }
        clock.SleepMs(kContactorPollMs);
    }
    return 2;
}

}  // namespace common
