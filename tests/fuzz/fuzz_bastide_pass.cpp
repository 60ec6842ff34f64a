// Bastide's pass over any register-map contents: alarm and event bits, force
// bits, the trap settings (address, port text, community), the serial text,
// the OCPP selection bytes and the request bytes of the OCPP 1.5 slot.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bastide.h"
#include "clock.h"
#include "command.h"

namespace {

// Map regions the input writes, in this order.
struct Region {
    std::uint32_t offset;
    std::uint32_t size;
};
constexpr Region kRegions[] = {
    {312, 32},    // alarm bit map
    {21517, 4},   // CHAdeMO alarm bits
    {21523, 6},   // force bits
    {21529, 15},  // system and DIN event bits
    {344, 4},     // trap address
    {508, 6},     // trap port text, possibly without NUL
    {1312, 32},   // community
    {1120, 32},   // serial
    {1024, 64},   // model name
    {481, 1}, {514, 1}, {1536, 1}, {445, 1}, {448, 1}, {110, 1}, {21562, 1}, {21505, 1},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scopedClock(clock);
    static platform::RecordingRunner runner;
    static platform::ScopedRunner scopedRunner(runner);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static auto app = std::make_unique<fennick::FennickApp>();
    static const bool init = [] {
        setenv("STATION_ROOT", "/nonexistent-station-root", 1);
        return true;
    }();
    (void)init;

    std::memset(mem.data(), 0, mem.size());
    alarms::Bastide b;
    b.map = regmap::RegisterMap(mem.data(), mem.size());
    b.app = (size > 0 && (data[0] & 1)) ? app.get() : nullptr;
    alarms::StartUp(b);
    // Three passes, each over the next slice of the input.
    for (int pass = 0; pass < 3 && size > 0; ++pass) {
        for (const Region& r : kRegions) {
            const std::size_t n = std::min<std::size_t>(r.size, size);
            std::memcpy(mem.data() + r.offset, data, n);
            data += n;
            size -= n;
        }
        alarms::Pass(b);
        clock.Advance(2000);
    }
    runner.commands.clear();
    return 0;
}
