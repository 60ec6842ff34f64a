// The Reset command: its slot in the exchange segment. Tarnet answers it at
// once; the reset itself is carried out by ResetMgmt and Bastide.
#pragma once

#include <cstddef>

#include "exchange.h"

namespace ocppj {

struct ResetSlot {
    char type[8];     // "Hard" or "Soft"
    char status[10];  // "Accepted" or "Rejected"
};
inline constexpr std::size_t kResetSlot = 44312;
static_assert(offsetof(ResetSlot, status) == 44320 - kResetSlot);
inline constexpr int kCmdReset = 13;
static_assert(kCommandSlots[kCmdReset].offset == kResetSlot);

inline ResetSlot& ResetSlotOf(Exchange& x) {
    return *reinterpret_cast<ResetSlot*>(reinterpret_cast<std::uint8_t*>(&x) + kResetSlot);
}
inline const ResetSlot& ResetSlotOf(const Exchange& x) {
    return *reinterpret_cast<const ResetSlot*>(reinterpret_cast<const std::uint8_t*>(&x) + kResetSlot);
}

}  // namespace ocppj
