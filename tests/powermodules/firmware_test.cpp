// Firmware updates of the modules' two processors against the bank's
// bootloaders, on the test clock.
#include <gtest/gtest.h>

#include <fstream>

#include "pellion_rig.h"

namespace {

using namespace regmap;
using namespace smr;

// CRC-16/ARC bit by bit, independent of the station's table code.
std::uint16_t ReferenceCrc(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 256);
    return v;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

void RunUpdate(PellionRig& r, std::uint8_t which) {
    r.map.set(SHRMEM_RECTIFIER_FW_UPDATE, which);
    for (int i = 0; i < 100000 && r.map.get(SHRMEM_RECTIFIER_FW_UPDATE) != 0; ++i) r.p.LoopPass();
    ASSERT_EQ(r.map.get(SHRMEM_RECTIFIER_FW_UPDATE), 0);
}

TEST(PellionFirmware, ReferenceCrcIsCrc16Arc) {
    const std::string check = "123456789";
    EXPECT_EQ(ReferenceCrc(std::vector<std::uint8_t>(check.begin(), check.end())), 0xBB3D);
}

TEST(PellionFirmware, PrimaryImageGoesOutInBlocksWithTheirCrc) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    const std::vector<std::uint8_t> image = Pattern(600, 3);
    WriteFile(r.root.path() + "/mnt/SMR_PRIMARY_FW", image);
    r.bus.sent.clear();
    RunUpdate(r, 1);

    for (unsigned a : {1u, 2u}) {
        modbank::SimModule* m = r.bank.ByAddress(a);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->primaryImage, image) << a;
        EXPECT_EQ(m->blockAddresses, (std::vector<std::uint32_t>{0x1800, 0x1880, 0x1900})) << a;
        EXPECT_EQ(m->blockLengths, (std::vector<std::uint16_t>{256, 256, 88})) << a;
        EXPECT_EQ(m->badBlocks, 0);
        EXPECT_FALSE(m->inBootloader);
    }
    const std::uint32_t k = KindBits(10) | 1;
    EXPECT_EQ(r.bus.Sent(0xFFFFFFFF, kPrimaryData | k).size(), 32u + 32u + 11u);
    const auto headers = r.bus.Sent(0xFFFFFFFF, kPrimaryHeader | k);
    ASSERT_EQ(headers.size(), 3u);
    for (std::size_t b = 0; b < 3; ++b) {
        const std::size_t n = b < 2 ? 256 : 88;
        std::vector<std::uint8_t> covered(image.begin() + static_cast<long>(b * 256),
                                          image.begin() + static_cast<long>(b * 256 + n));
        covered.insert(covered.end(), headers[b].data, headers[b].data + 6);
        EXPECT_EQ(Be16(headers[b].data + 6), ReferenceCrc(covered)) << b;
    }
    // The modules were switched off first (forced off).
    const auto off = r.bus.Sent(0xFFFFFFFF, kSwitch | KindBits(10));
    ASSERT_FALSE(off.empty());
    EXPECT_EQ(off.front().data[0], kForcedOff);
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Pellion][1147]SMR:#1 - FW update primary OK"), 1) << log;
    EXPECT_EQ(Count(log, "[Pellion][1147]SMR:#2 - FW update primary OK"), 1) << log;
    EXPECT_FALSE(r.map.get(ALARM_SMR_UPDATE));
}

TEST(PellionFirmware, AModuleThatNeverGetsReadyFailsAndTheNextIsUpdated) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    r.bank.ByAddress(1)->neverReady = true;
    WriteFile(r.root.path() + "/mnt/SMR_PRIMARY_FW", Pattern(300, 1));
    RunUpdate(r, 1);
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Pellion][1123]SMR:#1 - FW update primary NG"), 1) << log;
    EXPECT_EQ(Count(log, "[Pellion][1147]SMR:#2 - FW update primary OK"), 1) << log;
    EXPECT_TRUE(r.map.get(ALARM_SMR_UPDATE));
    EXPECT_EQ(r.bank.ByAddress(2)->primaryImage, Pattern(300, 1));
}

TEST(PellionFirmware, MissingPrimaryImageEndsSilently) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    RunUpdate(r, 1);
    EXPECT_EQ(Count(r.Log(), "FW update"), 0);
    EXPECT_FALSE(r.map.get(ALARM_SMR_UPDATE));
}

std::vector<std::uint8_t> SecondaryFile(std::uint32_t length, std::size_t payloadBytes) {
    std::vector<std::uint8_t> file(158, 0xEE);
    file[134] = static_cast<std::uint8_t>(length >> 24), file[135] = static_cast<std::uint8_t>(length >> 16);
    file[136] = static_cast<std::uint8_t>(length >> 8), file[137] = static_cast<std::uint8_t>(length);
    const std::vector<std::uint8_t> payload = Pattern(payloadBytes, 9);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

TEST(PellionFirmware, SecondaryTransfers) {
    struct Case { std::uint32_t length; std::size_t payload; std::uint32_t block; const char* line; bool alarm; std::size_t segments; };
    const Case cases[] = {
        // Three blocks of 1 + 30 + 1 segments, then a tail of 232 bytes in 1 + 27 + 1.
        {1000, 1000, 256, "[Pellion][1645]SMR:#1 - FW update secondary OK", false, 3 * 32 + 29},
        {1024, 1024, 256, "[Pellion][1645]SMR:#1 - FW update secondary OK", false, 4 * 32},
        {1003, 1003, 500, "[Pellion][1645]SMR:#1 - FW update secondary OK", false, 2 * 63 + 1},
        {1000, 1000, 0, "[Pellion][1606]SMR:#1 - FW update secondary failed:Enter update FW failed", true, 0},
        {2000, 1000, 256, "[Pellion][1247]SMR:#1 - FW update secondary failed:Read image failed", true, 0},
    };
    for (const Case& c : cases) {
        PellionRig r;
        r.bank.Add(0x0100, 1, 2, 3).blockSize = c.block;
        r.StartAndAssign();
        const std::vector<std::uint8_t> file = SecondaryFile(c.length, c.payload);
        WriteFile(r.root.path() + "/mnt/SMR_SECONDARY_FW", file);
        r.bus.sent.clear();
        RunUpdate(r, 2);
        const std::string log = r.Log();
        EXPECT_EQ(Count(log, c.line), 1) << c.length << " " << c.block << "\n" << log;
        EXPECT_EQ(r.map.get(ALARM_SMR_UPDATE), c.alarm) << c.length << " " << c.block;
        const std::size_t segments = r.bus.Sent(0xFFF3FF00u, 0x1E103000 | KindBits(10) ).size();
        EXPECT_EQ(segments, c.segments) << c.length << " " << c.block;
        if (!c.alarm) {
            EXPECT_TRUE(r.bank.modules[0].secondaryComplete);
            EXPECT_EQ(r.bank.modules[0].secondaryImage, std::vector<std::uint8_t>(file.begin() + 158, file.end()));
        }
    }
}

TEST(PellionFirmware, MissingSecondaryImageIsLogged) {
    PellionRig r;
    r.bank.Add(0x0100, 1, 2, 3);
    r.StartAndAssign();
    RunUpdate(r, 2);
    EXPECT_EQ(Count(r.Log(), "[Pellion][1220]SMR:#1 - FW update secondary failed:Open failed"), 1);
    EXPECT_TRUE(r.map.get(ALARM_SMR_UPDATE));
}

}  // namespace
