#include "link_frames.h"

#include <algorithm>
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
    map.set(SHRMEM_CCS_SELECTED, f[1]);
    map.set(SHRMEM_CCS_EVSE_MAX_POWER, f[2]);
    map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, static_cast<std::uint16_t>(f[3] << 8 | f[4]));
    map.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, f[5]);
    map.set(SHRMEM_STOP_CHARGING, f[6]);
    map.set(SHRMEM_STOP_BUTTON, f[7]);
    if (f[8] & 0x01) map.set(Bits{412, 0x08}, true);
    map.set(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, f[9]);
    map.set(ccsb::SHRMEM_RESET_NOTICE, f[10]);
    map.set(SHRMEM_CHARGER_STATE, f[11]);
    map.set(ccsb::SHRMEM_SETTING_482, f[12]);
    map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, std::min(f[13], maxCurrent));
    map.set(ccsb::SHRMEM_SYSTEM_READY, f[14]);
    return true;
}

}  // namespace linkwire
