// Pellion's receive path against any frames from the module bus: the loop,
// the reply and status decoders, the assignment and the object access all
// read their frames from the input, on the test clock.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "clock.h"
#include "command.h"
#include "pellion.h"
#include "regmap_power.h"
#include "smr_protocol.h"

namespace {

class InputBus final : public platform::CanBus {
public:
    InputBus(platform::TestClock& clock, const std::uint8_t* data, std::size_t size) : clock_(clock), data_(data), size_(size) {}
    bool Write(const platform::CanFrame&) override { return true; }
    bool Read(platform::CanFrame& f) override {
        if (size_ < sizeof f) {
            clock_.Advance(10);
            return false;
        }
        std::memcpy(&f, data_, sizeof f);
        data_ += sizeof f;
        size_ -= sizeof f;
        // Records with any length byte reach the program, as from a socket;
        // the platform drops the impossible ones.
        if (f.len > 8) return false;
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
    static platform::RecordingRunner runner;
    static platform::ScopedRunner scopedRunner(runner);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static const bool init = [] {
        setenv("STATION_ROOT", "/nonexistent-station-root", 1);
        return true;
    }();
    (void)init;
    runner.commands.clear();
    if (size < 8) return 0;
    std::fill(mem.begin(), mem.end(), 0);
    regmap::RegisterMap map(mem.data(), mem.size());
    // The map's own bytes that steer the loop come from the input too.
    map.set(regmap::SHRMEM_AC_CONTACTOR, data[0] & 1);
    map.set(regmap::SHRMEM_STOP_BUTTON, data[1]);
    map.set(regmap::SHRMEM_SET_V1, static_cast<std::uint16_t>(data[2] << 8 | data[3]));
    map.set(regmap::SHRMEM_SET_PENDING, data[4]);
    map.set(regmap::SHRMEM_FAN_SPEED_CMD, data[5]);
    map.set(regmap::SHRMEM_RECTIFIER_FW_UPDATE, data[6] & 3);
    map.set(regmap::U8{regmap::ALARM_SYSTEM_FILTER.offset}, data[7]);  // alarm byte 312
    InputBus bus(clock, data + 8, size - 8);
    pellion::Pellion p(map, bus);
    p.Startup();
    if (data[0] & 2) {
        // Two operational modules, as after an assignment.
        for (int i = 0; i < 2; ++i) p.SmrAddrMsn[i] = {4, static_cast<std::uint8_t>(i + 1), {}};
        map.set(regmap::SHRMEM_RECTIFIER_QTY, 2);
        p.PresentModule = smr::KindBits(10 + ((data[0] >> 2) & 1));
    }
    for (int pass = 0; pass < 10000 && !bus.Done(); ++pass) p.LoopPass();
    return 0;
}
