#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "clock.h"
#include "crc.h"
#include "fake_link_port.h"
#include "link_frames.h"
#include "link_slave.h"
#include "self_update.h"
#include "serial_loader.h"
#include "regmap_fields.h"
#include "testroot.h"

using namespace supervisor;
using namespace linkwire;
using namespace regmap;
using Bytes8 = std::vector<std::uint8_t>;

namespace {

Bytes8 Frame(const LinkCommandFrame& f) { return Bytes8(f.begin(), f.end()); }

class LinkSlaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        LinkSlaveHooks h;
        h.proximity = [this] { return proximity; };
        h.reboot = [this] { ++reboots; };
        h.startInstall = [this] { ++installs; if (installResult >= 0) map.set(SHRMEM_FW_UPDATE, static_cast<std::uint8_t>(installResult)); };
        h.runLoader = [this](LinkPort&, const std::uint8_t* start, std::size_t len) {
            loaderStart.assign(start, start + len);
            return loaderRuns;
        };
        SetLinkSlaveHooks(h);
        ResetSettingsIntake();
    }
    void TearDown() override { SetLinkSlaveHooks({}); }
    // Raw image transfers of a short test image.
    void RawImageSize(std::uint32_t n) {
        LinkSlaveHooks h = GetLinkSlaveHooks();
        h.rawImageSize = n;
        SetLinkSlaveHooks(h);
    }
    // One settings exchange with the frame `f`.
    void SendSettings(const Bytes8& f) {
        port.Arrive(Frame(MakeCommandFrame(kCmdSettings)));
        port.ArriveSplit(f, 5, 30, 10);  // split: still whole
        EXPECT_EQ(Serve(), Frame(MakeAck(kCmdSettings)));
    }

    // One exchange; returns what the slave wrote.
    Bytes8 Serve() {
        port.written.clear();
        ServeBoardLinkOn(map, port);
        return port.written;
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
    FakeLinkPort port{clock};
    std::uint8_t proximity = 0;
    int reboots = 0;
    int installs = 0;
    int installResult = 1;
    bool loaderRuns = true;
    Bytes8 loaderStart;
};

TEST_F(LinkSlaveTest, HandShakeIsAnsweredAndBadFramesAreNot) {
    port.Arrive(Frame(MakeCommandFrame(kCmdHandShake)));
    EXPECT_EQ(Serve(), (Bytes8{0x55, 0, 0, 0, 0, 0, 0, 0xAA}));

    const Bytes8 bad[] = {
        {0x55, 0, 0, 0, 0, 0, 0, 0xAB},   // last byte not 0xAA
        {0x54, 0, 0, 0, 0, 0, 0, 0xAA},   // first byte not 0x55
        {0x55, 0, 0, 0, 0, 0, 0xAA},      // seven bytes
        {0x55, 0x01, 0, 0, 0, 0, 0, 0x00},
    };
    for (const auto& b : bad) {
        port.Arrive(b);
        EXPECT_TRUE(Serve().empty()) << ::testing::PrintToString(b);
        EXPECT_FALSE(port.Pending());
    }
    EXPECT_EQ(reboots, 0);
}

TEST_F(LinkSlaveTest, ACommandSplitAcrossReadsIsGatheredWithinItsWindow) {
    const Bytes8 hs = Frame(MakeCommandFrame(kCmdHandShake));
    // The first byte after a long silence, the rest within 2 s of it.
    port.ArriveSplit(hs, 3, 900, 7000);
    EXPECT_EQ(Serve(), Frame(MakeAck(kCmdHandShake)));

    // The rest comes too late: dropped, and the tail is not mistaken for a frame.
    port.ArriveSplit(hs, 4, 2500);
    EXPECT_TRUE(Serve().empty());
    EXPECT_TRUE(Serve().empty());

    // A silent line: one read time-out per pass.
    const std::int64_t t0 = clock.MonotonicMs();
    EXPECT_TRUE(Serve().empty());
    EXPECT_EQ(clock.MonotonicMs() - t0, kSlaveReadTimeoutMs);
}

TEST_F(LinkSlaveTest, StatusFrameCarriesEveryByteInItsPlace) {
    // Distinct values everywhere the frame reads from.
    struct Src {
        std::size_t frameByte;
        std::uint32_t mapByte;
    };
    const Src src[] = {
        {1, 2160}, {2, 2163}, {3, 2164}, {4, 2165}, {5, 2166}, {6, 2167}, {7, 2170}, {8, 2171}, {9, 2172},
        {10, 2173}, {11, 2186}, {12, 2189}, {13, 2190}, {14, 2191}, {15, 2184}, {16, 2185}, {17, 2168},
        {18, 2169}, {19, 2192}, {20, 2193}, {21, 2194}, {22, 2195}, {23, 2197}, {24, 2198}, {25, 2199},
        {26, 2200}, {27, 476}, {28, 134}, {29, 135}, {30, 146}, {31, 147}, {32, 145}, {33, 321}, {35, 260},
        {36, 259}, {37, 258}, {38, 257}, {39, 438}, {40, 439}, {41, 2174}, {42, 2205}, {43, 2206}, {44, 2207},
        {45, 2208}, {46, 2209}, {47, 2210}, {48, 2211}, {49, 2212}, {50, 2213},
    };
    for (const auto& s : src) mem[s.mapByte] = static_cast<std::uint8_t>(0x80 + s.frameByte);
    mem[2160] = 4;  // pilot C keeps the EV MAC
    mem[2202] = 9;
    proximity = 0;

    port.Arrive(Frame(MakeCommandFrame(kCmdStatus)));
    const Bytes8 f = Serve();
    ASSERT_EQ(f.size(), kEVDataSize);
    EXPECT_EQ(f[0], 0x55);
    EXPECT_EQ(f[63], 0xAA);
    EXPECT_EQ(f[1], 4);
    for (const auto& s : src) {
        if (s.frameByte == 1) continue;
        EXPECT_EQ(f[s.frameByte], 0x80 + s.frameByte) << "frame byte " << s.frameByte;
    }
    EXPECT_EQ(f[34], 0);
    EXPECT_EQ(mem[2202], 0) << "the proximity sample is stored";
    for (std::size_t i = 51; i <= 62; ++i) EXPECT_EQ(f[i], 0) << i;
}

TEST_F(LinkSlaveTest, StatusFrameVersionOrderAndMacClearedBelowPilotB) {
    const std::uint8_t version[] = {0x01, 0x0C, 0x03, 0x01};
    std::memcpy(&mem[257], version, 4);
    for (std::uint8_t pilot : {0, 1, 2}) {
        mem[2160] = pilot;
        for (int i = 0; i < 6; ++i) mem[2208 + i] = static_cast<std::uint8_t>(0x10 + i);
        port.Arrive(Frame(MakeCommandFrame(kCmdStatus)));
        const Bytes8 f = Serve();
        ASSERT_EQ(f.size(), kEVDataSize);
        EXPECT_EQ(Bytes8(f.begin() + 35, f.begin() + 39), (Bytes8{0x01, 0x03, 0x0C, 0x01}));
        const bool cleared = pilot < 2;
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(f[45 + i], cleared ? 0 : 0x10 + i) << "pilot " << int(pilot);
            EXPECT_EQ(mem[2208 + i], cleared ? 0 : 0x10 + i);
        }
    }
}

Bytes8 Settings(std::uint8_t b7, std::uint8_t b8, std::uint8_t b13) {
    return {0x55, 1, 30, 0x01, 0x90, 42, 6, b7, b8, 77, 5, 1, 9, b13, 3, 0xAA};
}

TEST_F(LinkSlaveTest, SettingsFrameIsStoredAfterItsAck) {
    // Twice: the limits take effect once two frames agree on them.
    for (int twice = 0; twice < 2; ++twice) {
        port.Arrive(Frame(MakeCommandFrame(kCmdSettings)));
        port.Arrive(Settings(0x02, 1, 80), 20);
        EXPECT_EQ(Serve(), Frame(MakeAck(kCmdSettings)));
    }
    EXPECT_EQ(mem[475], 1);
    EXPECT_EQ(mem[2177], 30);
    EXPECT_EQ(map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE), 400);
    EXPECT_EQ(mem[2196], 42);
    EXPECT_EQ(mem[410], 6);
    EXPECT_EQ(mem[412], 0x0A) << "byte 8 bit 0 adds 0x08 to byte 7";
    EXPECT_EQ(mem[2183], 77);
    EXPECT_EQ(mem[474], 5);
    EXPECT_EQ(mem[263], 1);
    EXPECT_EQ(mem[482], 9);
    EXPECT_EQ(mem[2176], 60) << "capped at the model maximum";
    EXPECT_EQ(mem[21505], 3);
}

TEST_F(LinkSlaveTest, SettingsCapAndMalfunctionBit) {
    struct Case {
        std::uint8_t b7, b8, b13, want412, want2176;
    };
    const Case cases[] = {{0x02, 1, 80, 0x0A, 60}, {0x08, 0, 60, 0x08, 60}, {0x00, 0, 59, 0x00, 59}, {0x00, 1, 61, 0x08, 60}};
    for (const auto& c : cases) {
        SendSettings(Settings(c.b7, c.b8, c.b13));
        SendSettings(Settings(c.b7, c.b8, c.b13));  // agreeing frames
        EXPECT_EQ(mem[412], c.want412);
        EXPECT_EQ(mem[2176], c.want2176);
    }
}

TEST_F(LinkSlaveTest, LateShortOrBadSettingsAreIgnored) {
    mem[2176] = 11;
    const Bytes8 good = Settings(0, 0, 50);
    const struct {
        Bytes8 frame;
        std::int64_t delayMs;
    } cases[] = {
        {Settings(0, 0, 50), 3100},                                  // late
        {Bytes8(good.begin(), good.end() - 1), 10},                  // short
        {[&] { auto s = good; s[15] = 0xAB; return s; }(), 10},      // bad end
    };
    for (const auto& c : cases) {
        port.Arrive(Frame(MakeCommandFrame(kCmdSettings)));
        port.Arrive(c.frame, c.delayMs);
        EXPECT_EQ(Serve(), Frame(MakeAck(kCmdSettings)));
        EXPECT_EQ(mem[2176], 11);
        while (port.Pending()) Serve();  // whatever is left is dropped
    }
}

TEST_F(LinkSlaveTest, LoaderStartIsRecognisedByLengthHeaderAndCrc) {
    // The start packet of a 13,565,965-byte image, as the loader frames it.
    const Bytes8 known = {0x55, 0xFE, 0x01, 0x00, 0xCF, 0x00, 0x0D, 0xFF, 0xD9, 0xAA};
    const auto made = MakeLoaderStart(13565965);
    EXPECT_EQ(Bytes8(made.begin(), made.end()), known);
    EXPECT_EQ(ClassifyCommand(known.data(), known.size()), CommandKind::LoaderStart);

    // An image size whose start packet has 0xAA as CRC high byte (its eighth byte).
    std::uint32_t size = 1;
    while (MakeLoaderStart(size)[7] != 0xAA) ++size;
    for (std::uint32_t s : {size, 123456u}) {
        const auto p = MakeLoaderStart(s);
        port.ArriveSplit(Bytes8(p.begin(), p.end()), 4, 50);
        reboots = 0;
        EXPECT_TRUE(Serve().empty());
        EXPECT_EQ(loaderStart, Bytes8(p.begin(), p.end())) << s;
        EXPECT_EQ(reboots, 1);
    }

    const auto p = MakeLoaderStart(123456);
    const Bytes8 whole(p.begin(), p.end());
    Bytes8 badCrc = whole;
    badCrc[8] ^= 1;
    for (const Bytes8& b : {Bytes8(whole.begin(), whole.begin() + 8), Bytes8(whole.begin(), whole.begin() + 9), badCrc}) {
        loaderStart.clear();
        reboots = 0;
        port.Arrive(b);
        Serve();
        EXPECT_TRUE(loaderStart.empty()) << ::testing::PrintToString(b);
        EXPECT_EQ(reboots, 0);
    }

    // A loader that cannot start: the packet is ignored and the board stays up.
    loaderRuns = false;
    port.Arrive(whole);
    Serve();
    EXPECT_EQ(reboots, 0);
}

TEST_F(LinkSlaveTest, RawImageOfAnyOtherLengthThanTheImageIsDroppedWithoutReboot) {
    // 100 is the stray 55 FF 64 00 00 00 00 AA; 30,013 an image short of its size.
    for (std::uint32_t len : {0u, 100u, 30013u, kCcsImageSize - 1, kCcsImageSize + 1, kMaxRawImage, kMaxRawImage + 1, 0xFFFFFFFFu}) {
        port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, len)));
        port.Arrive(Frame(MakeCommandFrame(kCmdHandShake)), 20);
        EXPECT_TRUE(Serve().empty()) << len;
        EXPECT_EQ(Serve(), Frame(MakeAck(kCmdHandShake))) << len << ": the link goes on";
        EXPECT_EQ(reboots, 0) << len;
    }
}

TEST_F(LinkSlaveTest, RawImageThatInstallsNothingNeverRebootsWithAVehicleConnected) {
    root.Make("/mnt");
    RawImageSize(300);
    const struct {
        const char* what;
        std::uint8_t pilot;
        std::uint32_t status;
        int reboots;
    } cases[] = {
        {"pilot B1", 2, 0, 0}, {"pilot C", 4, 0, 0}, {"pilot D", 5, 0, 0},
        {"V2G phase", 0, 0x060A0000, 0}, {"no vehicle", 1, 0x0B000000, 1},
    };
    for (const auto& c : cases) {
        reboots = 0;
        mem[2160] = c.pilot;
        map.set(SHRMEM_CCS_PLC_STATUS, c.status);
        port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, 300)));
        port.Arrive(Bytes8(100, 1), 10);  // and then nothing: 10 s without progress
        EXPECT_EQ(Serve(), (Bytes8{0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA, 0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA})) << c.what;
        EXPECT_EQ(reboots, c.reboots) << c.what;
        port.Arrive(Frame(MakeCommandFrame(kCmdHandShake)));
        EXPECT_EQ(Serve(), Frame(MakeAck(kCmdHandShake))) << c.what;
    }
    // An image that is installed reboots the board whatever is connected.
    mem[2160] = 4;
    reboots = 0;
    Bytes8 image(300, 5);
    linkwire::AppendImageTrailer(image.data(), image.size() - linkwire::kImageTrailerSize);
    port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, 300)));
    port.Arrive(image, 10);
    Serve();
    EXPECT_EQ(reboots, 1);
}

TEST_F(LinkSlaveTest, SettingsFrameWithAnImpossibleValueIsRefusedWhole) {
    SendSettings(Settings(0x02, 0, 50));
    SendSettings(Settings(0x02, 0, 50));
    const std::vector<std::uint8_t> before = mem;
    const struct {
        Bytes8 frame;
        const char* why;
    } cases[] = {
        {Settings(0xDC, 0, 50), "stop inputs 220"},
        {Settings(0xA2, 0, 50), "stop inputs 162"},
        {Settings(0x01, 0, 50), "stop inputs 1"},
        {Settings(0x12, 0, 50), "stop inputs 18"},
        {Settings(0x02, 2, 50), "charger malfunction 2"},
        // Two hand-shake commands back to back, read as the settings frame.
        {{0x55, 0, 0, 0, 0, 0, 0, 0xAA, 0x55, 0, 0, 0, 0, 0, 0, 0xAA}, "stop inputs 170"},
    };
    unsigned refused = 0;
    for (const auto& c : cases) {
        ::testing::internal::CaptureStdout();
        SendSettings(c.frame);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("[main] Settings frame refused (") + c.why + "), " + std::to_string(++refused) + " refused"),
                  std::string::npos) << out;
        EXPECT_EQ(mem, before) << c.why;
    }
    EXPECT_EQ(GetSettingsIntake().refused, refused);

    // The hand-shakes as the master sends them after a failed exchange: the
    // second within the settings window of a command 2 whose ack was lost.
    port.Arrive(Frame(MakeCommandFrame(kCmdSettings)));
    port.Arrive(Frame(MakeCommandFrame(kCmdHandShake)), 100);
    port.Arrive(Frame(MakeCommandFrame(kCmdHandShake)), 2100);
    ::testing::internal::CaptureStdout();
    Serve();
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("Settings frame refused"), std::string::npos);
    EXPECT_EQ(mem, before);
}

TEST_F(LinkSlaveTest, StopsActAtOnceAndLimitsWhenTwoFramesAgree) {
    mem[2176] = 11;
    mem[2177] = 22;
    auto frame = [](std::uint8_t stop, std::uint8_t malfunction, std::uint8_t reason, std::uint8_t current) {
        Bytes8 f = Settings(stop, malfunction, current);
        f[6] = reason;
        return f;
    };
    struct Step {
        const char* what;
        Bytes8 frame;
        int want412, want410, want2176;
    };
    const Step steps[] = {
        {"first frame: nothing to agree with", frame(0, 0, 0, 50), 0, 0, 11},
        {"limits confirmed", frame(0, 0, 0, 50), 0, 0, 50},
        {"a limit changed on the line", frame(0, 0, 0, 58), 0, 0, 50},
        {"back, disagreeing with the frame before", frame(0, 0, 0, 50), 0, 0, 50},
        {"emergency stops at once", frame(0x08, 0, 0, 50), 0x08, 0, 50},
        {"clear once", frame(0, 0, 0, 50), 0x08, 0, 50},
        {"clear twice", frame(0, 0, 0, 50), 0, 0, 50},
        {"malfunction stops at once", frame(0x02, 1, 0, 50), 0x0A, 0, 50},
        {"stop request alone", frame(0x02, 0, 0, 50), 0x0A, 0, 50},
        {"stop request alone, agreed", frame(0x02, 0, 0, 50), 0x02, 0, 50},
        {"stop reason at once", frame(0, 0, 6, 50), 0x02, 6, 50},
        {"no reason once", frame(0, 0, 0, 50), 0, 6, 50},
        {"no reason twice", frame(0, 0, 0, 50), 0, 0, 50},
    };
    for (const Step& st : steps) {
        SendSettings(st.frame);
        EXPECT_EQ(mem[412], st.want412) << st.what;
        EXPECT_EQ(mem[410], st.want410) << st.what;
        EXPECT_EQ(mem[2176], st.want2176) << st.what;
    }
    // Two frames that both offer the model maximum or more agree on it.
    SendSettings(frame(0, 0, 0, 125));
    SendSettings(frame(0, 0, 0, 80));
    EXPECT_EQ(mem[2176], 60);
    // After a hand-shake the frame before it confirms nothing.
    port.Arrive(Frame(MakeCommandFrame(kCmdHandShake)));
    Serve();
    SendSettings(frame(0, 0, 0, 45));
    EXPECT_EQ(mem[2176], 60);
    SendSettings(frame(0, 0, 0, 45));
    EXPECT_EQ(mem[2176], 45);
}

TEST_F(LinkSlaveTest, RawImageIsWrittenInstalledAndAnswered) {
    root.Make("/mnt");
    RawImageSize(300);
    {
        std::ofstream old(root.path() + "/mnt/FWImage", std::ios::binary);  // a longer image of an earlier transfer
        old << std::string(1000, '\xEE');
    }
    Bytes8 image(300);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
    linkwire::AppendImageTrailer(image.data(), image.size() - linkwire::kImageTrailerSize);
    port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, 300)));
    port.ArriveSplit(image, 64, 200, 50);
    installResult = 1;
    const Bytes8 out = Serve();
    EXPECT_EQ(out, (Bytes8{0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA, 0x55, 0xFF, 1, 0, 0, 0, 0, 0xAA}));
    std::ifstream in(root.path() + "/mnt/FWImage", std::ios::binary);
    EXPECT_EQ(Bytes8((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), image);
    EXPECT_EQ(installs, 1);
    EXPECT_EQ(reboots, 1);
}

TEST_F(LinkSlaveTest, RawImageIncompleteOrNeverInstalledAnswersZero) {
    root.Make("/mnt");
    RawImageSize(300);
    // Incomplete: 10 s without progress.
    port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, 300)));
    port.Arrive(Bytes8(100, 1), 10);
    EXPECT_EQ(Serve(), (Bytes8{0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA, 0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA}));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/mnt/FWImage"));
    EXPECT_EQ(installs, 0);
    EXPECT_EQ(reboots, 1);

    // Complete, but the install never reports: after the long wait 264 goes back to 0.
    installResult = -1;
    RawImageSize(16);
    Bytes8 image(16, 2);
    linkwire::AppendImageTrailer(image.data(), 3);
    port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, 16)));
    port.Arrive(image, 10);
    const std::int64_t t0 = clock.MonotonicMs();
    const Bytes8 out = Serve();
    EXPECT_EQ(Bytes8(out.end() - 8, out.end()), (Bytes8{0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA}));
    EXPECT_GT(clock.MonotonicMs() - t0, kInstallWaitLimitMs);
    EXPECT_EQ(mem[264], 0);
    EXPECT_EQ(reboots, 2);
}

TEST_F(LinkSlaveTest, RawImageThatFailsItsTrailerCheckIsRefusedAtOnce) {
    root.Make("/mnt");
    RawImageSize(200);
    Bytes8 good(200, 0x33);
    linkwire::AppendImageTrailer(good.data(), good.size() - linkwire::kImageTrailerSize);
    Bytes8 badSum = good;
    badSum[5] ^= 0x40;
    Bytes8 badName = good;
    badName[good.size() - 13] = 'X';
    for (const Bytes8& image : {badSum, badName}) {
        installs = 0;
        mem[264] = 2;  // left over from the flash image
        port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, 200)));
        port.Arrive(image, 10);
        const std::int64_t t0 = clock.MonotonicMs();
        EXPECT_EQ(Serve(), (Bytes8{0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA, 0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA}));
        EXPECT_LT(clock.MonotonicMs() - t0, 1000) << "the refusal does not hold the link";
        EXPECT_EQ(installs, 0);
        EXPECT_EQ(mem[264], 0);
        EXPECT_FALSE(std::filesystem::exists(root.path() + "/mnt/FWImage"));
    }
}

TEST_F(LinkSlaveTest, RawImageOfTheImageLengthProceeds) {
    port.Arrive(Frame(MakeCommandFrame(kCmdRawImage, kCcsImageSize)));
    const Bytes8 out = Serve();
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(Bytes8(out.begin(), out.begin() + 8), Frame(MakeAck(kCmdRawImage)));
    EXPECT_EQ(reboots, 1);
}

TEST_F(LinkSlaveTest, UnknownCommandGetsNothing) {
    for (std::uint8_t c : {3, 0x10, 0xFE}) {
        port.Arrive(Frame(MakeCommandFrame(c)));
        EXPECT_TRUE(Serve().empty()) << int(c);
    }
    EXPECT_EQ(reboots, 0);
}

}  // namespace
