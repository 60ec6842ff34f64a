// The modem driver against the emulated chip: synchronisation, the receive
// ring and its frame parser, the transmit queue and its framing.
#include <gtest/gtest.h>

#include <cstring>

#include "IF_SPI_App.h"
#include "link_rig.h"
#include "link_seams.h"
#include "spi.h"

using namespace plc;

namespace {

greenphy::ModemConfig Unpadded() {
    greenphy::ModemConfig c;
    c.padShortFrames = false;
    return c;
}

// Takes every received frame out of the slots, in order.
std::vector<std::vector<std::uint8_t>> TakeAll() {
    std::vector<std::vector<std::uint8_t>> got;
    std::uint8_t buf[600];
    while (LoadWord(RxSlotFlag(LoadByte(kRxExeIdx))) == 1) {
        std::uint16_t n = R_Ether_Read(buf, sizeof(buf));
        got.emplace_back(buf, buf + n);
    }
    return got;
}

void Steps(LinkRig& rig, int n) {
    for (int i = 0; i < n; ++i) rig.DriverStep();
}

TEST(SpiDriver, SynchronisesOnSecondSignatureAndSetsUpTheChip) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    EXPECT_EQ(rig.segment[kPhyState], 2);
    EXPECT_EQ(rig.segment[kPhyState + 1], 0);
    EXPECT_EQ(LoadWord(kResetCount), 0);
    const auto& w = rig.modem->regWrites;
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0].reg, SPI_REG_INTR_CAUSE);
    EXPECT_EQ(w[1].reg, SPI_REG_INTR_ENABLE);
    EXPECT_EQ(w[1].value, 0x47);
    EXPECT_EQ(w[2].reg, SPI_REG_RDBUF_WATERMARK);
    EXPECT_EQ(w[2].value, 100);
    EXPECT_EQ(w[3].reg, SPI_REG_WRBUF_WATERMARK);
    EXPECT_EQ(w[3].value, 240);
    // Synchronising was reported as phase 9 in the status word.
    EXPECT_EQ(rig.map[2197], 9);
}

TEST(SpiDriver, ChipWithoutSignatureIsResetThroughGpio79) {
    greenphy::ModemConfig c;
    c.resetDelayMs = 1000000;  // never comes up
    LinkRig rig(c);
    Steps(rig, 700);
    ASSERT_GE(rig.modem->resets, 1u);
    ASSERT_GE(rig.gpio->writes.size(), 2u);
    EXPECT_EQ(rig.gpio->writes[0], std::make_pair(79, 0));
    EXPECT_EQ(rig.gpio->writes[1], std::make_pair(79, 1));
    // After repeated failures the driver says so in the status word.
    for (int i = 0; i < 20 && rig.map[2200] != 255; ++i) Steps(rig, 700);
    EXPECT_EQ(rig.map[2197], 9);
    EXPECT_EQ(rig.map[2200], 255);
}

struct LengthCase {
    std::size_t len;
    bool lands;
};

TEST(SpiDriver, FrameLengthBoundsAndTheNextFrameStillLands) {
    const LengthCase cases[] = {{60, true}, {600, true}, {59, false}, {601, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        LinkRig rig(Unpadded());
        ASSERT_TRUE(rig.SyncDriver());
        auto first = LinkRig::MakeFrame(c.len, 1);
        auto next = LinkRig::MakeFrame(100, 7);
        rig.PeerSend(first);
        rig.PeerSend(next);
        Steps(rig, 3);
        auto got = TakeAll();
        std::vector<std::vector<std::uint8_t>> want;
        if (c.lands) want.push_back(first);
        want.push_back(next);
        EXPECT_EQ(got, want);
        EXPECT_EQ(nLinkCounters.rxDroppedLength, c.lands ? 0u : 1u);
    }
}

TEST(SpiDriver, FrameAcrossTheEndOfTheRingArrivesWhole) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    // 19 frames of 186 bytes take 200 ring bytes each: the ring's write
    // position is then 3800, and a 400-byte frame runs over the end.
    for (int i = 0; i < 19; ++i) {
        rig.PeerSend(LinkRig::MakeFrame(186, static_cast<std::uint8_t>(i)));
        Steps(rig, 2);
        ASSERT_EQ(TakeAll().size(), 1u);
    }
    ASSERT_EQ(LoadWord(kRingIn), 3800);
    auto big = LinkRig::MakeFrame(400, 0x5A);
    rig.PeerSend(big);
    Steps(rig, 2);
    auto got = TakeAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], big);
    EXPECT_EQ(LoadWord(kRingIn), (3800 + 414) % 4000);
}

// The parser on hand-made ring contents.
std::vector<std::uint8_t> ChipFrame(const std::vector<std::uint8_t>& f) {
    std::size_t n = f.size();
    std::vector<std::uint8_t> b(n + 14, 0xAA);
    b[0] = b[1] = 0;
    b[2] = std::uint8_t((n + 10) >> 8);
    b[3] = std::uint8_t(n + 10);
    b[8] = std::uint8_t(n);
    b[9] = std::uint8_t(n >> 8);
    b[10] = b[11] = 0;
    std::copy(f.begin(), f.end(), b.begin() + 12);
    b[n + 12] = b[n + 13] = 0x55;
    return b;
}

TEST(SpiDriver, ParserSkipsDamagedFramesWithoutLosingTheNext) {
    auto good = LinkRig::MakeFrame(80, 3);
    auto badEnd = ChipFrame(LinkRig::MakeFrame(70, 9));
    badEnd[badEnd.size() - 1] = 0x54;
    auto badChipLen = ChipFrame(LinkRig::MakeFrame(70, 9));
    badChipLen[3] ^= 1;
    const std::vector<std::uint8_t> garbage = {0xAA, 0xAA, 0xAA, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0x00};
    const std::vector<std::uint8_t> prefixes[] = {{}, badEnd, badChipLen, garbage};
    for (const auto& prefix : prefixes) {
        SCOPED_TRACE(prefix.size());
        LinkRig rig;
        auto bytes = prefix;
        auto g = ChipFrame(good);
        bytes.insert(bytes.end(), g.begin(), g.end());
        ASSERT_EQ(Ring_Append(bytes.data(), bytes.size()), bytes.size());
        IF_GreenPHY_Pkt_Parser();
        auto got = TakeAll();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], good);
        EXPECT_EQ(LoadWord(kRingCount), 0);
    }
}

TEST(SpiDriver, IncompleteFrameWaitsForTheRest) {
    LinkRig rig;
    auto good = LinkRig::MakeFrame(300, 4);
    auto bytes = ChipFrame(good);
    Ring_Append(bytes.data(), 100);
    IF_GreenPHY_Pkt_Parser();
    EXPECT_TRUE(TakeAll().empty());
    EXPECT_EQ(LoadWord(kRingCount), 100);
    Ring_Append(bytes.data() + 100, bytes.size() - 100);
    IF_GreenPHY_Pkt_Parser();
    auto got = TakeAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], good);
}

TEST(SpiDriver, FullSlotsPauseTheRingWhichIsNeverOverwritten) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    // Numbered frames, more than the slots and the ring can hold at once.
    std::vector<std::vector<std::uint8_t>> sent;
    for (int i = 0; i < 60; ++i) {
        auto f = LinkRig::MakeFrame(180, static_cast<std::uint8_t>(i * 7));
        f[14] = static_cast<std::uint8_t>(i);
        sent.push_back(f);
    }
    std::size_t next = 0;
    std::vector<std::vector<std::uint8_t>> got;
    for (int round = 0; round < 200 && got.size() + rig.modem->lineDrops < sent.size(); ++round) {
        // The peer offers what the chip can take; the controller is slow.
        while (next < sent.size() && next < got.size() + 40) rig.PeerSend(sent[next++]);
        Steps(rig, 3);
        ASSERT_LE(LoadWord(kRingCount), 4000);
        ASSERT_LE(LoadByte(kRxBufNum), 20);
        if (round % 3 == 2) {
            auto taken = TakeAll();
            got.insert(got.end(), taken.begin(), taken.end());
        }
    }
    auto taken = TakeAll();
    got.insert(got.end(), taken.begin(), taken.end());
    // Every frame that the chip delivered arrived intact and in order.
    ASSERT_FALSE(got.empty());
    std::size_t prev = 0;
    for (std::size_t k = 0; k < got.size(); ++k) {
        std::size_t n = got[k][14];
        EXPECT_EQ(got[k], sent[n]);
        if (k) {
            EXPECT_GT(n, prev);
        }
        prev = n;
    }
    EXPECT_EQ(got.size() + rig.modem->lineDrops, sent.size());
    EXPECT_EQ(nLinkCounters.rxSkippedBytes, 0u);
}

TEST(SpiDriver, ImpossibleBytesAvailableIsReadAgainLaterWithoutAReset) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    auto frame = LinkRig::MakeFrame(300, 9);
    rig.PeerSend(frame);
    rig.modem->config().bytesAvailableOverride = 3200;
    auto resets = rig.modem->resets;
    Steps(rig, 3);
    EXPECT_EQ(nLinkCounters.chipFaults, 3u);
    EXPECT_EQ(rig.modem->resets, resets);
    EXPECT_EQ(rig.PhyState(), PHY_RUN);
    EXPECT_TRUE(TakeAll().empty());
    // The frame waited in the chip and arrives whole on the next good read.
    rig.modem->config().bytesAvailableOverride.reset();
    Steps(rig, 1);
    EXPECT_EQ(TakeAll(), std::vector<std::vector<std::uint8_t>>{frame});
}

// The controller clears the segment (a session reset) while the driver is at
// its Nth transfer of a pass with frames going both ways. Once the driver has
// resynchronised, every frame queued afterwards reaches the line and every
// frame from the line reaches a slot.
TEST(SpiDriver, SegmentClearedAtAnyTransferOfAPassLosesNoLaterFrame) {
    for (std::uint64_t n = 1; n <= 24; ++n) {
        SCOPED_TRACE(n);
        LinkRig rig;
        ASSERT_TRUE(rig.SyncDriver());
        for (int i = 0; i < 3; ++i) {
            auto f = LinkRig::MakeFrame(120, static_cast<std::uint8_t>(i));
            ASSERT_EQ(Write_Tx_Packet_Buffer(f.data(), 120, 58), 1);
            rig.PeerSend(LinkRig::MakeFrame(200, static_cast<std::uint8_t>(i)));
        }
        rig.bus->count = 0;
        rig.bus->hookAt = n;
        rig.bus->hook = [] { DIN_State_reset(); };
        Steps(rig, 1);
        rig.bus->hook = nullptr;
        // What was under way when the clear came may still arrive or not.
        ASSERT_TRUE(rig.SyncDriver());
        Steps(rig, 3);
        for (auto f = rig.PeerReceive(); !f.empty(); f = rig.PeerReceive()) {
        }
        TakeAll();

        std::vector<std::vector<std::uint8_t>> sent, fromLine;
        for (int i = 0; i < 15; ++i) {
            auto f = LinkRig::MakeFrame(100, static_cast<std::uint8_t>(i * 3));
            f[20] = static_cast<std::uint8_t>(i);
            ASSERT_EQ(Write_Tx_Packet_Buffer(f.data(), 100, 58), 1) << i;
            sent.push_back(f);
            auto g = LinkRig::MakeFrame(90, static_cast<std::uint8_t>(i * 5));
            rig.PeerSend(g);
            fromLine.push_back(g);
            Steps(rig, 1);
        }
        Steps(rig, 2);
        std::vector<std::vector<std::uint8_t>> onLine;
        for (auto f = rig.PeerReceive(); !f.empty(); f = rig.PeerReceive()) onLine.push_back(f);
        EXPECT_EQ(onLine.size(), sent.size());
        EXPECT_TRUE(onLine == sent);
        auto got = TakeAll();
        EXPECT_EQ(got.size(), fromLine.size());
        EXPECT_TRUE(got == fromLine);
    }
}

// A modem reset asked for right after a clear is served whatever the driver
// was doing when the clear came.
TEST(SpiDriver, ResetRequestedJustAfterAClearIsNeverLost) {
    // Transfers of a synchronising step with the chip up, and of a running
    // step that reads one frame.
    for (bool running : {false, true}) {
        for (std::uint64_t n = 1; n <= (running ? 7u : 6u); ++n) {
            SCOPED_TRACE(testing::Message() << (running ? "running, transfer " : "synchronising, transfer ") << n);
            LinkRig rig;
            rig.DriverStep();
            ASSERT_EQ(rig.PhyState(), PHY_SYNC);
            rig.clock.Advance(rig.modem->config().resetDelayMs);
            if (running) {
                ASSERT_TRUE(rig.SyncDriver());
            }
            rig.PeerSend(LinkRig::MakeFrame(100, 1));
            auto resets = rig.modem->resets;
            rig.bus->count = 0;
            rig.bus->hookAt = n;
            rig.bus->hook = [] {
                DIN_State_reset();
                StoreWord(kResetFlag, 1);
            };
            Steps(rig, 1);
            ASSERT_GE(rig.bus->count, n);
            rig.bus->hook = nullptr;
            for (int i = 0; i < 20 && rig.modem->resets == resets; ++i) rig.DriverStep();
            EXPECT_EQ(rig.modem->resets, resets + 1);
            EXPECT_EQ(LoadWord(kResetFlag), 0);
            EXPECT_TRUE(rig.SyncDriver());
        }
    }
}

TEST(SpiDriver, QueuedFrameReachesTheChipFramedExactly) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    EV_MACAddress[0] = 0x0211;
    EV_MACAddress[1] = 0x2233;
    EV_MACAddress[2] = 0x4455;
    // An ICMPv6 frame of 40 bytes keeps its destination and goes out as 60,
    // the least the chip takes.
    auto icmp = LinkRig::MakeFrame(40, 0x10);
    icmp[0] = 0x33;
    ASSERT_EQ(Write_Tx_Packet_Buffer(icmp.data(), 40, 58), 1);
    auto writesBefore = rig.modem->regWrites.size();
    Steps(rig, 1);
    ASSERT_EQ(rig.modem->bufferWrites.size(), 1u);
    const auto& image = rig.modem->bufferWrites[0];
    std::vector<std::uint8_t> want = {0xAA, 0xAA, 0xAA, 0xAA, 60, 0, 0, 0};
    want.insert(want.end(), icmp.begin(), icmp.end());
    want.resize(8 + 60, 0);
    want.push_back(0x55);
    want.push_back(0x55);
    EXPECT_EQ(image, want);
    // The buffer size written just before was the frame length + 10.
    const auto& w = rig.modem->regWrites;
    auto it = std::find_if(w.begin() + writesBefore, w.end(), [](auto r) { return r.reg == SPI_REG_BFR_SIZE; });
    ASSERT_NE(it, w.end());
    EXPECT_EQ(it->value, 70);
    EXPECT_EQ(rig.modem->frameErrors + rig.modem->protocolErrors, 0u);
    auto onLine = rig.PeerReceive();
    EXPECT_EQ(onLine, std::vector<std::uint8_t>(want.begin() + 8, want.end() - 2));

    // TCP (6) and UDP (17) frames go to the vehicle's MAC.
    auto tcp = LinkRig::MakeFrame(100, 0x20);
    ASSERT_EQ(Write_Tx_Packet_Buffer(tcp.data(), 100, 6), 1);
    Steps(rig, 1);
    onLine = rig.PeerReceive();
    ASSERT_EQ(onLine.size(), 100u);
    EXPECT_EQ(std::vector<std::uint8_t>(onLine.begin(), onLine.begin() + 6),
              (std::vector<std::uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

TEST(SpiDriver, FullQueueAndOversizeFramesAreRefused) {
    LinkRig rig;  // the driver does not run: nothing leaves the queue
    auto f = LinkRig::MakeFrame(578, 1);
    for (int i = 0; i < 10; ++i) {
        f[20] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(Write_Tx_Packet_Buffer(f.data(), 578, 58), 1);
    }
    std::vector<std::uint8_t> firstSlot(TxSlot(0), TxSlot(0) + 588);
    EXPECT_EQ(Write_Tx_Packet_Buffer(f.data(), 100, 58), 0);
    EXPECT_EQ(nLinkCounters.txRefusedFull, 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(TxSlot(0), TxSlot(0) + 588), firstSlot);
    EXPECT_EQ(LoadByte(kTxBufNum), 10);
    // The index bytes in the last slot's tail survived a full-size frame.
    EXPECT_EQ(LoadByte(kTxBufIdx), 0);

    LinkRig fresh;
    auto big = LinkRig::MakeFrame(579, 1);
    EXPECT_EQ(Write_Tx_Packet_Buffer(big.data(), 579, 58), 0);
    EXPECT_EQ(nLinkCounters.txRefusedSize, 1u);
    EXPECT_EQ(LoadByte(kTxBufNum), 0);
}

TEST(SpiDriver, CopyToThePacketInterfaceCarriesNoKey) {
    LinkRig rig;
    Encode_CM_SET_KEY_REQ_MME();
    std::uint8_t* s = TxSlot(0) + 8;
    std::uint8_t out[2048];
    ASSERT_EQ(MirrorCopy(s, 60, out, sizeof(out)), 60u);
    EXPECT_EQ(std::memcmp(s + 19 + 22, test_NMK, 16), 0);  // the modem gets the key
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[41 + i], 0);
    EXPECT_EQ(std::memcmp(out, s, 41), 0);
    EXPECT_EQ(std::memcmp(out + 57, s + 57, 3), 0);

    // CM_SLAC_MATCH.CNF: the NMK at frame bytes 93-108.
    std::vector<std::uint8_t> match(109, 0x77);
    match[12] = 0x88;
    match[13] = 0xE1;
    match[14] = 1;
    match[15] = 0x7D;
    match[16] = 0x60;
    ASSERT_EQ(MirrorCopy(match.data(), match.size(), out, sizeof(out)), 109u);
    for (int i = 0; i < 109; ++i) EXPECT_EQ(out[i], i >= 93 ? 0 : match[i]) << i;

    // Other frames are copied as they are.
    auto plain = LinkRig::MakeFrame(90, 5);
    MirrorCopy(plain.data(), plain.size(), out, sizeof(out));
    EXPECT_EQ(std::memcmp(out, plain.data(), plain.size()), 0);
}


TEST(SpiDriver, AFullTransmitQueueIsSentWholeAndInOrder) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    std::vector<std::vector<std::uint8_t>> sent;
    for (int i = 0; i < 10; ++i) {
        auto f = LinkRig::MakeFrame(100, static_cast<std::uint8_t>(i * 11));
        f[20] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(Write_Tx_Packet_Buffer(f.data(), 100, 58), 1);
        sent.push_back(f);
    }
    ASSERT_EQ(LoadByte(kTxBufNum), 10);
    Steps(rig, 3);
    std::vector<std::vector<std::uint8_t>> onLine;
    for (auto f = rig.PeerReceive(); !f.empty(); f = rig.PeerReceive()) onLine.push_back(f);
    EXPECT_EQ(onLine, sent);
    EXPECT_EQ(LoadByte(kTxBufNum), 0);
    EXPECT_EQ(LoadByte(kTxExeIdx), 0);
}


TEST(SpiDriver, ChipShortOfWriteSpaceMakesTheDriverWaitNotDrop) {
    greenphy::ModemConfig c;
    c.writeSpaceShortEvery = 2;
    LinkRig rig(c);
    ASSERT_TRUE(rig.SyncDriver());
    std::vector<std::vector<std::uint8_t>> sent;
    for (int i = 0; i < 10; ++i) {
        auto f = LinkRig::MakeFrame(100, static_cast<std::uint8_t>(i * 11));
        ASSERT_EQ(Write_Tx_Packet_Buffer(f.data(), 100, 58), 1);
        sent.push_back(f);
    }
    Steps(rig, 30);
    std::vector<std::vector<std::uint8_t>> onLine;
    for (auto f = rig.PeerReceive(); !f.empty(); f = rig.PeerReceive()) onLine.push_back(f);
    EXPECT_GE(rig.modem->shortWrites, 5u);
    EXPECT_TRUE(onLine == sent);
    EXPECT_EQ(LoadByte(kTxBufNum), 0);
}

TEST(SpiDriver, SynchronisationResetsAfter500MsTwiceThenAfter600Ms) {
    greenphy::ModemConfig c;
    c.resetDelayMs = 1000000000;  // the chip never answers
    LinkRig rig(c);
    rig.DriverStep();  // start: synchronising from now on
    ASSERT_EQ(rig.PhyState(), PHY_SYNC);
    // The time since the synchronisation started at which each reset came,
    // and the failure mark in the status bytes after it.
    const struct {
        std::int64_t at;
        std::uint16_t countAfter;
        std::uint8_t resultAfter;
    } want[] = {{501, 1, 0}, {501, 2, 0}, {601, 3, 0}, {601, 2, 255}, {601, 3, 255}, {601, 2, 255}};
    for (const auto& w : want) {
        auto resets = rig.modem->resets;
        std::int64_t t = 0;
        for (int i = 0; i < 1000 && rig.modem->resets == resets; ++i) {
            t = common::ElapsedMs(QCA7K_SYNC_StartTime);
            rig.DriverStep();
        }
        EXPECT_EQ(t, w.at);
        EXPECT_EQ(rig.modem->resets, resets + 1);
        EXPECT_EQ(LoadWord(kResetCount), w.countAfter);
        EXPECT_EQ(rig.map[2197], 9);
        EXPECT_EQ(rig.map[2200], w.resultAfter);
        EXPECT_EQ(rig.PhyState(), PHY_SYNC);
    }
}


TEST(SpiDriver, RecordCopiedFromAShortFrameHoldsNothingOfAnEarlierFrame) {
    LinkRig rig;
    const struct {
        std::size_t frameLen, offset, len, fromFrame;
    } cases[] = {{60, 19, 88, 41}, {100, 19, 66, 66}, {60, 17, 300, 43}, {60, 60, 10, 0}, {60, 600, 14, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frameLen << " " << c.offset << " " << c.len);
        std::uint8_t idx = LoadByte(kRxExeIdx);
        std::memset(RxSlot(idx), 0x77, kMaxRxFrame);  // what an earlier frame left
        for (std::size_t i = 0; i < c.frameLen; ++i) RxSlot(idx)[i] = static_cast<std::uint8_t>(i);
        StoreWord(RxSlotLength(idx), static_cast<std::uint16_t>(c.frameLen));
        StoreWord(RxSlotFlag(idx), 1);
        std::vector<std::uint8_t> rec(c.len, 0xEE);
        MMEPacketCP(rec.data(), c.offset, c.len);
        for (std::size_t i = 0; i < c.len; ++i) {
            ASSERT_EQ(rec[i], i < c.fromFrame ? static_cast<std::uint8_t>(c.offset + i) : 0) << i;
        }
        EXPECT_EQ(LoadWord(RxSlotFlag(idx)), 0);
    }
}


// Records each transfer as it would cross the wire.
class WireLog final : public platform::SpiDevice {
public:
    struct Xfer {
        std::vector<std::uint8_t> tx;
        unsigned bits;
    };
    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bits) override {
        log.push_back({tx ? std::vector<std::uint8_t>(tx, tx + len) : std::vector<std::uint8_t>(len, 0), bits});
        if (rx) {
            std::memset(rx, 0, len);
            if (bits == 16 && len == 4) rx[2] = 0x12, rx[3] = 0x34;
        }
        return static_cast<int>(len);
    }
    std::vector<Xfer> log;
};

TEST(SpiDriver, RegisterAndBufferCommandsOnTheWire) {
    WireLog wire;
    auto* prev = platform::SetSpiDevice(&wire);
    int fd = SPI_init();
    ASSERT_GE(fd, 0);
    const std::uint8_t data[3] = {0xAA, 0x01, 0x55};
    std::uint8_t in[5];
    EXPECT_EQ(SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_INTR_ENABLE, 0x47), 1);
    EXPECT_EQ(SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_SIGNATURE), 0x1234);
    EXPECT_EQ(SPI2_Xfer_BufWriteCmd_Execute(fd, SPI_CMD_BUF_READ), 1);
    EXPECT_EQ(SPI2_Xfer_BufWriteCmd_Execute(fd, SPI_CMD_BUF_WRITE), 1);
    EXPECT_EQ(SPI2_Xfer_8bit_WriteData_Execute(fd, data, 3), 1);
    EXPECT_EQ(SPI2_8bit_RX_Dummy_Execute(fd, 5, in), 5);
    const WireLog::Xfer want[] = {
        {{0x4D, 0x00, 0x00, 0x47}, 16}, {{0xDA, 0x00, 0x00, 0x00}, 16}, {{0x80, 0x00}, 8},
        {{0x00, 0x00}, 8},             {{0xAA, 0x01, 0x55}, 8},        {{0, 0, 0, 0, 0}, 8},
    };
    ASSERT_EQ(wire.log.size(), std::size(want));
    for (std::size_t i = 0; i < std::size(want); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(wire.log[i].tx, want[i].tx);
        EXPECT_EQ(wire.log[i].bits, want[i].bits);
    }
    SPI_close();
    platform::SetSpiDevice(prev);
}

}  // namespace
