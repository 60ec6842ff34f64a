// Typed values: header, coding lengths, integers, floats, decimals,
// date-times, binary data and strings.
#include <gtest/gtest.h>

#include "BitInputStream.h"
#include "BitOutputStream.h"
#include "DecoderChannel.h"
#include "EXICoder.h"
#include "EXIDecoder.h"
#include "EXIEncoder.h"
#include "EncoderChannel.h"
#include "exi_test_util.h"

namespace {

TEST(ExiHeader, AcceptsPlainHeaderRefusesCookieAndOptions) {
  const std::pair<uint8_t, int32_t> cases[] = {
      {0x80, 0}, {0x00, 0}, {0xA0, EXI_ERROR_HEADER_OPTIONS}, {0x24, EXI_ERROR_COOKIE}};
  for (auto [byte, rc] : cases) {
    TestStream t = TestStream::input({byte});
    EXPECT_EQ(readEXIHeader(t.in()), rc) << int{byte};
  }
  TestStream out = TestStream::output(1);
  ASSERT_EQ(writeEXIHeader(out.out()), 0);
  EXPECT_EQ(out.bytes[0], 0x80);
}

TEST(ExiCodingLength, BitsForAlternatives) {
  const std::pair<uint32_t, uint16_t> cases[] = {{0, 0},  {1, 0},  {2, 1},    {3, 2},
                                                 {4, 2},  {16, 4}, {17, 5},   {32, 5},
                                                 {33, 6}, {257, 9}, {65536, 16}};
  for (auto [n, bits] : cases) {
    uint16_t b = 99;
    ASSERT_EQ(exiGetCodingLength(n, &b), 0);
    EXPECT_EQ(b, bits) << n;
  }
  uint16_t b = 0;
  EXPECT_EQ(exiGetCodingLength(65537, &b), EXI_ERROR_TOO_MANY_ALTERNATIVES);
  const std::pair<uint32_t, uint32_t> blocks[] = {
      {127, 1}, {128, 2}, {16383, 2}, {16384, 3}, {0xFFFFFFF, 4}, {0x10000000, 5}, {0xFFFFFFFF, 5}};
  for (auto [v, n] : blocks) EXPECT_EQ(numberOf7BitBlocksToRepresent(v), n) << v;
}

TEST(ExiUnsignedInteger, EncodesSevenBitGroupsLeastSignificantFirst) {
  TestStream t = TestStream::output(16);
  ASSERT_EQ(encodeUnsignedInteger32(t.out(), 300), 0);
  EXPECT_EQ(t.written(), (std::vector<uint8_t>{0xAC, 0x02}));
  TestStream u = TestStream::output(16);
  ASSERT_EQ(encodeUnsignedInteger64(u.out(), 0x8000000000000000ull), 0);
  EXPECT_EQ(u.written().size(), 10u);
  uint64_t back = 0;
  TestStream r = TestStream::input(u.written());
  ASSERT_EQ(decodeUnsignedInteger64(r.in(), &back), 0);
  EXPECT_EQ(back, 0x8000000000000000ull);
}

TEST(ExiUnsignedInteger, DecodedKindFollowsOctetCountAndSign) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool negative;
    uint32_t kind;
    int64_t value;
  };
  const Case cases[] = {
      {{0x7F}, false, EXI_UINT8, 127},
      {{0x80, 0x01}, false, EXI_UINT16, 128},
      {{0x80, 0x80, 0x04}, false, EXI_UINT32, 65536},
      {{0xFF, 0xFF, 0x03}, false, EXI_UINT16, 65535},
      {{0x80, 0x80, 0x80, 0x80, 0x10}, false, EXI_UINT64, 1ll << 32},
      {{0x00}, true, EXI_INT8, -1},
      {{0x80, 0x01}, true, EXI_INT16, -129},
      {{0x80, 0x80, 0x02}, true, EXI_INT32, -32769},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = c.bytes;
    if (c.negative) {
      // Prepend the sign bit: shift the whole octet sequence right by one.
      std::vector<uint8_t> shifted(bytes.size() + 1, 0);
      shifted[0] = 0x80;
      for (size_t i = 0; i < bytes.size(); ++i) {
        shifted[i] |= bytes[i] >> 1;
        shifted[i + 1] = static_cast<uint8_t>(bytes[i] << 7);
      }
      bytes = shifted;
    }
    TestStream t = TestStream::input(bytes);
    ExiInteger v{};
    ASSERT_EQ(c.negative ? decodeInteger(t.in(), &v) : decodeUnsignedInteger(t.in(), &v), 0);
    EXPECT_EQ(v.kind, c.kind) << c.value;
    int64_t got = 0;
    ASSERT_EQ(exiIntegerToInt64(&v, &got), 0);
    EXPECT_EQ(got, c.value);
  }
}

TEST(ExiUnsignedInteger, OverlongAndOverwideValuesFail) {
  std::vector<uint8_t> tenFF(10, 0xFF);
  TestStream t = TestStream::input(tenFF);
  ExiInteger v{};
  EXPECT_EQ(decodeUnsignedInteger(t.in(), &v), EXI_ERROR_INTEGER_TOO_LARGE);
  // Bits beyond the target width fail instead of wrapping.
  struct Case {
    std::vector<uint8_t> bytes;
    int width;
  };
  const Case cases[] = {
      {{0xFF, 0xFF, 0x04}, 16},               // 0x13FFF
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x10}, 32},   // 2^32 + ...
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, 64},
      {tenFF, 64},
  };
  for (const Case& c : cases) {
    TestStream s = TestStream::input(c.bytes);
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    int32_t rc = c.width == 16   ? decodeUnsignedInteger16(s.in(), &v16)
                 : c.width == 32 ? decodeUnsignedInteger32(s.in(), &v32)
                                 : decodeUnsignedInteger64(s.in(), &v64);
    EXPECT_EQ(rc, EXI_ERROR_INTEGER_TOO_LARGE) << c.width;
  }
  // The largest values of each width still decode.
  TestStream max16 = TestStream::input({0xFF, 0xFF, 0x03});
  uint16_t v16 = 0;
  ASSERT_EQ(decodeUnsignedInteger16(max16.in(), &v16), 0);
  EXPECT_EQ(v16, 0xFFFF);
}

TEST(ExiUnsignedInteger, StreamEndingAfterAContinuationFails) {
  TestStream t = TestStream::input({0x80});
  ExiInteger v{};
  EXPECT_EQ(decodeUnsignedInteger(t.in(), &v), EXI_ERROR_INPUT_EXHAUSTED);
  TestStream u = TestStream::input({0xFF, 0xFF});
  uint32_t v32 = 0;
  EXPECT_EQ(decodeUnsignedInteger32(u.in(), &v32), EXI_ERROR_INPUT_EXHAUSTED);
  TestStream w = TestStream::input({0x40, 0x00});  // sign 0, octet 0x80, then 7 bits
  int32_t s32 = 0;
  EXPECT_EQ(decodeInteger32(w.in(), &s32), EXI_ERROR_INPUT_EXHAUSTED);
}

TEST(ExiUnsignedInteger, EncoderRefusesNegativeAndUnknownKinds) {
  TestStream t = TestStream::output(4);
  ExiInteger v{};
  v.kind = EXI_INT16;
  v.val.int16 = -5;
  EXPECT_EQ(encodeUnsignedInteger(t.out(), &v), EXI_ERROR_NEGATIVE_UNSIGNED);
  v.kind = 9;
  EXPECT_EQ(encodeUnsignedInteger(t.out(), &v), EXI_ERROR_INTEGER_KIND);
  EXPECT_EQ(encodeInteger(t.out(), &v), EXI_ERROR_INTEGER_KIND);
  EXPECT_EQ(t.pos, 0u);
}

TEST(ExiInteger, SignBitThenOnesComplementMagnitude) {
  TestStream t = TestStream::output(4);
  ASSERT_EQ(encodeInteger32(t.out(), -1), 0);
  ASSERT_EQ(flush(&t.stream), 0);
  EXPECT_EQ(t.written(), (std::vector<uint8_t>{0x80, 0x00}));  // 1, then octet 0x00
  for (int64_t value : {int64_t{0}, int64_t{-129}, int64_t{INT32_MIN}, int64_t{INT64_MIN},
                        int64_t{INT64_MAX}}) {
    TestStream o = TestStream::output(16);
    ASSERT_EQ(encodeInteger64(o.out(), value), 0);
    ASSERT_EQ(flush(&o.stream), 0);
    TestStream i = TestStream::input(o.written());
    int64_t back = 0;
    ASSERT_EQ(decodeInteger64(i.in(), &back), 0);
    EXPECT_EQ(back, value);
  }
  // A 16-bit signed value outside -32768..32767 fails.
  TestStream big = TestStream::output(8);
  ASSERT_EQ(encodeInteger32(big.out(), 40000), 0);
  ASSERT_EQ(flush(&big.stream), 0);
  TestStream in = TestStream::input(big.written());
  int16_t v16 = 0;
  EXPECT_EQ(decodeInteger16(in.in(), &v16), EXI_ERROR_INTEGER_TOO_LARGE);
}

TEST(ExiDateTime, DateTimeComponentsInStreamOrder) {
  ExiDateTime dt{};
  dt.kind = EXI_DATETIME_DATETIME;
  dt.year = 2024;
  dt.monthDay = 3 * 32 + 15;
  dt.time = (10 * 64 + 20) * 64 + 30;
  TestStream t = TestStream::output(16);
  ASSERT_EQ(encodeDateTime(t.out(), &dt), 0);
  ASSERT_EQ(flush(&t.stream), 0);
  // Sign 0 + octet 24, monthDay 111 in 9 bits, time in 17 bits, two 0 bits.
  TestStream expected = TestStream::output(16);
  BitStream* e = expected.out();
  writeBits(e, 1, 0);
  writeBits(e, 8, 24);
  writeBits(e, 9, 111);
  writeBits(e, 17, (10 * 64 + 20) * 64 + 30);
  writeBits(e, 2, 0);
  flush(e);
  EXPECT_EQ(t.written(), expected.written());

  TestStream in = TestStream::input(t.written());
  ExiDateTime back{};
  ASSERT_EQ(decodeDateTime(in.in(), EXI_DATETIME_DATETIME, &back), 0);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.monthDay, 111u);
  EXPECT_EQ(back.time, dt.time);
  EXPECT_EQ(back.timezonePresent, 0u);
}

TEST(ExiDateTime, KindsTimezoneAndRanges) {
  for (uint32_t kind = 0; kind <= EXI_DATETIME_TIME; ++kind) {
    ExiDateTime dt{kind, 1999, 12 * 32 + 31, 1234, 1, 5, 1, -5 * 64};
    TestStream t = TestStream::output(32);
    ASSERT_EQ(encodeDateTime(t.out(), &dt), 0);
    ASSERT_EQ(flush(&t.stream), 0);
    TestStream in = TestStream::input(t.written());
    ExiDateTime back{};
    ASSERT_EQ(decodeDateTime(in.in(), kind, &back), 0);
    EXPECT_EQ(back.timezone, -5 * 64) << kind;
    EXPECT_EQ(back.kind, kind);
  }
  ExiDateTime dt{};
  dt.kind = 8;
  TestStream t = TestStream::output(8);
  EXPECT_EQ(encodeDateTime(t.out(), &dt), EXI_ERROR_DATETIME_KIND_ENCODE);
  EXPECT_EQ(decodeDateTime(t.in(), 8, &dt), EXI_ERROR_DATETIME_KIND_DECODE);
  dt = ExiDateTime{EXI_DATETIME_GMONTH, 0, 600, 0, 0, 0, 0, 0};  // monthDay beyond 9 bits
  EXPECT_EQ(encodeDateTime(t.out(), &dt), EXI_ERROR_VALUE_OUT_OF_RANGE);
}

TEST(ExiFloatDecimal, RoundTrip) {
  ExiFloat f{-12345, -3};
  ExiDecimal d{};
  d.negative = 1;
  d.integral.kind = EXI_UINT32;
  d.integral.val.uint32 = 70000;
  d.reverseFraction.kind = EXI_UINT8;
  d.reverseFraction.val.uint8 = 21;
  TestStream t = TestStream::output(32);
  ASSERT_EQ(encodeFloat(t.out(), &f), 0);
  ASSERT_EQ(encodeDecimal(&t.stream, &d), 0);
  ASSERT_EQ(flush(&t.stream), 0);
  TestStream in = TestStream::input(t.written());
  ExiFloat fb{};
  ExiDecimal db{};
  ASSERT_EQ(decodeFloat(in.in(), &fb), 0);
  ASSERT_EQ(decodeDecimal(&in.stream, &db), 0);
  EXPECT_EQ(fb.mantissa, -12345);
  EXPECT_EQ(fb.exponent, -3);
  EXPECT_EQ(db.negative, 1u);
  EXPECT_EQ(db.integral.val.uint32, 70000u);
  EXPECT_EQ(db.reverseFraction.val.uint8, 21);
}

TEST(ExiBinaryAndString, LengthsAreBoundedByTheCallersBuffer) {
  uint8_t data[64];
  uint32_t cps[64];
  for (uint32_t length : {64u, 65u}) {
    TestStream t = TestStream::output(200);
    ASSERT_EQ(encodeUnsignedInteger32(t.out(), length), 0);
    for (uint32_t i = 0; i < length; ++i) ASSERT_EQ(encode(&t.stream, static_cast<uint8_t>(i)), 0);
    TestStream in = TestStream::input(t.written());
    ExiByteBuffer b{64, data, 99};
    int32_t rc = decodeBinary(in.in(), &b);
    EXPECT_EQ(rc, length == 64 ? 0 : EXI_ERROR_BINARY_TOO_LONG);
    EXPECT_EQ(b.length, length == 64 ? 64 : 0);  // a refused length leaves 0

    TestStream in2 = TestStream::input(t.written());
    ExiCharBuffer c{64, cps, 99};
    rc = decodeString(in2.in(), &c);
    EXPECT_EQ(rc, length == 64 ? 0 : EXI_ERROR_STRING_TOO_LONG);
    EXPECT_EQ(c.length, length == 64 ? 64 : 0);
  }
  // A length beyond 16 bits fails rather than wrapping to a small one.
  TestStream huge = TestStream::input({0x82, 0x80, 0x04});
  ExiByteBuffer b{64, data, 0};
  EXPECT_EQ(decodeBinary(huge.in(), &b), EXI_ERROR_INTEGER_TOO_LARGE);
  EXPECT_EQ(b.length, 0);
}

TEST(ExiBinaryAndString, RoundTrip) {
  uint8_t data[] = {1, 2, 250};
  uint32_t cps[] = {'A', 0x20AC, 0x10FFFF};
  TestStream t = TestStream::output(32);
  ExiByteBuffer b{3, data, 3};
  ExiCharBuffer c{3, cps, 3};
  ASSERT_EQ(encodeBinary(t.out(), &b), 0);
  ASSERT_EQ(encodeString(&t.stream, &c), 0);
  uint8_t dback[8];
  uint32_t cback[8];
  TestStream in = TestStream::input(t.written());
  ExiByteBuffer bb{8, dback, 0};
  ExiCharBuffer cb{8, cback, 0};
  ASSERT_EQ(decodeBinary(in.in(), &bb), 0);
  ASSERT_EQ(decodeString(&in.stream, &cb), 0);
  ASSERT_EQ(bb.length, 3);
  ASSERT_EQ(cb.length, 3);
  EXPECT_EQ(dback[2], 250);
  EXPECT_EQ(cback[1], 0x20ACu);
  EXPECT_EQ(cback[2], 0x10FFFFu);
}

TEST(ExiBoundedValues, NBitIntegersAndEnumerationsAreRangeChecked) {
  // A multiplier from -3 to 3 in 3 bits and an enumeration of 5 values.
  const ExiValueCoding multiplier{EXI_VALUE_NBIT_INTEGER, 3, -3, 3, 0};
  const ExiValueCoding enumeration{EXI_VALUE_ENUMERATION, 3, 0, 4, 0};
  struct Case {
    const ExiValueCoding* coding;
    int32_t value;
    int32_t rc;
    uint32_t bits;
  };
  const Case cases[] = {
      {&multiplier, -3, 0, 0b000}, {&multiplier, 3, 0, 0b110},
      {&multiplier, -4, EXI_ERROR_VALUE_OUT_OF_RANGE, 0}, {&multiplier, 4, EXI_ERROR_VALUE_OUT_OF_RANGE, 0},
      {&enumeration, 4, 0, 0b100}, {&enumeration, 5, EXI_ERROR_VALUE_OUT_OF_RANGE, 0},
  };
  for (const Case& c : cases) {
    ExiValue v{};
    v.type = c.coding->type;
    v.integer.kind = EXI_INT8;
    v.integer.val.int8 = static_cast<int8_t>(c.value);
    v.enumeration = static_cast<uint32_t>(c.value);
    TestStream t = TestStream::output(1);
    EXPECT_EQ(exiEncodeTypedValue(t.out(), nullptr, *c.coding, 0, &v), c.rc) << c.value;
    if (c.rc != 0) {
      EXPECT_EQ(t.stream.capacity, 8) << "nothing written";
      continue;
    }
    EXPECT_EQ(t.stream.buffer, c.bits);
    ASSERT_EQ(flush(&t.stream), 0);
    TestStream in = TestStream::input(t.written());
    ExiValue back{};
    ASSERT_EQ(exiDecodeTypedValue(in.in(), nullptr, *c.coding, 0, &back), 0);
    EXPECT_EQ(c.coding == &multiplier ? back.integer.val.int32 : static_cast<int32_t>(back.enumeration),
              c.value);
  }
  // Decoded codes beyond the range (7 = +4, index 7) are refused.
  for (const ExiValueCoding* coding : {&multiplier, &enumeration}) {
    TestStream in = TestStream::input({0xE0});
    ExiValue back{};
    EXPECT_EQ(exiDecodeTypedValue(in.in(), nullptr, *coding, 0, &back), EXI_ERROR_VALUE_OUT_OF_RANGE);
  }
}

}  // namespace
