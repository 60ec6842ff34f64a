// Bit streams: bit, n-bit and octet reads and writes, flushing, stream ends.
#include <gtest/gtest.h>

#include "BitInputStream.h"
#include "BitOutputStream.h"
#include "exi_test_util.h"

namespace {

TEST(BitInputStream, ReadsAcrossBytesMostSignificantFirst) {
  TestStream t = TestStream::input({0xA5, 0x3C, 0xF0});
  BitStream* s = t.in();
  uint32_t v = 0;
  ASSERT_EQ(readBits(s, 3, &v), 0);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(s->capacity, 5);
  ASSERT_EQ(readBits(s, 5, &v), 0);
  EXPECT_EQ(v, 5u);
  // 12 bits that start with 3 bits left: those 3, one byte whole, 1 bit more.
  TestStream u = TestStream::input({0xA5, 0x3C, 0xF0});
  s = u.in();
  ASSERT_EQ(readBits(s, 5, &v), 0);
  ASSERT_EQ(readBits(s, 12, &v), 0);
  EXPECT_EQ(v, (0x5u << 9) | (0x3Cu << 1) | 1u);
  EXPECT_EQ(s->capacity, 7);
  ASSERT_EQ(readBits(s, 7, &v), 0);
  EXPECT_EQ(v, 0x70u);
  ASSERT_EQ(readBits(s, 32, &v), EXI_ERROR_INPUT_EXHAUSTED);
}

TEST(BitInputStream, EndOfStreamEvenInTheMiddleOfAValue) {
  TestStream t = TestStream::input({0xFF});
  BitStream* s = t.in();
  uint32_t v = 0;
  ASSERT_EQ(readBits(s, 4, &v), 0);
  EXPECT_EQ(readBits(s, 12, &v), EXI_ERROR_INPUT_EXHAUSTED);
  EXPECT_EQ(s->capacity, 0);
  EXPECT_EQ(decodeBoolean(s, &v), EXI_ERROR_INPUT_EXHAUSTED);
  // Zero bits succeed even at the end.
  ASSERT_EQ(decodeNBitUnsignedInteger(s, 0, &v), 0);
  EXPECT_EQ(v, 0u);
  uint8_t octet = 0;
  EXPECT_EQ(decode(s, &octet), EXI_ERROR_INPUT_EXHAUSTED);
}

TEST(BitOutputStream, StoresBytesAsSoonAsComplete) {
  TestStream t = TestStream::output(4);
  BitStream* s = t.out();
  ASSERT_EQ(writeBits(s, 3, 0b101), 0);
  ASSERT_EQ(writeBits(s, 5, 0b00101), 0);
  EXPECT_EQ(t.pos, 1u);
  ASSERT_EQ(flush(s), 0);  // nothing pending: nothing written
  EXPECT_EQ(t.pos, 1u);
  ASSERT_EQ(writeBits(s, 12, 0xABC), 0);
  ASSERT_EQ(encodeBoolean(s, 7), 0);  // any non-zero value is 1
  ASSERT_EQ(encodeFinish(s), 0);       // 5 bits pending, padded with zeros
  EXPECT_EQ(t.written(), (std::vector<uint8_t>{0xA5, 0xAB, 0xC8}));
  ASSERT_EQ(encodeNBitUnsignedInteger(s, 0, 0xFF), 0);
  EXPECT_EQ(t.pos, 3u);
}

TEST(BitOutputStream, WritingPastTheEndFailsWithOutputFull) {
  TestStream t = TestStream::output(1);
  BitStream* s = t.out();
  ASSERT_EQ(encode(s, 0x80), 0);
  EXPECT_EQ(writeBits(s, 4, 0xF), 0);  // still in the partial byte
  EXPECT_EQ(flush(s), EXI_ERROR_OUTPUT_FULL);
  TestStream u = TestStream::output(2);
  s = u.out();
  EXPECT_EQ(writeBits(s, 32, 0x12345678), EXI_ERROR_OUTPUT_FULL);  // mid-value
  EXPECT_EQ(u.written(), (std::vector<uint8_t>{0x12, 0x34}));
}

TEST(BitOutputStream, RefusedByteIsNeverReportedAsWritten) {
  // A write that completes a byte the stream cannot hold leaves that byte
  // pending; every later write, of any width, and the final flush must
  // still fail rather than drop it and report a complete stream.
  for (uint32_t width : {1u, 8u, 31u, 32u}) {
    TestStream t = TestStream::output(1);
    BitStream* s = t.out();
    ASSERT_EQ(encode(s, 0x80), 0);
    ASSERT_EQ(encode(s, 0x40), EXI_ERROR_OUTPUT_FULL);
    EXPECT_EQ(writeBits(s, width, 0xFFFFFFFFu), EXI_ERROR_OUTPUT_FULL) << width;
    EXPECT_EQ(encodeFinish(s), EXI_ERROR_OUTPUT_FULL) << width;
    EXPECT_EQ(t.pos, 1u);
  }
}

}  // namespace
