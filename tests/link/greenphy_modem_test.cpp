// The emulated Green PHY modem: what the driver may rely on, and how
// strictly it checks what the driver sends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "clock.h"
#include "greenphy_modem.h"
#include "spi.h"
#include "testroot.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class Modem : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sp), 0);
        line = std::make_unique<greenphy::FdLine>(sp[0]);
    }
    void TearDown() override { close(sp[1]); }

    void Make(greenphy::ModemConfig c = {}) {
        modem = std::make_unique<greenphy::GreenPhyModem>(c, line.get());
        clock.Advance(c.resetDelayMs);
    }
    std::uint16_t Read(std::uint16_t reg) {
        std::uint8_t tx[4] = {std::uint8_t((reg | 0xC000) >> 8), std::uint8_t(reg), 0, 0}, rx[4];
        modem->Transfer(tx, rx, 4, 16);
        return static_cast<std::uint16_t>(rx[2] << 8 | rx[3]);
    }
    void Write(std::uint16_t reg, std::uint16_t v) {
        std::uint8_t tx[4] = {std::uint8_t((reg | 0x4000) >> 8), std::uint8_t(reg), std::uint8_t(v >> 8), std::uint8_t(v)};
        modem->Transfer(tx, nullptr, 4, 16);
    }
    void BufferWrite(const Bytes& image, std::size_t announced) {
        Write(0x0100, static_cast<std::uint16_t>(announced));
        std::uint8_t cmd[2] = {0x00, 0x00};
        modem->Transfer(cmd, nullptr, 2, 8);
        modem->Transfer(image.data(), nullptr, image.size(), 8);
    }
    Bytes BufferRead(std::size_t n) {
        Write(0x0100, static_cast<std::uint16_t>(n));
        std::uint8_t cmd[2] = {0x80, 0x00};
        modem->Transfer(cmd, nullptr, 2, 8);
        Bytes b(n);
        modem->Transfer(nullptr, b.data(), n, 8);
        return b;
    }
    static Bytes Image(const Bytes& frame) {
        Bytes b = {0xAA, 0xAA, 0xAA, 0xAA, std::uint8_t(frame.size()), std::uint8_t(frame.size() >> 8), 0, 0};
        b.insert(b.end(), frame.begin(), frame.end());
        b.push_back(0x55);
        b.push_back(0x55);
        return b;
    }
    static Bytes Frame(std::size_t n, std::uint8_t dst0 = 0x02) {
        Bytes f(n, 0x42);
        f[0] = dst0;
        f[12] = 0x86;
        f[13] = 0xDD;
        return f;
    }
    Bytes Peer() {
        Bytes b(2048);
        ssize_t n = recv(sp[1], b.data(), b.size(), MSG_DONTWAIT);
        b.resize(n > 0 ? n : 0);
        return b;
    }
    // One management request to the chip, and its answer from the read buffer.
    Bytes Ask(std::uint8_t mmv, std::uint16_t mmtype, const Bytes& payload, const std::uint8_t* dest = nullptr) {
        Bytes f = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01, 0x02, 0x99, 0x99, 0x99, 0x99, 0x99, 0x88, 0xE1, mmv,
                   std::uint8_t(mmtype), std::uint8_t(mmtype >> 8)};
        if (dest) std::memcpy(f.data(), dest, 6);
        if (mmv == 1) f.insert(f.end(), {0, 0});
        f.insert(f.end(), payload.begin(), payload.end());
        f.resize(std::max<std::size_t>(f.size(), 60), 0);
        auto img = Image(f);
        BufferWrite(img, img.size());
        std::size_t avail = Read(0x0300);
        if (avail == 0) return {};
        Bytes r = BufferRead(avail);
        return Bytes(r.begin() + 12, r.end() - 2);
    }

    platform::TestClock clock;
    platform::ScopedClock sc{clock};
    int sp[2];
    std::unique_ptr<greenphy::FdLine> line;
    std::unique_ptr<greenphy::GreenPhyModem> modem;
};

TEST_F(Modem, SignatureOnlyAfterTheResetDelay) {
    greenphy::ModemConfig c;
    c.resetDelayMs = 300;
    modem = std::make_unique<greenphy::GreenPhyModem>(c, line.get());
    EXPECT_EQ(Read(0x1A00), 0);
    clock.Advance(300);
    EXPECT_EQ(Read(0x1A00), 0xAA55);
    EXPECT_EQ(Read(0x0C00) & 0x01, 0x01);  // CPU on
    modem->SetResetLine(0);
    EXPECT_EQ(Read(0x1A00), 0);
    clock.Advance(1000);
    EXPECT_EQ(Read(0x1A00), 0);  // held in reset
    modem->SetResetLine(1);
    EXPECT_EQ(modem->resets, 1u);
    clock.Advance(299);
    EXPECT_EQ(Read(0x1A00), 0);
    clock.Advance(1);
    EXPECT_EQ(Read(0x1A00), 0xAA55);
    EXPECT_EQ(Read(0x0200), 3163);
}

TEST_F(Modem, WriteFramesAreCheckedStrictly) {
    Make();
    Bytes good = Image(Frame(60));
    struct Case {
        const char* name;
        Bytes image;
        std::size_t announced;
    };
    std::vector<Case> bad;
    auto corrupt = [&](const char* name, std::size_t at, std::uint8_t v) {
        Bytes b = good;
        b[at] = v;
        bad.push_back({name, b, b.size()});
    };
    corrupt("start marker", 2, 0xAB);
    corrupt("length", 4, 61);
    corrupt("reserved", 6, 1);
    corrupt("end marker", good.size() - 1, 0x56);
    bad.push_back({"size other than announced", good, good.size() + 2});
    Bytes shortFrame = Image(Frame(59));
    bad.push_back({"shorter than the chip takes", shortFrame, shortFrame.size()});
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        auto errors = modem->frameErrors + modem->protocolErrors;
        BufferWrite(c.image, c.announced);
        EXPECT_EQ(modem->frameErrors + modem->protocolErrors, errors + 1);
        EXPECT_NE(Read(0x0C00) & 0x04, 0);  // write-buffer error
        Write(0x0C00, 0x04);
        EXPECT_TRUE(Peer().empty());
    }
    BufferWrite(good, good.size());
    EXPECT_EQ(Peer(), Bytes(good.begin() + 8, good.end() - 2));
    EXPECT_EQ(modem->bufferWrites.size(), 1u);
}

TEST_F(Modem, ReadFramesCarryTheirLengthFirst) {
    Make();
    Bytes f = Frame(70);
    send(sp[1], f.data(), f.size(), 0);
    EXPECT_EQ(Read(0x0300), 84);
    EXPECT_NE(Read(0x0C00) & 0x40, 0);  // packet available
    Bytes r = BufferRead(84);
    Bytes want = {0, 0, 0, 80};
    Bytes img = Image(f);
    want.insert(want.end(), img.begin(), img.end());
    EXPECT_EQ(r, want);
    EXPECT_EQ(Read(0x0300), 0);
    // Reading more than is there is an error of the driver.
    BufferRead(10);
    EXPECT_EQ(modem->readErrors, 1u);
    EXPECT_NE(Read(0x0C00) & 0x02, 0);
}

TEST_F(Modem, ManagementPlaneAnswersVersionKeyAndNetwork) {
    Make();
    const std::uint8_t* mac = modem->config().mac;
    Bytes ver = Ask(0, 0xA000, {0x00, 0xB0, 0x52});
    ASSERT_GE(ver.size(), 60u);
    EXPECT_EQ(Bytes(ver.begin() + 6, ver.begin() + 12), Bytes(mac, mac + 6));
    EXPECT_EQ(ver[15], 0x01);
    EXPECT_EQ(ver[16], 0xA0);
    EXPECT_EQ(Bytes(ver.begin() + 17, ver.begin() + 20), (Bytes{0x00, 0xB0, 0x52}));

    Bytes key(41, 0);
    key[0] = 1;
    for (int i = 0; i < 7; ++i) key[14 + i] = std::uint8_t(0x30 + i);
    for (int i = 0; i < 16; ++i) key[22 + i] = std::uint8_t(0xC0 + i);
    Bytes cnf = Ask(1, 0x6008, key, mac);
    ASSERT_GE(cnf.size(), 60u);
    EXPECT_EQ(cnf[15], 0x09);
    EXPECT_EQ(cnf[16], 0x60);
    EXPECT_EQ(cnf[19], 1);
    Bytes info = Ask(1, 0xA038, {0x00, 0xB0, 0x52});
    ASSERT_GE(info.size(), 60u);
    EXPECT_EQ(Bytes(info.begin() + 19 + 9, info.begin() + 19 + 16), Bytes(key.begin() + 14, key.begin() + 21));
    EXPECT_TRUE(Peer().empty());  // none of it went out on the line
}

TEST_F(Modem, RefusedKeyIsNotApplied) {
    greenphy::ModemConfig c;
    c.setKeyResult = 0;
    Make(c);
    Bytes before(modem->nid(), modem->nid() + 7);
    Bytes key(41, 0x11);
    key[0] = 1;
    Bytes cnf = Ask(1, 0x6008, key, modem->config().mac);
    ASSERT_GE(cnf.size(), 60u);
    EXPECT_EQ(cnf[19], 0);
    EXPECT_EQ(Bytes(modem->nid(), modem->nid() + 7), before);
}

TEST_F(Modem, PcapRecordsWhatCrosses) {
    TestRoot root;
    std::string path = root.path() + "/plc.pcap";
    greenphy::PcapWriter pcap;
    ASSERT_TRUE(pcap.Open(path));
    modem = std::make_unique<greenphy::GreenPhyModem>(greenphy::ModemConfig{}, line.get(), &pcap);
    clock.Advance(1000);
    Bytes f = Frame(64);
    auto img = Image(f);
    BufferWrite(img, img.size());
    send(sp[1], f.data(), f.size(), 0);
    Read(0x0300);
    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(file.size(), 24u + 2 * (16 + 64));
    std::uint32_t magic;
    std::memcpy(&magic, file.data(), 4);
    EXPECT_EQ(magic, 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(file.begin() + 40, file.begin() + 104), f);
}

TEST_F(Modem, ReachedOverTheSocketSeamOneMessageATransfer) {
    Make();
    TestRoot root;
    std::string path = root.path() + "/spi.sock";
    int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    // The emulator's end, as its program serves it.
    std::thread server([&] {
        int client = accept(listener, nullptr, nullptr);
        std::string tx;
        unsigned bits = 0;
        while (platform::ReadSpiRequest(client, tx, bits)) {
            Bytes rx(tx.size());
            modem->Transfer(reinterpret_cast<const std::uint8_t*>(tx.data()), rx.data(), tx.size(), bits);
            if (!platform::WriteSpiAnswer(client, rx.data(), rx.size())) break;
        }
        close(client);
    });
    {
        auto spi = platform::ConnectSpiSocket(path);
        ASSERT_TRUE(spi);
        std::uint8_t sig[4] = {0xDA, 0x00, 0, 0}, rx[4] = {};
        ASSERT_EQ(spi->Transfer(sig, rx, 4, 16), 4);
        EXPECT_EQ(rx[2] << 8 | rx[3], 0xAA55);
        // A frame written through the seam arrives whole on the line side.
        Bytes img = Image(Frame(300));
        std::uint8_t size[4] = {0x41, 0x00, std::uint8_t(img.size() >> 8), std::uint8_t(img.size())};
        std::uint8_t cmd[2] = {0x00, 0x00};
        ASSERT_EQ(spi->Transfer(size, nullptr, 4, 16), 4);
        ASSERT_EQ(spi->Transfer(cmd, nullptr, 2, 8), 2);
        ASSERT_EQ(spi->Transfer(img.data(), nullptr, img.size(), 8), static_cast<int>(img.size()));
        EXPECT_EQ(Peer(), Frame(300));
        EXPECT_EQ(modem->frameErrors + modem->protocolErrors, 0u);
    }
    server.join();
    close(listener);
}

// The emulator restarts: the driver's end of the seam fails one transfer and
// then reaches the new emulator on the same path.
TEST_F(Modem, SocketSeamReconnectsToARestartedEmulator) {
    Make();
    TestRoot root;
    std::string path = root.path() + "/spi.sock";
    auto serveOne = [&](int transfers) {
        int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        unlink(path.c_str());
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        return std::thread([this, listener, transfers] {
            int client = accept(listener, nullptr, nullptr);
            std::string tx;
            unsigned bits = 0;
            for (int i = 0; i < transfers && platform::ReadSpiRequest(client, tx, bits); ++i) {
                Bytes rx(tx.size());
                modem->Transfer(reinterpret_cast<const std::uint8_t*>(tx.data()), rx.data(), tx.size(), bits);
                platform::WriteSpiAnswer(client, rx.data(), rx.size());
            }
            close(client);
            close(listener);
        });
    };
    std::uint8_t sig[4] = {0xDA, 0x00, 0, 0}, rx[4] = {};
    auto first = serveOne(1);
    auto spi = platform::ConnectSpiSocket(path);
    ASSERT_TRUE(spi);
    EXPECT_EQ(spi->Transfer(sig, rx, 4, 16), 4);
    first.join();
    EXPECT_EQ(spi->Transfer(sig, rx, 4, 16), -1);  // the emulator is gone
    EXPECT_EQ(spi->Transfer(sig, rx, 4, 16), -1);  // and not back yet
    auto second = serveOne(1);
    std::memset(rx, 0, sizeof(rx));
    EXPECT_EQ(spi->Transfer(sig, rx, 4, 16), 4);
    EXPECT_EQ(rx[2] << 8 | rx[3], 0xAA55);
    second.join();
    unlink(path.c_str());
}

}  // namespace
