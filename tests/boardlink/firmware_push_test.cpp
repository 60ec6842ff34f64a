#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "fake_link_port.h"
#include "firmware_push.h"
#include "link_frames.h"
#include "log_reader.h"
#include "regmap_fields.h"
#include "scrivet.h"
#include "serial_loader.h"
#include "testroot.h"
#include "timed_line.h"

using namespace boardlink;
using namespace regmap;
using Blob = std::vector<std::uint8_t>;

namespace {

Blob Image(std::size_t len, bool good = true) {
    Blob b(len);
    for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + 1);
    linkwire::AppendImageTrailer(b.data(), len - linkwire::kImageTrailerSize);
    if (!good) b[0] ^= 0x01;
    return b;
}

class PushTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.Make("/Storage/SystemLog");
        root.Make("/mnt");
        SetVersion(0x07, 0x01);  // raw transfer
    }
    void SetVersion(std::uint8_t b519, std::uint8_t b520) {
        mem[519] = b519;
        mem[520] = b520;
    }
    void PutImage(const Blob& b) {
        std::ofstream f(root.path() + kPushImage, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    std::string Log() const { return ReadSystemLog(root.path()); }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
    FakeLinkPort port{clock};
};

// The CCS board's side of a raw transfer: acknowledges the command, counts
// the image and answers with `result` once it is whole.
struct RawPeer {
    FakeLinkPort& port;
    Blob ack;
    Blob result;
    std::size_t expect = 0;
    std::size_t got = 0;
    std::vector<std::size_t> writes;
    bool command = false;
    void Defaults() {
        ack = {0x55, 0xFF, 0, 0, 0, 0, 0, 0xAA};
        result = {0x55, 0xFF, 1, 0, 0, 0, 0, 0xAA};
    }
    void Attach() {
        port.onWrite = [this](const Blob& b) {
            if (!command) {
                command = true;
                expect = linkwire::RawImageLength(b.data());
                port.Arrive(ack, 5);
                return;
            }
            writes.push_back(b.size());
            got += b.size();
            if (got == expect) port.Arrive(result, 30000);
        };
    }
};

}  // namespace

TEST(PushMethod, ChosenFromTheCcsBoardVersion) {
    std::vector<std::uint8_t> mem(kMapSize, 0);
    RegisterMap map(mem.data(), mem.size());
    struct Case {
        std::uint8_t b519, b520;
        int loader;
    } cases[] = {{0x0C, 0x01, 1}, {0x07, 0x01, 0}, {0x08, 0xB1, 0}, {0x08, 0xA1, 0}, {0x08, 0xC1, 0},
                 {0x08, 0xD1, 1}, {0x08, 0x01, 1}, {0x09, 0xB1, 1}, {0x00, 0x02, 1}, {0xFF, 0x00, 0}, {0x00, 0xF2, 1}};
    for (const Case& c : cases) {
        mem[519] = c.b519;
        mem[520] = c.b520;
        EXPECT_EQ(UseLoader(map), c.loader) << std::hex << int{c.b519} << " " << int{c.b520};
    }
}

TEST_F(PushTest, ImageIsCheckedBeforeAnythingIsSent) {
    struct Case {
        const char* what;
        std::uint8_t b519;
        bool present;
        Blob image;
        const char* line;
    } cases[] = {
        {"raw: missing", 0x07, false, {}, "[Scrivet][853] FW update of CCS board failed:Open failed"},
        {"raw: empty", 0x07, true, {}, "[Scrivet][873] FW update of CCS board failed:Read image failed"},
        {"raw: bad sum", 0x07, true, Image(500, false), "[Scrivet][896] FW update of CCS board failed:Image check sum failed"},
        {"loader: missing", 0x0C, false, {}, "[Scrivet][923] FW update of CCS board failed:Open failed"},
        {"loader: bad sum", 0x0C, true, Image(500, false), "[Scrivet][966] FW update of CCS board failed:Image check sum failed"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(root.path() + kPushImage);
        if (c.present) PutImage(c.image);
        SetVersion(c.b519, 0x01);
        port.written.clear();
        EXPECT_EQ(UpdateCAImage(map, port), 0) << c.what;
        EXPECT_TRUE(port.written.empty()) << c.what;
        EXPECT_EQ(Count(Log(), std::string(" - ") + c.line + "\n"), 1) << c.what << "\n" << Log();
    }
}

TEST_F(PushTest, RawTransferSendsPiecesAndTakesByteTwoAsTheVerdict) {
    for (std::size_t len : {256u, 257u, 5000u}) {
        PutImage(Image(len));
        RawPeer peer{port, {}, {}, 0, 0, {}, false};
        peer.Defaults();
        peer.result = {0x00, 0x11, 1, 0x22, 0, 0, 0, 0x33};  // only byte 2 counts
        peer.Attach();
        port.written.clear();
        EXPECT_EQ(UpdateCAImage(map, port), 1) << len;
        EXPECT_EQ(Blob(port.written.begin(), port.written.begin() + 8),
                  (Blob{0x55, 0xFF, static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8), 0, 0, 0, 0xAA}));
        EXPECT_EQ(Blob(port.written.begin() + 8, port.written.end()), Image(len)) << len;
        EXPECT_EQ(peer.writes.front(), std::min<std::size_t>(len, 256)) << len;
        for (std::size_t w : peer.writes) EXPECT_LE(w, 256u);
        EXPECT_EQ(peer.writes.size(), (len + 255) / 256) << len;
    }
}

TEST_F(PushTest, RawTransferFailuresAreLoggedWithTheirNumbers) {
    PutImage(Image(1000));
    struct Case {
        const char* what;
        std::function<void(RawPeer&)> setUp;
        const char* line;
        std::int64_t atLeastMs;
    } cases[] = {
        {"no acknowledgement", [](RawPeer& p) { p.ack = {}; }, "[Scrivet][1070] FW update of CCS board failed:Enter update FW failed(timeout)", 10000},
        {"acknowledgement of another command", [](RawPeer& p) { p.ack[1] = 0x01; }, "[Scrivet][1255] FW update of CCS board failed:Enter update FW failed(ack wrong)", 0},
        {"installation failed", [](RawPeer& p) { p.result[2] = 0; }, "[Scrivet][1217] FW update of CCS board failed:FlashBuild failed", 0},
        {"no verdict", [](RawPeer& p) { p.result = {}; }, "[Scrivet][1191] FW update of CCS board failed:FlashBuild timeout", 900000},
    };
    for (Case& c : cases) {
        RawPeer peer{port, {}, {}, 0, 0, {}, false};
        peer.Defaults();
        c.setUp(peer);
        peer.Attach();
        const std::int64_t t0 = clock.MonotonicMs();
        EXPECT_EQ(UpdateCAImage(map, port), 0) << c.what;
        EXPECT_GE(clock.MonotonicMs() - t0, c.atLeastMs) << c.what;
        EXPECT_EQ(Count(Log(), std::string(" - ") + c.line + "\n"), 1) << c.what << "\n" << Log();
    }
    // The line takes the command but then nothing for more than 10 s.
    RawPeer peer{port, {}, {}, 0, 0, {}, false};
    peer.Defaults();
    peer.Attach();
    auto inner = port.onWrite;
    port.onWrite = [&](const Blob& b) {
        inner(b);
        if (peer.command) port.stallWrites = true;
    };
    EXPECT_EQ(UpdateCAImage(map, port), 0);
    port.stallWrites = false;
    EXPECT_EQ(Count(Log(), " - [Scrivet][1157] FW update of CCS board failed:Comm failed(Timeout)\n"), 1) << Log();
}

namespace {

// The master's end of a timed line that ticks a loader slave at the other end
// whenever the master reads: the two run in step on the test clock.
class SteppedPort final : public linkwire::LinkPort {
public:
    SteppedPort(TimedLine& line, linkwire::SerialLoader& slave) : line_(line), slave_(slave) {}
    ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        if (!slave_.Finished()) slave_.Tick();
        return line_.master().Read(buf, len, timeoutMs);
    }
    ssize_t Write(const std::uint8_t* buf, std::size_t len) override { return line_.master().Write(buf, len); }
    void Drain() override { line_.master().Drain(); }

private:
    TimedLine& line_;
    linkwire::SerialLoader& slave_;
};

}  // namespace

TEST_F(PushTest, LoaderSendsTheArchiveAndReportsTheVerdict) {
    root.Make("/usr/bin");
    std::filesystem::create_symlink("/usr/bin/zip", root.path() + "/usr/bin/zip");
    SetVersion(0x0C, 0x01);
    const Blob image = Image(6000);
    PutImage(image);
    struct Case {
        int verdict;
        int ok;
        const char* line;
    } cases[] = {
        {linkwire::kLoaderSuccess, 1, nullptr},
        {linkwire::kLoaderWriteFail, 0, "[Scrivet][1300] FW update of CCS board failed:FlashBuild failed"},
        {linkwire::kLoaderChecksumFail, 0, "[Scrivet][1304] FW update of CCS board failed:Image Check sum failed(Ack)"},
        {linkwire::kLoaderFileBroken, 0, "[Scrivet][1306] FW update of CCS board failed:File broken(Ack)"},
    };
    for (const Case& c : cases) {
        {
            std::ofstream stale(root.path() + kPushArchive);
            stale << "an archive of an earlier push";
        }
        platform::SystemRunner real;
        platform::ScopedRunner runner(real);
        TimedLine line(clock, 11.52);
        Blob area(64 * 1024);
        Blob received;
        linkwire::LoaderParams p;
        p.channel = linkwire::openSerialPack(0, linkwire::kLoaderChannelSize);
        p.mode = linkwire::kLoaderSlave;
        p.image = area.data();
        p.imageLen = static_cast<std::uint32_t>(area.size());
        p.endHandler = [&](std::uint8_t* b, std::uint32_t n) {
            received.assign(b, b + n);
            return c.verdict;
        };
        linkwire::SerialLoader slave(line.slave(), p);
        ASSERT_EQ(slave.Start(), linkwire::kLoaderSuccess);
        SteppedPort stepped(line, slave);
        EXPECT_EQ(UpdateCAImage(map, stepped), c.ok) << c.verdict;
        linkwire::closeSerialPack(p.channel);
        std::ifstream f(root.path() + kPushArchive, std::ios::binary);
        const Blob archive((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(received, archive);
        EXPECT_EQ(archive[0], 'P') << "a zip archive, made afresh";
        if (c.line) {
            EXPECT_EQ(Count(Log(), std::string(" - ") + c.line + "\n"), 1) << Log();
        }
    }
}

TEST_F(PushTest, LoaderResendLimitIsLoggedAsSuch) {
    root.Make("/usr/bin");
    std::filesystem::create_symlink("/usr/bin/zip", root.path() + "/usr/bin/zip");
    SetVersion(0x0C, 0x01);
    PutImage(Image(6000));
    platform::SystemRunner real;
    platform::ScopedRunner runner(real);
    TimedLine line(clock, 11.52);
    // Every block is damaged on the line, so the slave asks for it again and again.
    line.tap = [](int, std::vector<std::uint8_t>& bytes) {
        if (bytes.size() > 100) bytes[bytes.size() / 2] ^= 0x10;
    };
    Blob area(64 * 1024);
    linkwire::LoaderParams p;
    p.channel = linkwire::openSerialPack(0, linkwire::kLoaderChannelSize);
    p.mode = linkwire::kLoaderSlave;
    p.image = area.data();
    p.imageLen = static_cast<std::uint32_t>(area.size());
    p.endHandler = [](std::uint8_t*, std::uint32_t) { return linkwire::kLoaderSuccess; };
    linkwire::SerialLoader slave(line.slave(), p);
    ASSERT_EQ(slave.Start(), linkwire::kLoaderSuccess);
    SteppedPort stepped(line, slave);
    EXPECT_EQ(UpdateCAImage(map, stepped), 0);
    linkwire::closeSerialPack(p.channel);
    const std::string log = Log();
    EXPECT_EQ(Count(log, " - [Scrivet][1308] FW update of CCS board failed:Comm failed(Resend limit reached)\n"), 1) << log;
    EXPECT_EQ(log.find("Remaining size wrong"), std::string::npos) << log;
}

TEST_F(PushTest, FirmwarePushLogsTheOverallResult) {
    Scrivet s;
    s.map = map;
    mem[264] = 2;
    FirmwarePush(s, port);  // no image: the push fails
    EXPECT_TRUE(map.get(ALARM_CCS_BOARD_UPDATE));
    EXPECT_EQ(mem[264], 0);
    EXPECT_EQ(Count(Log(), " - [Scrivet][853] FW update of CCS board failed:Open failed\n"), 1);
    EXPECT_EQ(Count(Log(), " - [Scrivet]Update Quorzel NG (transmission failed)\n"), 1);
}
