// Fuzz target: what a station answers the simulated CCS vehicle. The input
// is a series of answers, each a 16-bit big-endian length and that many
// bytes; the vehicle runs its whole sequence against them on a test clock,
// and once they are used up the connection is closed. The corpus holds the
// answers of a whole charge. The vehicle must stop with a reason whenever
// it does not get through.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ccs_vehicle.h"
#include "clock.h"

namespace {

struct FuzzStation final : evsim::V2gChannel {
    const std::uint8_t* data;
    std::size_t left;
    bool Send(const evsim::Bytes&, std::size_t) override { return true; }
    Rx Receive(evsim::Bytes* m, std::int64_t) override {
        if (left < 2) return Rx::Closed;
        std::size_t n = static_cast<std::size_t>(data[0] << 8 | data[1]);
        if (n > left - 2) n = left - 2;
        m->assign(data + 2, data + 2 + n);
        data += 2 + n;
        left -= 2 + n;
        return Rx::Message;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::TestClock clock;
    platform::SetClock(&clock);
    FuzzStation station;
    station.data = data;
    station.left = size;
    evsim::CcsEvConfig c;
    c.demands = 2;
    c.loopLimitMs = 1000;
    c.prechargeLimitMs = 1000;
    evsim::CcsVehicle vehicle(c, &station, [](const std::string&) {});
    if (!vehicle.Run() && vehicle.failure().empty()) abort();
    return 0;
}
