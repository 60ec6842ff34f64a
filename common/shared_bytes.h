// Bytes of the register map that several programs write at the same time:
// requests and force bits change by atomic read-modify-writes, so a bit that
// another program sets between our read and our write is never lost.
#pragma once

#include <atomic>
#include <cstdint>

#include "regmap.h"

namespace common {

inline std::uint8_t& MapByte(const regmap::RegisterMap& map, std::uint32_t offset) {
    return *map.bytes(regmap::Bytes{offset, 1});
}
inline std::uint8_t ReadShared(const regmap::RegisterMap& map, std::uint32_t offset) {
    return std::atomic_ref<std::uint8_t>(MapByte(map, offset)).load(std::memory_order_acquire);
}
inline void ClearBits(const regmap::RegisterMap& map, std::uint32_t offset, std::uint8_t mask) {
    std::atomic_ref<std::uint8_t>(MapByte(map, offset))
        .fetch_and(static_cast<std::uint8_t>(~mask), std::memory_order_acq_rel);
}
inline void SetBits(const regmap::RegisterMap& map, std::uint32_t offset, std::uint8_t mask) {
    std::atomic_ref<std::uint8_t>(MapByte(map, offset)).fetch_or(mask, std::memory_order_release);
}
// Clears the bits of `mask`; returns those of them that were set.
inline std::uint8_t TakeBits(const regmap::RegisterMap& map, std::uint32_t offset, std::uint8_t mask) {
    return std::atomic_ref<std::uint8_t>(MapByte(map, offset))
               .fetch_and(static_cast<std::uint8_t>(~mask), std::memory_order_acq_rel) & mask;
}

}  // namespace common
