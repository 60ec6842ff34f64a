#include "contactors.h"

#include "regmap_power.h"

namespace stationctl {

bool ServeContactors(regmap::RegisterMap& map) {
    using namespace regmap;
    const std::uint8_t request = map.get(SHRMEM_AC_CONTACTOR);
    if ((request & 0x80) == 0) return false;
    const auto state = static_cast<std::uint8_t>(request & 0x01);
    map.set(SHRMEM_AC_CONTACTOR2, state);
    map.set(SHRMEM_AC_CONTACTOR, state);
    return true;
}

void ServeOutputSide(regmap::RegisterMap& map, std::int64_t nowMs, std::int64_t testMs) {
    using namespace regmap;
    for (std::uint32_t relay : {2782u, 2783u, 2784u}) {
        const std::uint8_t request = map.get(U8{relay});
        if (request & 0x80) map.set(U8{relay}, static_cast<std::uint8_t>(request & 0x03));
    }
    static std::int64_t testAskedAt = -1;
    const U8 test{21546};
    if (map.get(test) != 1) {
        testAskedAt = -1;
    } else if (testAskedAt < 0) {
        // The test measures across the outlet: its relay closes for it and
        // stays closed for the charge until the session opens it.
        map.set(U8{2783}, 0x03);
        testAskedAt = nowMs;
    } else if (nowMs - testAskedAt >= testMs) {
        map.set(test, 3);
        testAskedAt = -1;
    }
}

}  // namespace stationctl
