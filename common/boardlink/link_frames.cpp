#include "link_frames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crc.h"
#include "regmap_fields.h"

namespace linkwire {

using namespace regmap;

LinkCommandFrame MakeCommandFrame(std::uint8_t command, std::uint32_t imageLength) {
    LinkCommandFrame f{kFrameStart, command, 0, 0, 0, 0, 0, kFrameEnd};
    if (command == kCmdRawImage) {
        for (int i = 0; i < 4; ++i) f[2 + i] = static_cast<std::uint8_t>(imageLength >> (8 * i));
    }
    return f;
}

LinkCommandFrame MakeAck(std::uint8_t command, std::uint8_t result) {
    return LinkCommandFrame{kFrameStart, command, result, 0, 0, 0, 0, kFrameEnd};
}

std::uint32_t RawImageLength(const std::uint8_t* c) {
    return static_cast<std::uint32_t>(c[2]) | static_cast<std::uint32_t>(c[3]) << 8 |
           static_cast<std::uint32_t>(c[4]) << 16 | static_cast<std::uint32_t>(c[5]) << 24;
}

bool IsFramed(const std::uint8_t* b, std::size_t n, std::size_t size) {
    return n == size && size >= 2 && b[0] == kFrameStart && b[size - 1] == kFrameEnd;
}

bool IsLoaderStartPrefix(const std::uint8_t* b, std::size_t n) {
    return n >= 3 && b[0] == kFrameStart && b[1] == kCmdLoaderStart && b[2] == kLoaderId;
}

CommandKind ClassifyCommand(const std::uint8_t* b, std::size_t n) {
    if (IsLoaderStartPrefix(b, n)) {
        if (!IsFramed(b, n, kLoaderStartSize)) return CommandKind::Invalid;
        const std::uint16_t crc = common::Crc16Modbus(b + 1, 6);
        const bool crcOk = b[7] == (crc >> 8) && b[8] == (crc & 0xFF);
        return crcOk ? CommandKind::LoaderStart : CommandKind::Invalid;
    }
    return IsFramed(b, n, kCommandSize) ? CommandKind::Command : CommandKind::Invalid;
}

std::array<std::uint8_t, kLoaderStartSize> MakeLoaderStart(std::uint32_t size) {
    std::array<std::uint8_t, kLoaderStartSize> p{kFrameStart, kCmdLoaderStart, kLoaderId,
                                                  static_cast<std::uint8_t>(size >> 24),
                                                  static_cast<std::uint8_t>(size >> 16),
                                                  static_cast<std::uint8_t>(size >> 8),
                                                  static_cast<std::uint8_t>(size), 0, 0, kFrameEnd};
    const std::uint16_t crc = common::Crc16Modbus(p.data() + 1, 6);
    p[7] = static_cast<std::uint8_t>(crc >> 8);
    p[8] = static_cast<std::uint8_t>(crc);
    return p;
}

namespace {

// Status-frame bytes 1-14 and their CCS-board map bytes.
constexpr std::uint32_t kEVDataSingles[][2] = {
    {1, 2160}, {2, 2163}, {3, 2164}, {4, 2165}, {5, 2166}, {6, 2167}, {7, 2170},
    {8, 2171}, {9, 2172}, {10, 2173}, {11, 2186}, {12, 2189}, {13, 2190}, {14, 2191},
};

void Copy(std::uint8_t* dst, const RegisterMap& map, std::uint32_t offset, std::uint32_t n) {
    std::memcpy(dst, map.bytes(Bytes{offset, n}), n);
}

}  // namespace

EVDataFrame BuildEVData(RegisterMap& map, std::uint8_t proximity) {
    if (map.get(SHRMEM_CCS_PILOT_STATE) < 2) std::memset(map.bytes(ccsb::SHRMEM_CCS_PEV_MAC), 0, 6);
    map.set(SHRMEM_CCS_EV_PROXIMITY, proximity);

    EVDataFrame f{};
    f[0] = kFrameStart;
    for (const auto& s : kEVDataSingles) f[s[0]] = map.get(U8{s[1]});
    Copy(&f[15], map, 2184, 2);  // EV target voltage
    Copy(&f[17], map, 2168, 2);  // EV maximum voltage
    Copy(&f[19], map, 2192, 4);  // times to full and bulk SOC
    Copy(&f[23], map, 2197, 4);  // CCS status word
    f[27] = map.get(SHRMEM_CCS_RELAYED_BYTE);
    Copy(&f[28], map, 134, 2);   // current set-point
    Copy(&f[30], map, 146, 2);   // voltage set-point
    f[32] = map.get(SHRMEM_SET_PENDING);
    f[33] = map.get(U8{321});
    f[34] = proximity;
    for (int i = 0; i < 4; ++i) f[35 + i] = map.get(U8{static_cast<std::uint32_t>(260 - i)});
    Copy(&f[39], map, 438, 2);   // plug-temperature sum, low byte first
    f[41] = map.get(SHRMEM_CCS_EVSE_ISOLATION);
    Copy(&f[42], map, 2205, 2);  // CCS-board alarm bytes
    Copy(&f[44], map, 2207, 7);  // EV MAC valid flag and address
    f[63] = kFrameEnd;
    return f;
}

bool StoreEVSEData(RegisterMap& map, const std::uint8_t* f, std::size_t n, std::uint8_t maxCurrent) {
    if (!IsFramed(f, n, kEVSEDataSize)) return false;
    EVSEDataFrame frame;
    std::copy_n(f, kEVSEDataSize, frame.begin());
    TakeEVSEData(map, frame, &frame, maxCurrent);  // a frame that agrees with itself: every byte as it came
    return true;
}

namespace {

std::string Fault(const char* field, unsigned value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %u", field, value);
    return buf;
}

}  // namespace

std::string EVDataFault(const EVDataFrame& f) {
    // Single bytes with a closed range: {frame byte, highest value, field}.
    struct Range {
        std::size_t at;
        unsigned max;
        const char* field;
    };
    static constexpr Range kRanges[] = {
        {1, 7, "pilot state"},        {2, 1, "EVReady"},          {3, 11, "EV error code"},
        {12, 1, "ReadyToCharge"},     {13, 1, "BulkChargingComplete"}, {14, 1, "ChargingComplete"},
        {23, 0x0B, "status phase"},   {34, 1, "proximity"},       {41, 3, "isolation status"},
        {44, 1, "EV MAC valid flag"},
    };
    for (const Range& r : kRanges) {
        if (f[r.at] > r.max) return Fault(r.field, f[r.at]);
    }
    // The status word's result: normal, or one of the session's failures.
    if (f[26] != 0 && f[26] < 0xFC) return Fault("status result", f[26]);
    if (f[32] != 0 && f[32] != 0xFF) return Fault("set-point arming byte", f[32]);
    const unsigned current = static_cast<unsigned>(f[28] << 8 | f[29]);
    if (current > kMaxSetPointCurrent) return Fault("current set-point", current);
    const unsigned voltage = static_cast<unsigned>(f[30] << 8 | f[31]);
    if (voltage > kMaxSetPointVoltage) return Fault("voltage set-point", voltage);
    return "";
}

std::string EVSEDataFault(const EVSEDataFrame& f) {
    if (f[7] & ~kStopInputBits) return Fault("stop inputs", f[7]);
    if (f[8] > 1) return Fault("charger malfunction", f[8]);
    return "";
}

void TakeEVSEData(RegisterMap& map, const EVSEDataFrame& f, const EVSEDataFrame* prev, std::uint8_t maxCurrent) {
    // Every byte is written once, with its final value: the V2G session reads
    // the map while this runs.
    auto agree = [&](std::size_t at) { return prev != nullptr && (*prev)[at] == f[at]; };
    auto stops = [](const EVSEDataFrame& x) { return static_cast<std::uint8_t>(x[7] | ((x[8] & 0x01) ? 0x08 : 0)); };

    map.set(SHRMEM_CCS_SELECTED, f[1]);
    if (agree(2)) map.set(SHRMEM_CCS_EVSE_MAX_POWER, f[2]);
    map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, static_cast<std::uint16_t>(f[3] << 8 | f[4]));
    map.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, f[5]);
    // A stop reason stops at once; "no stop" needs two frames.
    if (f[6] != 0 || agree(6)) map.set(SHRMEM_STOP_CHARGING, f[6]);
    // A stop bit set now stops at once; a set bit stays until two frames
    // agree it is clear.
    const std::uint8_t stillSet = prev != nullptr ? stops(*prev) : 0xFF;
    map.set(SHRMEM_STOP_BUTTON, static_cast<std::uint8_t>(stops(f) | (map.get(SHRMEM_STOP_BUTTON) & stillSet)));
    map.set(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, f[9]);
    map.set(ccsb::SHRMEM_RESET_NOTICE, f[10]);
    map.set(SHRMEM_CHARGER_STATE, f[11]);
    map.set(ccsb::SHRMEM_SETTING_482, f[12]);
    // The current limit as stored, capped: frames that both offer the model
    // maximum or more agree.
    const std::uint8_t current = std::min(f[13], maxCurrent);
    if (prev != nullptr && std::min((*prev)[13], maxCurrent) == current) map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, current);
    map.set(ccsb::SHRMEM_SYSTEM_READY, f[14]);
}

}  // namespace linkwire
