#include "smr_protocol.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace smr {
namespace {

constexpr std::uint64_t kPow10[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

std::uint32_t Scaled(std::uint64_t mantissa, unsigned exponent, std::uint64_t divisor) {
    const std::uint64_t v = mantissa * kPow10[exponent] / divisor;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

CanFrame MakeFrame(std::uint32_t id, std::initializer_list<std::uint8_t> data) {
    CanFrame f{};
    f.can_id = (id & platform::kCanExtendedMask) | platform::kCanExtendedFlag;
    f.len = static_cast<std::uint8_t>(std::min<std::size_t>(data.size(), 8));
    std::copy_n(data.begin(), f.len, f.data);
    return f;
}

CanFrame MakeFrame(std::uint32_t id, const std::uint8_t* data, unsigned len) {
    CanFrame f{};
    f.can_id = (id & platform::kCanExtendedMask) | platform::kCanExtendedFlag;
    f.len = static_cast<std::uint8_t>(std::min(len, 8u));
    if (f.len) std::memcpy(f.data, data, f.len);
    return f;
}

std::uint32_t FrameId(const CanFrame& f) {
    if ((f.can_id & (platform::kCanExtendedFlag | platform::kCanRemoteFlag | platform::kCanErrorFlag)) !=
        platform::kCanExtendedFlag)
        return 0;
    return f.can_id & platform::kCanExtendedMask;
}

// 0.1 V = m x 10^e / 100 (the form's (10^e / 1000) x 10).
std::uint32_t DecodeVoltage(std::uint16_t raw) { return Scaled(raw & 0x1FFF, raw >> 14, 100); }
std::uint32_t DecodeCurrent(std::uint16_t raw) { return Scaled(raw & 0x0FFF, raw >> 13, 100); }
std::uint32_t DecodeAvailableCurrent(std::uint16_t raw) { return Scaled(raw & 0x0FFF, raw >> 13, 10); }
std::uint32_t DecodeAvailablePower(std::uint16_t raw) { return Scaled(raw & 0x0FFF, raw >> 13, 1); }
std::uint32_t DecodeInputVoltage(std::uint16_t raw) { return Scaled(raw & 0x1FFF, raw >> 14, 1000); }

std::uint16_t EncodeVoltage(std::uint32_t tenthsVolt) {
    return static_cast<std::uint16_t>(std::min(tenthsVolt, kMaxVoltageMantissa) | 0x8000);
}
std::uint16_t EncodeCurrent(std::uint32_t mantissa) {
    return static_cast<std::uint16_t>(std::min(mantissa, kMaxCurrentMantissa) | 0x4000);
}

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t Be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace smr
