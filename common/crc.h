// CRC-16 variants used across the station.
#pragma once

#include <cstddef>
#include <cstdint>

#include "regmap.h"

namespace common {

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
std::uint16_t Crc16Arc(const std::uint8_t* data, std::size_t len);
// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF (board link framing).
std::uint16_t Crc16Modbus(const std::uint8_t* data, std::size_t len);

// The module parameter CRC: CRC-16/ARC over the n bytes from byte 196, n being
// the 16-bit length at 196-197 (the length field is covered too).
std::uint16_t CalCrc16(const regmap::RegisterMap& map);

}  // namespace common
