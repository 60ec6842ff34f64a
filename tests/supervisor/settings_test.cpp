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

TEST_F(SettingsTest, ErasedOrBlankSettingsBlockIsNoSettings) {
    const struct {
        const char* what;
        std::uint8_t fill;
        std::size_t programmed;  // leading bytes of the settings block programmed to 0x17
        int restored;
    } cases[] = {
        {"blank", 0x00, 0, 0},
        {"erased", 0xFF, 0, 0},
        {"erased with a stray byte", 0xFF, 1, 0},
        {"erased, all but half programmed", 0xFF, 32767, 0},
        {"half programmed", 0xFF, 32768, 1},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> flash(262144, c.fill);
        flash[5] = 0x42;  // outside the settings block: no settings by itself
        std::fill_n(flash.begin() + 196608, c.programmed, 0x17);
        WriteFlash(flash);
        std::fill(mem.begin(), mem.end(), 0);
        mem[7] = 0x27;
        EXPECT_EQ(FlashToShrMem(map), c.restored) << c.what;
        EXPECT_EQ(mem[7], c.restored ? 0x17 : 0x27) << c.what;
        EXPECT_EQ(mem[5], c.restored ? 0x17 : 0) << c.what;
    }
}

TEST_F(SettingsTest, FlashOfErasedTextsGivesBoundedTexts) {
    std::vector<std::uint8_t> flash(262144, 0);
    std::fill_n(flash.begin() + 196608 + 282, 18, 0xFF);     // MAC text
    std::fill_n(flash.begin() + 196608 + 1024, 512, 0xFF);   // the text slots
    WriteFlash(flash);
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
    for (std::uint32_t b : {2163u, 2164u, 2174u, 2189u, 2190u, 2191u}) image[b] = 0xEE;  // out of every range
    WriteFlash(flash);
    ASSERT_EQ(FlashToShrMem(map), 1);
    ClearCcsRunTimeFields(map);
    EXPECT_EQ(mem[2162], 0);
    for (std::uint32_t b : {2163u, 2164u, 2174u, 2189u, 2190u, 2191u}) EXPECT_EQ(mem[b], 0) << b;
    EXPECT_EQ(map.get(SHRMEM_CCS_PLC_STATUS), 0u);
    EXPECT_EQ(at(2207, 7), std::vector<std::uint8_t>(7, 0));
    EXPECT_EQ(mem[2201], 1);
}

// Every byte the defaults write, and the bytes next to them that they must
// leave alone, over a map that held 0xA5 everywhere.
TEST_F(SettingsTest, DefaultsWriteExactlyTheirBytesAndTheMirrorStopsBeforeTheStatusBlock) {
    constexpr std::uint8_t kOld = 0xA5;
    std::memset(mem.data(), kOld, mem.size());
    WriteDefaults(map);

    struct Expect {
        std::size_t offset;
        std::vector<std::uint8_t> bytes;
    };
    auto text = [](const char* s) {
        std::vector<std::uint8_t> b(s, s + std::strlen(s));
        b.push_back(0);
        return b;
    };
    const std::vector<std::uint8_t> old1{kOld}, old2{kOld, kOld};
    const Expect image[] = {
        {261, old1}, {262, {0}},
        {1024, text("Vanto Charging Station")}, {1088, text("Vanto Charging Station")}, {1120, text("0")},
        {1152, text("Location")}, {1280, text("0")}, {1248, text("0")}, {1216, text("0")},
        {1312, text("Vanto")}, {1344, text("Vanto")}, {1376, text("authPriv")}, {1392, text("MD5")},
        {1400, text("tarvodex")}, {1432, text("DES")}, {1440, text("tarvodex")}, {1472, text("0")},
        {1504, text("0")},
        {266, {10, 1, 168, 192}}, {270, {0, 255, 255, 255}}, {274, {254, 1, 168, 192}},
        {300, {1, 1, 168, 192}}, {304, {1, 1, 168, 192}}, {344, {1, 1, 168, 192}},
        {400, {1, 1, 168, 192}}, {404, {1, 1, 168, 192}}, {433, {1, 1, 168, 192}},
        {141, {0, 0, 0, 0}}, {443, {25}}, {444, {60}}, {2048, {60}}, {452, {255}},
        {459, {0x00, 0x00, 0x27, 0x10}}, {463, {0x2C, 0x01, 0x00, 0x00}}, {2161, {0}}, {467, {0}}, {469, {0}},
        {196, {0, 32, 0, 1, 0x0B, 0xB8, 0, 100, 0x8F, 0xA0, 0x44, 0xE2, 0x41, 0xF4, 0, 2, 0x8B, 0x86, 0x8B, 0xEA,
               0x95, 0x7C}},
        {218, std::vector<std::uint8_t>(24, kOld)},
    };
    for (const auto& e : image) {
        EXPECT_EQ(at(e.offset, e.bytes.size()), e.bytes) << "byte " << e.offset;
    }
    for (unsigned h = 0; h < 24; ++h) {
        EXPECT_EQ(mem[352 + 2 * h], kOld) << "rate high byte, hour " << h;
        EXPECT_EQ(mem[353 + 2 * h], 0) << "rate low byte, hour " << h;
    }
    std::vector<std::uint8_t> covered(mem.begin() + 196, mem.begin() + 228);
    EXPECT_EQ(at(250, 2), (std::vector<std::uint8_t>{static_cast<std::uint8_t>(common::Crc16Arc(covered.data(), 32) >> 8),
                                                     static_cast<std::uint8_t>(common::Crc16Arc(covered.data(), 32))}));

    // The CCS status block, written after the mirror copy.
    const Expect status[] = {
        {2160, old1}, {2162, std::vector<std::uint8_t>(13, 0)}, {2175, {1}}, {2176, {125}}, {2177, {25}},
        {2178, {1, 244}}, {2180, {0}}, {2181, {0, 50}}, {2183, {255}}, {2184, {0, 0, 0}}, {2187, old2},
        {2189, std::vector<std::uint8_t>(7, 0)}, {2196, old1}, {2197, {0, 0, 0, 0}}, {2201, {1}},
        {2202, {kOld, kOld, kOld, kOld, kOld}}, {2207, std::vector<std::uint8_t>(7, 0)},
    };
    std::vector<bool> statusByte(65536, false);
    for (const auto& e : status) {
        EXPECT_EQ(at(e.offset, e.bytes.size()), e.bytes) << "status byte " << e.offset;
        for (std::size_t i = 0; i < e.bytes.size(); ++i) statusByte[e.offset + i] = e.bytes[i] != kOld;
    }
    for (std::size_t i = 0; i < 65536; ++i) {
        const std::uint8_t want = statusByte[i] ? kOld : mem[i];
        if (mem[196608 + i] != want) {
            ADD_FAILURE() << "mirror byte " << i << " is " << int{mem[196608 + i]} << ", want " << int{want};
            break;
        }
    }
}
