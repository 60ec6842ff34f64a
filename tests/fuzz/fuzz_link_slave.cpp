// The CCS board's end of the board link against any bytes from the line:
// commands, settings frames, loader starts and raw image transfers.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "clock.h"
#include "link_bytes_port.h"
#include "link_frames.h"
#include "link_slave.h"
#include "regmap_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scoped(clock);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static const bool init = [] {
        setenv("STATION_ROOT", "/nonexistent-station-root", 1);
        supervisor::LinkSlaveHooks h;
        h.proximity = [] { return std::uint8_t{1}; };
        h.reboot = [] {};
        h.runLoader = [](linkwire::LinkPort&, const std::uint8_t*, std::size_t) { return true; };
        supervisor::SetLinkSlaveHooks(h);
        return true;
    }();
    (void)init;
    regmap::RegisterMap map(mem.data(), mem.size());

    linkwire::ClassifyCommand(data, size);
    linkwire::StoreEVSEData(map, data, size, 60);

    // What the link stores of the stop inputs is only ever the two known bits.
    map.set(regmap::SHRMEM_STOP_BUTTON, 0);
    supervisor::ResetSettingsIntake();
    LinkBytesPort port(data, size, clock, 16);
    for (int pass = 0; pass < 64 && !port.Done(); ++pass) supervisor::ServeBoardLinkOn(map, port);
    if (map.get(regmap::SHRMEM_STOP_BUTTON) & ~linkwire::kStopInputBits) std::abort();
    return 0;
}
