#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crc.h"
#include "serial_package.h"

using namespace linkwire;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Channels are a process-wide table: every case leaves it empty.
class SerialPackTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int ch = 0; ch < kSerialPackChannels; ++ch) closeSerialPack(ch);
    }
    // Pushes bytes and runs the channel until the decoder has had its turn.
    int Decode(int ch, const Bytes& bytes, Bytes& payload) {
        pushSerialPack(ch, bytes.data(), bytes.size());
        std::uint8_t out[64];
        SerialPacket p{ch, out, 0, sizeof out};
        EXPECT_EQ(checkSerialPack(p), 0) << "input is only moved on this call";
        const int r = checkSerialPack(p);
        payload.assign(out, out + (r == kPackGood ? p.len : 0));
        return r;
    }
};

}  // namespace

TEST_F(SerialPackTest, FramesCarryTheModbusCrcHighByteFirst) {
    const Bytes start{0xFE, 0x01, 0x00, 0xCF, 0x00, 0x0D};
    EXPECT_EQ(SerialPackFrame(start.data(), start.size()), (Bytes{0x55, 0xFE, 0x01, 0x00, 0xCF, 0x00, 0x0D, 0xFF, 0xD9, 0xAA}));
    const std::string digits = "123456789";
    const Bytes f = SerialPackFrame(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size());
    EXPECT_EQ(f[10], 0x4B);
    EXPECT_EQ(f[11], 0x37);
}

TEST_F(SerialPackTest, OpenRefusesAnEleventhChannelAndOtherCodecs) {
    EXPECT_EQ(openSerialPack(1, 64), -3);
    for (int i = 0; i < kSerialPackChannels; ++i) EXPECT_EQ(openSerialPack(0, 64), i);
    EXPECT_EQ(openSerialPack(0, 64), -1);
    EXPECT_EQ(closeSerialPack(4), 1);
    EXPECT_EQ(openSerialPack(0, 64), 4) << "the lowest free record";
    for (int bad : {-1, 10, 200}) {
        EXPECT_EQ(closeSerialPack(bad), 0);
        EXPECT_EQ(pushSerialPack(bad, nullptr, 0), 0);
    }
    closeSerialPack(4);
    std::uint8_t b[4] = {1, 2, 3, 4};
    SerialPacket p{4, b, 4, 4};
    EXPECT_EQ(prepSerialPack(p), 0) << "a closed channel";
}

TEST_F(SerialPackTest, DecoderResults) {
    const int ch = openSerialPack(0, 64);
    const Bytes one{0xAB};
    Bytes good = SerialPackFrame(one.data(), one.size());
    Bytes badCrc = good;
    badCrc[2] ^= 0x01;
    struct Case {
        const char* what;
        Bytes bytes;
        int result;
        Bytes payload;
    } cases[] = {
        {"one-byte payload", good, kPackGood, one},
        {"four bytes are no frame", {0x55, 0x00, 0x00, 0xAA}, kPackNothing, {}},
        {"bad CRC", badCrc, kPackBadCrc, {}},
        {"noise before the frame is skipped", Bytes{0x13, 0x00, 0x55, 0xAB, good[2], good[3], 0xAA}, kPackGood, one},
    };
    for (const Case& c : cases) {
        Bytes payload;
        EXPECT_EQ(Decode(ch, c.bytes, payload), c.result) << c.what;
        EXPECT_EQ(payload, c.payload) << c.what;
        std::uint8_t reset[1] = {0};
        SerialPacket p{ch, reset, 1, 0};
        prepSerialPack(p);  // the encoder empties the work buffer
        std::size_t n;
        std::uint8_t sink[16];
        popSerialPack(ch, sink, sizeof sink, &n);
    }
}

TEST_F(SerialPackTest, FrameSplitAcrossPushesIsDecodedWhole) {
    const int ch = openSerialPack(0, 64);
    const Bytes payload{1, 2, 3, 4, 5};
    const Bytes f = SerialPackFrame(payload.data(), payload.size());
    Bytes got;
    EXPECT_EQ(Decode(ch, Bytes(f.begin(), f.begin() + 4), got), kPackNothing);
    EXPECT_EQ(Decode(ch, Bytes(f.begin() + 4, f.end()), got), kPackGood);
    EXPECT_EQ(got, payload);
}

TEST_F(SerialPackTest, TwoFramesWithoutAGapAreDecodedOneAfterTheOther) {
    const int ch = openSerialPack(0, 64);
    const Bytes first{0xFD, 0x01, 0xAA, 0x55, 0x07};  // end and start bytes inside the payload too
    const Bytes second{0xFC, 0x01, 0, 0, 0, 0};
    Bytes glued = SerialPackFrame(first.data(), first.size());
    const Bytes f2 = SerialPackFrame(second.data(), second.size());
    glued.insert(glued.end(), f2.begin(), f2.end());
    Bytes got;
    EXPECT_EQ(Decode(ch, glued, got), kPackGood);
    EXPECT_EQ(got, first);
    std::uint8_t out[64];
    SerialPacket p{ch, out, 0, sizeof out};
    ASSERT_EQ(checkSerialPack(p), kPackGood);
    EXPECT_EQ(Bytes(out, out + p.len), second);
    EXPECT_EQ(checkSerialPack(p), kPackNothing);

    // Three in a row, then a frame glued to noise: every good frame comes out,
    // the noise does not.
    Bytes three = glued;
    three.insert(three.end(), f2.begin(), f2.end());
    three.insert(three.end(), {0x55, 0x01, 0x02, 0x03, 0xAA});
    EXPECT_EQ(Decode(ch, three, got), kPackGood);
    EXPECT_EQ(got, first);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(checkSerialPack(p), kPackGood) << i;
        EXPECT_EQ(Bytes(out, out + p.len), second) << i;
    }
    EXPECT_EQ(checkSerialPack(p), kPackBadCrc);
    EXPECT_EQ(checkSerialPack(p), kPackNothing);
}

// A pause on the line can cut a frame right after one of its 0xAA payload
// bytes: the first piece then looks like a frame with a bad CRC. Its rest,
// which does not open with 0x55, joins it; a piece that opens with 0x55 is a
// new frame and the broken one is dropped.
TEST_F(SerialPackTest, FrameCutAfterAnEndByteIsJoinedWithItsRest) {
    const int ch = openSerialPack(0, 64);
    const Bytes payload{0xFD, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const Bytes f = SerialPackFrame(payload.data(), payload.size());
    const Bytes next{0xFC, 0x01, 0, 0, 0, 3};
    const Bytes f2 = SerialPackFrame(next.data(), next.size());
    struct Case {
        const char* what;
        Bytes first, second;
        int firstResult, secondResult;
        Bytes got;
    } cases[] = {
        {"cut after the third payload 0xAA", Bytes(f.begin(), f.begin() + 6), Bytes(f.begin() + 6, f.end()), kPackBadCrc,
         kPackGood, payload},
        {"cut after the first: too short to be tried", Bytes(f.begin(), f.begin() + 4), Bytes(f.begin() + 4, f.end()),
         kPackNothing, kPackGood, payload},
        {"a broken frame, then a new one", Bytes(f.begin(), f.begin() + 6), f2, kPackBadCrc, kPackGood, next},
    };
    for (const Case& c : cases) {
        Bytes got;
        EXPECT_EQ(Decode(ch, c.first, got), c.firstResult) << c.what;
        std::uint8_t out[64];
        SerialPacket p{ch, out, 0, sizeof out};
        EXPECT_EQ(checkSerialPack(p), kPackNothing) << c.what << ": reported once";
        EXPECT_EQ(Decode(ch, c.second, got), c.secondResult) << c.what;
        EXPECT_EQ(got, c.got) << c.what;
        EXPECT_EQ(checkSerialPack(p), kPackNothing) << c.what;
    }
}

TEST_F(SerialPackTest, PayloadLargerThanTheDestinationIsNotCopied) {
    const int ch = openSerialPack(0, 64);
    const Bytes big(20, 0x42);
    const Bytes f = SerialPackFrame(big.data(), big.size());
    pushSerialPack(ch, f.data(), f.size());
    std::uint8_t guard[12];
    std::memset(guard, 0xEE, sizeof guard);
    SerialPacket p{ch, guard, 0, 8};
    checkSerialPack(p);
    EXPECT_EQ(checkSerialPack(p), kPackBadCrc);
    EXPECT_EQ(guard[0], 0xEE);
    EXPECT_EQ(guard[11], 0xEE);
}

TEST_F(SerialPackTest, RingsThatRunFullLoseTheirContent) {
    const int ch = openSerialPack(0, 16);
    const Bytes fifteen(15, 1);
    EXPECT_EQ(pushSerialPack(ch, fifteen.data(), 15), 1);
    EXPECT_EQ(pushSerialPack(ch, fifteen.data(), 1), 0) << "the sixteenth byte meets the read index";
    std::uint8_t out[8];
    SerialPacket p{ch, out, 0, sizeof out};
    EXPECT_EQ(checkSerialPack(p), kPackNothing) << "nothing left to move";

    std::uint8_t payload[12] = {};
    SerialPacket tooBig{ch, payload, 12, 0};
    EXPECT_EQ(prepSerialPack(tooBig), 0) << "a 16-byte frame does not fit a 16-byte ring";
    std::size_t n = 99;
    EXPECT_EQ(popSerialPack(ch, out, sizeof out, &n), 0);
    EXPECT_EQ(n, 0u);

    SerialPacket small{ch, payload, 2, 0};
    EXPECT_EQ(prepSerialPack(small), kPackGood);
    std::uint8_t wire[16];
    EXPECT_EQ(popSerialPack(ch, wire, sizeof wire, &n), 1);
    EXPECT_EQ(Bytes(wire, wire + n), SerialPackFrame(payload, 2));
}
