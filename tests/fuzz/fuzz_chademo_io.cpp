// Corvane's CAN I/O process against any records from the vehicle's bus, with
// the session flags and inputs it reads taken from the input too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "can_io.h"
#include "clock.h"
#include "regmap_chademo.h"
#include "session_log.h"

namespace {

class InputBus final : public platform::CanBus {
public:
    InputBus(platform::TestClock& clock, const std::uint8_t* data, std::size_t size) : clock_(clock), data_(data), size_(size) {}
    bool Write(const platform::CanFrame&) override { return true; }
    bool Read(platform::CanFrame& f) override {
        if (size_ < sizeof f) {
            clock_.Advance(1);
            return false;
        }
        std::memcpy(&f, data_, sizeof f);
        data_ += sizeof f;
        size_ -= sizeof f;
        // The gap before the next frame, from the record's pad byte.
        clock_.Advance(f.pad);
        return true;
    }
    bool Done() const { return size_ < sizeof(platform::CanFrame); }

private:
    platform::TestClock& clock_;
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scoped(clock);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static const bool init = [] {
        setenv("STATION_ROOT", "/nonexistent-station-root", 1);
        return true;
    }();
    (void)init;
    if (size < 4) return 0;
    std::fill(mem.begin(), mem.end(), 0);
    regmap::RegisterMap map(mem.data(), mem.size());
    map.set(regmap::ChargerFlag, data[0]);
    map.set(regmap::SHRMEM_CHADEMO_STOPPING, data[1] & 1);
    map.set(regmap::SHRMEM_GET_I1, static_cast<std::uint16_t>(data[2] << 8 | data[3]));
    const int d1 = data[1] >> 7;
    InputBus bus(clock, data + 4, size - 4);
    chademo::SessionLog log(map, {[] { return 1; }, [] { return 0; }});
    chademo::CanIo io(map, bus, log, [d1] { return d1; });
    for (int pass = 0; pass < 20000 && !bus.Done(); ++pass) io.Pass();
    for (int pass = 0; pass < 1500; ++pass) io.Pass();   // the silence after the last frame
    return 0;
}
