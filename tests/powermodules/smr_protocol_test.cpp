// The module value forms against their defining formulas, and the frame
// record's text form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "can.h"
#include "smr_protocol.h"

namespace {

using namespace smr;

// The forms as the modules define them: the product in double precision,
// truncated to an unsigned integer.
std::uint64_t Formula(double mantissa, double factor) { return static_cast<std::uint64_t>(mantissa * factor); }

std::uint32_t Saturated(std::uint64_t v) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

TEST(SmrValueForms, DecodingEqualsTheFormulaForEveryMantissaAndExponent) {
    for (std::uint32_t raw = 0; raw <= 0xFFFF; ++raw) {
        const auto r = static_cast<std::uint16_t>(raw);
        const double p13 = std::pow(10.0, raw >> 13), p14 = std::pow(10.0, raw >> 14);
        const double m12 = raw & 0x0FFF, m13 = raw & 0x1FFF;
        ASSERT_EQ(DecodeVoltage(r), Saturated(Formula(m13, (p14 / 1000) * 10))) << raw;
        ASSERT_EQ(DecodeCurrent(r), Saturated(Formula(m12, p13 / 100))) << raw;
        ASSERT_EQ(DecodeAvailableCurrent(r), Saturated(Formula(m12, p13 / 10))) << raw;
        ASSERT_EQ(DecodeAvailablePower(r), Saturated(Formula(m12, ((p13 / 1000) * 100) * 10))) << raw;
        ASSERT_EQ(DecodeInputVoltage(r), Saturated(Formula(m13, (p14 / 1000) * 10) / 10)) << raw;
    }
}

TEST(SmrValueForms, KnownValues) {
    EXPECT_EQ(EncodeVoltage(5000), 0x9388);         // 500.0 V goes out as 93 88
    EXPECT_EQ(DecodeVoltage(0x9388), 5000u);
    EXPECT_EQ(DecodeVoltage(0x5388), 500u);         // exponent 1
    EXPECT_EQ(DecodeCurrent(0x4258), 600u);         // 60.0 A
    EXPECT_EQ(EncodeCurrent(417), 0x41A1);
    // Values past the mantissa are sent as the largest mantissa, never
    // spilled into the exponent bits.
    EXPECT_EQ(EncodeVoltage(9000), 0x9FFF);
    EXPECT_EQ(EncodeCurrent(4096), 0x4FFF);
    EXPECT_EQ(EncodeCurrent(1275), 0x44FB);
    // The largest power with exponent 7 does not fit 32 bits.
    EXPECT_EQ(DecodeAvailablePower(0xEFFF), std::numeric_limits<std::uint32_t>::max());
}

TEST(SmrIdentifiers, FieldsOfFramesFromBothSides) {
    struct Case { std::uint32_t id; unsigned cls, kind, dir, type, cmd, addr; };
    const Case cases[] = {
        {0x1D504001, 0x0E, 10, 1, 0, 0x40, 1},   // heartbeat to address 1
        {0x1D604102, 0x0E, 11, 0, 0, 0x41, 2},   // acknowledge of a kind-11 module
        {0x09415501, 0x04, 10, 0, 1, 0x55, 1},   // status report
        {0x08030200 | KindBits(10) | 2, 0x04, 10, 0, 3, 0x02, 2},
        {0x1B401000, 0x0D, 10, 0, 0, 0x10, 0},   // address request
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Class(c.id), c.cls) << std::hex << c.id;
        EXPECT_EQ(Kind(c.id), c.kind) << std::hex << c.id;
        EXPECT_EQ(Direction(c.id), c.dir) << std::hex << c.id;
        EXPECT_EQ(Type(c.id), c.type) << std::hex << c.id;
        EXPECT_EQ(Command(c.id), c.cmd) << std::hex << c.id;
        EXPECT_EQ(Address(c.id), c.addr) << std::hex << c.id;
    }
}

TEST(SmrFrames, OnlyExtendedDataFramesCarryAnIdentifier) {
    platform::CanFrame f = MakeFrame(0x1D504001, {1, 2});
    EXPECT_EQ(f.can_id, 0x9D504001u);
    EXPECT_EQ(FrameId(f), 0x1D504001u);
    f.can_id = 0x123;  // standard
    EXPECT_EQ(FrameId(f), 0u);
    f.can_id = 0x9D504001u | platform::kCanRemoteFlag;
    EXPECT_EQ(FrameId(f), 0u);
    f.can_id = 0x9D504001u | platform::kCanErrorFlag;
    EXPECT_EQ(FrameId(f), 0u);
}

TEST(CanText, CandumpLinesAndTheirFrames) {
    platform::CanFrame f = MakeFrame(0x1234ABCD, {0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(platform::CandumpLine(1700000000123456, "can0", f), "(1700000000.123456) can0 1234ABCD#DEADBEEF");
    platform::CanFrame s{};
    s.can_id = 0x109, s.len = 2, s.data[0] = 0x01, s.data[1] = 0xFF;
    EXPECT_EQ(platform::CandumpLine(5, "can1", s), "(0.000005) can1 109#01FF");

    struct Case { const char* text; bool ok; std::uint32_t id; int len; };
    const Case cases[] = {
        {"1234ABCD#DEADBEEF", true, 0x9234ABCD, 4}, {"109#01FF", true, 0x109, 2}, {"109#", true, 0x109, 0},
        {"109#R", true, 0x109 | platform::kCanRemoteFlag, 0}, {"800#00", false, 0, 0}, {"2FFFFFFF#00", false, 0, 0},
        {"109#0", false, 0, 0}, {"109#001122334455667788", false, 0, 0}, {"10G#00", false, 0, 0},
        {"1091#00", false, 0, 0}, {"", false, 0, 0}, {"109#zz", false, 0, 0},
    };
    for (const Case& c : cases) {
        platform::CanFrame out{};
        out.can_id = 0xDEAD;
        EXPECT_EQ(platform::ParseCanFrameText(c.text, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out.can_id, c.id) << c.text;
            EXPECT_EQ(out.len, c.len) << c.text;
        } else {
            EXPECT_EQ(out.can_id, 0xDEADu) << c.text;
        }
    }
    platform::CanFrame back{};
    ASSERT_TRUE(platform::ParseCanFrameText("1234ABCD#DEADBEEF", back));
    EXPECT_EQ(platform::CandumpLine(0, "can0", back), "(0.000000) can0 1234ABCD#DEADBEEF");
}

}  // namespace
