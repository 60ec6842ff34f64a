#include "relays.h"

#include "clock.h"
#include "regmap_chademo.h"

namespace chademo {

using namespace regmap;

namespace {

struct RelayAlarms { Bits positiveDrive, negativeDrive, positiveWelded, negativeWelded; };
constexpr RelayAlarms kRelay1{{323, 0x20}, {324, 0x02}, {323, 0x10}, {324, 0x01}};
constexpr RelayAlarms kRelay2{{323, 0x80}, {324, 0x08}, {323, 0x40}, {324, 0x04}};

int SwitchRelay(RegisterMap& map, int relay, const RelayAlarms& a, int state) {
    if (state != 0 && state != 1) return 0;
    const std::optional<std::uint8_t> contacts = SetRelay(map, relay, state);
    if (!contacts) {
        SetBitsAtomic(map, a.positiveDrive, true);
        SetBitsAtomic(map, a.negativeDrive, true);
        return 0;
    }
    const bool positive = *contacts & 0x01, negative = *contacts & 0x02;
    if (state == 1) {
        SetBitsAtomic(map, a.positiveDrive, !positive);
        SetBitsAtomic(map, a.negativeDrive, !negative);
        return positive && negative ? 1 : 0;
    }
    SetBitsAtomic(map, a.positiveWelded, positive);
    SetBitsAtomic(map, a.negativeWelded, negative);
    return !positive && !negative ? 1 : 0;
}

void Status(RegisterMap& map, std::uint8_t bits) { OrByteAtomic(map, CP109_STATUS, bits); }

struct Condition { Bits alarm; std::uint32_t flag; };

}  // namespace

std::optional<std::uint8_t> SetRelay(RegisterMap& map, int relay, int state) {
    if (relay < 1 || relay > 3) return std::nullopt;
    const U8 byte{static_cast<std::uint32_t>(2781 + relay)};
    const std::uint8_t request = state == 1 ? 0x83 : 0x80;
    const std::uint8_t expected = request & 0x03;
    map.set(byte, request);
    auto& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    std::optional<std::uint8_t> last;
    for (;;) {
        const std::uint8_t answer = map.get(byte);
        if ((answer & 0x80) == 0) {
            last = answer & 0x03;
            if (answer == expected) return last;
            map.set(byte, request);
        }
        if (clock.MonotonicMs() - start >= kRelayWaitMs) return last;
        clock.SleepMs(kRelayPollMs);
    }
}

int SetCHAdeMORelay(RegisterMap& map, int state) { return SwitchRelay(map, 2, kRelay2, state); }
int SetCCSRelay(RegisterMap& map, int state) { return SwitchRelay(map, 1, kRelay1, state); }

int ChargerMalfun(RegisterMap& map, std::uint32_t& flags) {
    static constexpr Condition kConditions[] = {
        {{316, 0x10}, 0x0004}, {{343, 0x02}, 0x0008}, {{313, 0x20}, 0x0010}, {{315, 0x80}, 0x0040},
        {{323, 0x01}, 0x0080}, {{323, 0x04}, 0x0100}, {{323, 0x10}, 0x0200}, {{323, 0x40}, 0x0400},
        {{324, 0x01}, 0x0800}, {{324, 0x04}, 0x1000}, {{314, 0x08}, 0x2000}, {{314, 0x10}, 0x4000},
        // Modules that no longer hear their manager cannot be trusted with a charge.
        {{312, 0x40}, 0x8000}};
    flags = 0;
    if (map.get(Bits{315, 0x80})) {
        Status(map, kCpMalfunction | kCpSystemMalfunction);
        flags |= 0x0001;
    }
    if (map.get(Bits{314, 0x10})) {
        Status(map, kCpMalfunction);
        flags |= 0x0002;
    }
    bool found = false;
    for (const Condition& c : kConditions) {
        if (map.get(c.alarm)) {
            flags |= c.flag;
            found = true;
        }
    }
    return found ? 1 : 0;
}

int V2_ChargerMalfun(RegisterMap& map, std::uint32_t& flags) {
    static constexpr Condition kConditions[] = {
        {{343, 0x40}, 0x0040}, {{312, 0x40}, 0x0100}, {{343, 0x02}, 0x0200}, {{412, 0x08}, 0x0400},
        {{314, 0x10}, 0x2000}};
    flags = 0;
    const bool groundFault = map.get(Bits{315, 0x80}), connector = map.get(Bits{341, 0x80});
    if (groundFault || connector) {
        Status(map, kCpSystemMalfunction);
        flags = (groundFault ? 0x0001 : 0) | (connector ? 0x0004 : 0);
        return 1;
    }
    for (const Condition& c : kConditions)
        if (map.get(c.alarm)) flags |= c.flag;
    if (flags == 0) return 0;
    Status(map, kCpMalfunction);
    return 1;
}

}  // namespace chademo
