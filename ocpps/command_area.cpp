#include "command_area.h"

#include <atomic>
#include <cstring>

#include "clock.h"
#include "shared_bytes.h"

namespace ocpps {

namespace {

constexpr std::uint8_t kOnlineFlag = 0x80;  // byte 448

// Bytes 446 and 449 carry, bit for bit, the commands of 447 and 448 that the
// main process has claimed. Claim and withdrawal each change one byte and
// then look at the other, both sequentially consistent, so of a claim and a
// withdrawal that cross exactly one wins.
std::uint32_t ClaimByte(Command c) { return c.byte == 447 ? 446 : 449; }

std::atomic_ref<std::uint8_t> At(regmap::RegisterMap map, std::uint32_t offset) {
    return std::atomic_ref<std::uint8_t>(common::MapByte(map, offset));
}

}  // namespace

HandOver HandOverCommand(regmap::RegisterMap map, Command c, std::int64_t waitMs, std::int64_t pollMs) {
    platform::Clock& clock = platform::GetClock();
    At(map, c.byte).fetch_or(c.bit);
    const std::int64_t start = clock.MonotonicMs();
    while ((At(map, c.byte).load() & c.bit) != 0) {
        if (clock.MonotonicMs() - start >= waitMs) {
            const bool stillRaised = (At(map, c.byte).fetch_and(static_cast<std::uint8_t>(~c.bit)) & c.bit) != 0;
            if (!stillRaised) return HandOver::Answered;  // finished in the meantime
            if ((At(map, ClaimByte(c)).load() & c.bit) == 0) return HandOver::Withdrawn;
            // Being executed: its answer is coming.
            while ((At(map, ClaimByte(c)).load() & c.bit) != 0) clock.SleepMs(pollMs);
            return HandOver::Answered;
        }
        clock.SleepMs(pollMs);
    }
    return HandOver::Answered;
}

bool ClaimCommand(regmap::RegisterMap map, Command c) {
    if ((At(map, c.byte).load() & c.bit) == 0) return false;
    At(map, ClaimByte(c)).fetch_or(c.bit);
    if ((At(map, c.byte).load() & c.bit) != 0) return true;
    At(map, ClaimByte(c)).fetch_and(static_cast<std::uint8_t>(~c.bit));  // withdrawn first
    return false;
}

void FinishCommand(regmap::RegisterMap map, Command c) {
    At(map, c.byte).fetch_and(static_cast<std::uint8_t>(~c.bit));
    At(map, ClaimByte(c)).fetch_and(static_cast<std::uint8_t>(~c.bit));
    At(map, 448).fetch_or(kOnlineFlag);
}

void PutText(regmap::RegisterMap map, regmap::Text slot, const std::string& text) {
    std::uint8_t* p = map.bytes(regmap::Bytes{slot.offset, slot.size});
    std::memset(p, 0, slot.size);
    std::memcpy(p, text.data(), text.size() < slot.size ? text.size() : slot.size);
}

std::string GetText(regmap::RegisterMap map, regmap::Text slot) { return map.get(slot); }

}  // namespace ocpps
