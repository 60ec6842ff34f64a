#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "crc.h"
#include "regmap_fields.h"
#include "settings.h"
#include "testroot.h"

using namespace regmap;
using namespace supervisor;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
    TestRoot root;

    void WriteFlash(const std::vector<std::uint8_t>& bytes) {
        root.Make("/dev");
        std::ofstream f(root.path() + "/dev/mtdblock4", std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::uint8_t> at(std::size_t off, std::size_t n) const {
        return std::vector<std::uint8_t>(mem.begin() + off, mem.begin() + off + n);
    }
};

}  // namespace

TEST_F(SettingsTest, DefaultsHoldTheirValuesAndByteOrders) {
    std::memset(mem.data() + 218, 0xA5, 10);  // 218-227: not written, still covered by the CRC
    WriteDefaults(map);

    EXPECT_EQ(map.get(SHRMEM_MODEL_NAME), "Vanto Charging Station");
    EXPECT_EQ(map.get(SHRMEM_STATION_NAME), "Vanto Charging Station");
    EXPECT_EQ(map.get(SHRMEM_LOCATION), "Location");
    EXPECT_EQ(map.get(SHRMEM_SNMP_SEC_LEVEL), "authPriv");
    EXPECT_EQ(map.get(SHRMEM_SNMP_PRIV_PASS), "tarvodex");
    EXPECT_EQ(at(266, 4), (std::vector<std::uint8_t>{10, 1, 168, 192}));
    EXPECT_EQ(at(270, 4), (std::vector<std::uint8_t>{0, 255, 255, 255}));
    EXPECT_EQ(at(274, 4), (std::vector<std::uint8_t>{254, 1, 168, 192}));
    EXPECT_EQ(at(433, 4), (std::vector<std::uint8_t>{1, 1, 168, 192}));
    EXPECT_EQ(at(459, 4), (std::vector<std::uint8_t>{0x00, 0x00, 0x27, 0x10}));
    EXPECT_EQ(at(463, 4), (std::vector<std::uint8_t>{0x2C, 0x01, 0x00, 0x00}));
    EXPECT_EQ(mem[443], 25);
    EXPECT_EQ(mem[452], 255);
    EXPECT_EQ(mem[2048], 60);
    EXPECT_EQ(at(196, 4), (std::vector<std::uint8_t>{0, 32, 0, 1}));
    EXPECT_EQ(at(216, 2), (std::vector<std::uint8_t>{0x95, 0x7C}));  // 38268

    // The CRC covers bytes 196-227, length field and unwritten bytes included.
    EXPECT_EQ(map.get(SHRMEM_PARAM_CRC), common::Crc16Arc(mem.data() + 196, 32));
    EXPECT_EQ(mem[250], common::Crc16Arc(mem.data() + 196, 32) >> 8);

    // CCS status block defaults.
    EXPECT_EQ(mem[2175], 1);
    EXPECT_EQ(mem[2176], 125);
    EXPECT_EQ(mem[2177], 25);
    EXPECT_EQ(at(2178, 2), (std::vector<std::uint8_t>{1, 244}));
    EXPECT_EQ(at(2181, 2), (std::vector<std::uint8_t>{0, 50}));
    EXPECT_EQ(mem[2183], 255);
    EXPECT_EQ(mem[2201], 1);
}

TEST_F(SettingsTest, MirrorHoldsTheImageBeforeTheStatusBlockDefaults) {
    WriteDefaults(map);
    const std::uint8_t* mirror = mem.data() + 196608;
    EXPECT_EQ(mirror[2175], 0);
    EXPECT_EQ(mem[2175], 1);
    // Everything else of the image is identical.
    mem[2175] = 0; mem[2176] = 0; mem[2177] = 0; mem[2178] = 0; mem[2179] = 0; mem[2181] = 0; mem[2182] = 0;
    mem[2183] = 0; mem[2201] = 0;
    EXPECT_EQ(std::memcmp(mem.data(), mirror, 65536), 0);
}

TEST_F(SettingsTest, FlashRestoresTheWholeMapThenTheSettingsBlockOverTheImage) {
    std::vector<std::uint8_t> flash(262144);
    for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(i * 7);
    flash[196608 + 264] = 2;  // SHRMEM_FW_UPDATE in the settings block
    WriteFlash(flash);
    ASSERT_EQ(FlashToShrMem(map), 1);
    EXPECT_EQ(map.get(SHRMEM_FW_UPDATE), 2);
    EXPECT_EQ(std::memcmp(mem.data(), flash.data() + 196608, 65536), 0);
    EXPECT_EQ(std::memcmp(mem.data() + 65536, flash.data() + 65536, 262144 - 65536), 0);
    EXPECT_EQ(std::memcmp(mem.data() + 196608, mem.data(), 65536), 0) << "mirror equals the image";
}

TEST_F(SettingsTest, ShortOrMissingFlashLeavesTheMapAlone) {
    mem[5] = 0x42;
    EXPECT_EQ(FlashToShrMem(map), 0) << "missing device";
    WriteFlash(std::vector<std::uint8_t>(262143, 0xEE));
    EXPECT_EQ(FlashToShrMem(map), 0) << "one byte short";
    EXPECT_EQ(mem[5], 0x42);
}

TEST_F(SettingsTest, ErasedFlashGivesBoundedTexts) {
    WriteFlash(std::vector<std::uint8_t>(262144, 0xFF));
    ASSERT_EQ(FlashToShrMem(map), 1);
    EXPECT_EQ(map.get(SHRMEM_SERIAL_NUMBER).size(), 32u);
    EXPECT_EQ(map.get(SHRMEM_ETH0_MAC).size(), 18u);
}

TEST_F(SettingsTest, RunTimeCcsFieldsAreClearedAfterARestore) {
    std::vector<std::uint8_t> flash(262144, 0);
    std::uint8_t* image = flash.data() + 196608;
    image[2162] = 9;
    std::memset(image + 2197, 0x06, 4);
    std::memset(image + 2207, 0x11, 7);
    image[2201] = 0;
    WriteFlash(flash);
    ASSERT_EQ(FlashToShrMem(map), 1);
    ClearCcsRunTimeFields(map);
    EXPECT_EQ(mem[2162], 0);
    EXPECT_EQ(map.get(SHRMEM_CCS_PLC_STATUS), 0u);
    EXPECT_EQ(at(2207, 7), std::vector<std::uint8_t>(7, 0));
    EXPECT_EQ(mem[2201], 1);
}
