#include "crc.h"

#include <array>

#include "regmap_fields.h"

namespace common {
namespace {

constexpr std::array<std::uint16_t, 256> MakeTable() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t c = static_cast<std::uint16_t>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr std::array<std::uint16_t, 256> Crc16Table = MakeTable();

std::uint16_t Reflected(std::uint16_t crc, const std::uint8_t* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) crc = static_cast<std::uint16_t>((crc >> 8) ^ Crc16Table[(crc ^ data[i]) & 0xFF]);
    return crc;
}

}  // namespace

std::uint16_t Crc16Arc(const std::uint8_t* data, std::size_t len) { return Reflected(0, data, len); }
std::uint16_t Crc16Modbus(const std::uint8_t* data, std::size_t len) { return Reflected(0xFFFF, data, len); }

std::uint16_t CalCrc16(const regmap::RegisterMap& map) {
    const std::uint32_t n = map.get(regmap::SHRMEM_PARAM_LENGTH);
    return Crc16Arc(map.bytes(regmap::Bytes{regmap::SHRMEM_PARAM_LENGTH.offset, n}), n);
}

}  // namespace common
