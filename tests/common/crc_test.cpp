#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crc.h"
#include "regmap_fields.h"

TEST(Crc16, CheckValues) {
    const char* s = "123456789";
    auto p = reinterpret_cast<const std::uint8_t*>(s);
    EXPECT_EQ(common::Crc16Arc(p, 9), 0xBB3D);
    EXPECT_EQ(common::Crc16Modbus(p, 9), 0x4B37);
    EXPECT_EQ(common::Crc16Arc(p, 0), 0x0000);
    EXPECT_EQ(common::Crc16Modbus(p, 0), 0xFFFF);
}

TEST(Crc16, CalCrc16CoversTheLengthFieldAndNBytes) {
    std::vector<std::uint8_t> mem(regmap::kMapSize, 0);
    regmap::RegisterMap map(mem.data(), mem.size());
    map.set(regmap::SHRMEM_PARAM_LENGTH, 9);
    std::memcpy(mem.data() + 196, "\x00\x09" "3456789", 9);
    EXPECT_EQ(common::CalCrc16(map), common::Crc16Arc(mem.data() + 196, 9));
    // A byte just past the n covered bytes does not count.
    mem[205] = 0x55;
    EXPECT_EQ(common::CalCrc16(map), common::Crc16Arc(mem.data() + 196, 9));
    const std::uint16_t before = common::CalCrc16(map);
    mem[204] ^= 1;
    EXPECT_NE(common::CalCrc16(map), before);
}
