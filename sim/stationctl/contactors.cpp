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

}  // namespace stationctl
