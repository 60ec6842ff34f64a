// stationctl: stands in for the main board's station controller in the
// simulation. It creates the main board's register map, restores a settings
// image (the station's defaults) and writes the fields the station
// controller owns, then leaves; the programs of the board attach the map.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "regmap_fields.h"
#include "settings_defaults.h"
#include "shm.h"

int main() {
    using namespace regmap;
    std::string error;
    std::uint8_t* base = platform::AttachSegment(kMapKey, kMapSize, true, 0777, &error);
    if (base == nullptr) {
        platform::ReportInitFailure("SharedRegisterMap", error);
        return EXIT_FAILURE;
    }
    RegisterMap map(base, kMapSize);
    common::WriteDefaults(map);  // the settings image as restored from flash
    map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);

    // Station-controller inputs of the other programs.
    map.set(SHRMEM_GET_V1, 0);
    map.set(SHRMEM_STOP_BUTTON, 0);
    map.set(SHRMEM_STOP_CHARGING, 0);
    map.set(SHRMEM_CHARGER_STATE, 0);
    map.set(SHRMEM_ACTIVE_CONNECTOR, 2);   // the CCS outlet
    map.set(SHRMEM_CCS_SELECTED, 1);
    map.set(SHRMEM_CHARGE_STEP, 0);        // no charging step yet
    for (std::uint32_t b : {279u, 437u, 454u, 21522u, 21548u, 21605u, 21606u, 21609u}) map.set(U8{b}, 0);
    std::printf("stationctl: main board register map ready\n");
    return 0;
}
