// The main board's end of the board link against any answers from the line:
// acknowledgements and status frames, mirrored into the map and analysed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "clock.h"
#include "link_bytes_port.h"
#include "din_errors.h"
#include "regmap_fields.h"
#include "scrivet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scoped(clock);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static const bool init = [] {
        setenv("STATION_ROOT", "/nonexistent-station-root", 1);
        return true;
    }();
    (void)init;

    boardlink::Scrivet s;
    s.map = regmap::RegisterMap(mem.data(), mem.size());
    // The map's own bytes that steer the analysis come from the input too.
    if (size >= 8) {
        mem[110] = data[0] & 3;
        mem[21562] = data[1] % 8;
        mem[475] = data[2] & 1;
        mem[939] = data[3] & 1;
    }
    LinkBytesPort port(data, size, clock, 64);
    for (int pass = 0; pass < 16 && !port.Done(); ++pass) {
        boardlink::SendEVSEData(s, port);
        boardlink::GetCCSData(s, port);
        boardlink::DIN_ErrHandling(s.map, s.din);
        // No impossible value from the line reaches the map.
        using namespace regmap;
        const RegisterMap& m = s.map;
        if (m.get(SHRMEM_CCS_PILOT_STATE) > 7 || m.get(SHRMEM_CCS_EV_PROXIMITY) > 1 ||
            (m.get(SHRMEM_SET_PENDING) != 0 && m.get(SHRMEM_SET_PENDING) != 255) ||
            m.get(SHRMEM_SET_I1) > linkwire::kMaxSetPointCurrent || m.get(SHRMEM_SET_V1) > linkwire::kMaxSetPointVoltage) {
            std::abort();
        }
    }
    return 0;
}
