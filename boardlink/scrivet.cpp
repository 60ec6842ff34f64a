#include "scrivet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "clock.h"
#include "firmware_push.h"
#include "regmap_fields.h"
#include "syslog.h"

namespace boardlink {

using namespace regmap;
using common::RecordSysLog;
using common::RecordSysLogf;
using linkwire::LinkPort;

namespace {

bool ChargePhase(const RegisterMap& map) {
    const std::uint32_t w = map.get(SHRMEM_CCS_PLC_STATUS);
    return (w >> 24) == 6 && ((w >> 16) & 0xFF) >= 7;
}

bool SendCommand(LinkPort& port, std::uint8_t command) {
    const linkwire::LinkCommandFrame f = linkwire::MakeCommandFrame(command);
    return linkwire::WriteFrame(port, f.data(), f.size(), kAckWindowMs);
}

void GfdFailure(Scrivet& s) {
    RegisterMap& map = s.map;
    map.set(SHRMEM_SET_I1, 0);
    map.set(SHRMEM_SET_V1, 0);
    map.set(SHRMEM_SET_PENDING, 255);
    map.set(ALARM_GFD_SELFTEST, true);
    map.set(SHRMEM_STOP_CHARGING, 255);
    RecordSysLog("[Scrivet]:GFD self test NG");
    s.GFDSelfTest = kGfdFailed;
}

// One step of the GFD self-test; returns whether the present voltage is held
// back (sent as 0) in this frame.
bool GfdStep(Scrivet& s) {
    const std::uint8_t state = s.GFDSelfTest;
    if (state == kGfdRequested && s.map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE) >= 490) {
        s.map.set(SHRMEM_GFD_SELFTEST, 0x80);
        s.GFDSelfTestStartTime = common::MonotonicNow();
        s.GFDSelfTest = kGfdRunning;
    }
    if (s.GFDSelfTest == kGfdRunning) {
        const std::uint8_t answer = s.map.get(SHRMEM_GFD_SELFTEST);
        if (answer == 1) {
            GfdFailure(s);
        } else if (answer == 0) {
            s.GFDSelfTest = kGfdDone;
        } else if (common::ElapsedMs(s.GFDSelfTestStartTime) > kGfdAnswerMs) {
            GfdFailure(s);  // a detector that never answers has not passed
        }
    }
    return state >= kGfdRequested && state <= kGfdFailed;
}

}  // namespace

void InitCcsStatusBlock(RegisterMap& map) {
    const std::uint16_t avail = map.get(SHRMEM_AVAILABLE_POWER);
    map.set(SHRMEM_CCS_RESPONSE_CODE, 0);
    map.set(SHRMEM_CCS_EVSE_ISOLATION, 0);
    map.set(SHRMEM_CCS_EVSE_STATUS_CODE, 1);
    map.set(SHRMEM_CCS_EVSE_MAX_POWER, static_cast<std::uint8_t>(avail / 1000));
    map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, static_cast<std::uint8_t>(avail <= 3299 ? avail / 50 : 65));
    map.set(SHRMEM_CCS_EVSE_MIN_CURRENT, 2);
    map.set(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER, map.get(SHRMEM_ENERGY_TO_DELIVER));
    map.set(SHRMEM_CCS_EVSE_PROCESSING, 1);
    map.set(SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
    map.set(SHRMEM_CCS_EVSE_MIN_VOLTAGE, 200);
    map.set(SHRMEM_CCS_PILOT_STATE, 0);
    for (std::uint32_t b : {2163u, 2164u, 2165u, 2166u, 2167u, 2170u, 2171u, 2172u, 2173u, 2186u, 2189u, 2190u, 2191u}) {
        map.set(U8{b}, 0);
    }
    map.set(SHRMEM_CCS_EV_TARGET_VOLTAGE, 0);
    map.set(SHRMEM_CCS_EV_MAX_VOLTAGE, 0);
    map.set(SHRMEM_CCS_EV_TIME_TO_FULL, 0);
    map.set(SHRMEM_CCS_EV_TIME_TO_BULK, 0);
    map.set(SHRMEM_CCS_PLC_STATUS, 0);
    map.set(SHRMEM_CCS_EV_PROXIMITY, 1);
    std::memset(map.bytes(Bytes{2215, 6}), 0, 6);
}

int ChargerMalfun(const RegisterMap& map) {
    static constexpr Bits kMalfunctions[] = {
        ALARM_EMERGENCY_BUTTON, ALARM_SURGE_PROTECTION, ALARM_DISPLAY_COMM, ALARM_GFD,
        Bits{323, 0x01}, Bits{323, 0x04}, Bits{323, 0x10}, Bits{323, 0x40},  // contactor and relay welding
        Bits{324, 0x01}, Bits{324, 0x04},
    };
    return std::any_of(std::begin(kMalfunctions), std::end(kMalfunctions), [&](Bits b) { return map.get(b); }) ? 1 : 0;
}

void BuildEVSEData(Scrivet& s) {
    RegisterMap& map = s.map;
    auto& f = s.EVSEData;
    f.fill(0);
    f[0] = linkwire::kFrameStart;
    f[15] = linkwire::kFrameEnd;
    const bool charging = ChargePhase(map);

    f[1] = map.get(SHRMEM_CCS_SELECTED);

    std::uint8_t power = map.get(SHRMEM_MAX_OUTPUT_POWER);
    if (charging) {
        map.set(SHRMEM_CCS_EVSE_MAX_POWER, static_cast<std::uint8_t>(map.get(SHRMEM_AVAILABLE_POWER) / 1000));
        power = map.get(SHRMEM_CCS_EVSE_MAX_POWER);
        const std::int32_t ocppW = map.get(SHRMEM_OCPP_POWER_LIMIT);
        if (ocppW >= 0 && ocppW / 1000 < power) power = static_cast<std::uint8_t>(ocppW / 1000);
    }
    map.set(mainb::SHRMEM_CCS_POWER_LIMIT, power);
    f[2] = map.get(mainb::SHRMEM_CCS_POWER_LIMIT);

    const std::uint16_t volts = GfdStep(s) ? 0 : map.get(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE);
    f[3] = static_cast<std::uint8_t>(volts >> 8);
    f[4] = static_cast<std::uint8_t>(volts);
    f[5] = map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT);
    const std::uint8_t stop = map.get(SHRMEM_STOP_CHARGING);
    f[6] = stop;
    // Only the stop inputs the CCS board knows: it refuses a frame with others.
    std::uint8_t inputs = map.get(SHRMEM_STOP_BUTTON) & linkwire::kStopInputBits;
    if (map.get(SHRMEM_CHARGER_STATE) == 1) inputs &= static_cast<std::uint8_t>(~0x02);
    if (stop == 6 || stop == 255) inputs |= 0x02;
    f[7] = inputs;
    f[8] = static_cast<std::uint8_t>(ChargerMalfun(map));
    f[9] = map.get(SHRMEM_CCS_EVSE_ENERGY_TO_DELIVER);
    f[10] = map.get(mainb::SHRMEM_CCS_SETTING10);
    f[11] = map.get(SHRMEM_CHARGER_STATE);
    f[12] = map.get(mainb::SHRMEM_CCS_SETTING12);

    const std::uint8_t rated = map.get(mainb::SHRMEM_MAX_OUTPUT_CURRENT);
    std::int32_t current = rated;
    if (charging) {
        const std::int32_t ocppA = map.get(SHRMEM_OCPP_CURRENT_LIMIT);
        if (ocppA >= 0 && ocppA < rated) current = ocppA;
        current = std::min<std::int32_t>(current, map.get(SHRMEM_SMR_AVAIL_CURRENT));
        current = std::min<std::int32_t>(current, f[2] * 1000 / (volts + 5));
        current = std::min<std::int32_t>(current, map.get(SHRMEM_CURRENT_CAP));
        current = std::max<std::int32_t>(current, 0);  // a negative available current offers nothing
    }
    map.set(mainb::SHRMEM_CCS_CURRENT_LIMIT, static_cast<std::uint8_t>(current));
    f[13] = map.get(mainb::SHRMEM_CCS_CURRENT_LIMIT);
    f[14] = map.get(mainb::SHRMEM_CCS_SETTING14);
}

int SendEVSEData(Scrivet& s, LinkPort& port) {
    if (!SendCommand(port, linkwire::kCmdSettings)) return 0;
    std::uint8_t ack[linkwire::kCommandSize] = {};
    const std::size_t n = linkwire::GatherFrame(port, ack, sizeof ack, kAckWindowMs);
    if (!linkwire::IsFramed(ack, n, sizeof ack) || ack[1] != linkwire::kCmdSettings) return 0;
    BuildEVSEData(s);
    return linkwire::WriteFrame(port, s.EVSEData.data(), s.EVSEData.size(), kSettingsWriteWindowMs) ? 1 : 0;
}

namespace {

// Status-frame bytes copied unchanged: {frame byte, main-board byte, count}.
constexpr std::uint32_t kPlainCopies[][3] = {
    {2, 2163, 5}, {7, 2170, 4}, {11, 2186, 1}, {12, 2189, 3}, {15, 2184, 2}, {17, 2168, 2}, {19, 2192, 4}, {27, 476, 1},
};

// How much of a frame's set-point bytes (28-32) takes effect.
enum class SetPointTake {
    Keep,       // not confirmed: the mailbox keeps what it holds
    Confirmed,  // two frames agree
    Disarm,     // the CCS board's arming byte is clear: a pending set-point is withdrawn at once
    SwitchOff,  // 0 V armed: the output is switched off at once
};

void MirrorSetPoint(Scrivet& s, const linkwire::EVDataFrame& f, SetPointTake take) {
    RegisterMap& map = s.map;
    if (map.get(SHRMEM_CCS_SELECTED) != 1) {
        s.vCmdLowFlag = s.vCmdHighFlag = s.iCmdHighFlag = 0;
        return;
    }
    if (map.get(mainb::SHRMEM_CCS_SETTING14) == 2) return;
    switch (take) {
    case SetPointTake::Keep:
        return;
    case SetPointTake::Disarm:
        map.set(SHRMEM_SET_PENDING, 0);
        return;
    case SetPointTake::SwitchOff:
        map.set(SHRMEM_SET_I1, 0);
        map.set(SHRMEM_SET_V1, 0);
        map.set(SHRMEM_SET_PENDING, 255);
        return;
    case SetPointTake::Confirmed:
        break;
    }

    std::uint16_t v = static_cast<std::uint16_t>(f[30] << 8 | f[31]);
    if (v >= 1 && v <= 499) {
        if (!s.vCmdLowFlag) RecordSysLogf("[Scrivet][%d] Voltage command(%3.1fV) reaches lower limit(%dV)", 380, v / 10.0, 50);
        s.vCmdLowFlag = 1;
        s.vCmdHighFlag = 0;
        v = 500;
    } else if (v > 5000) {
        if (!s.vCmdHighFlag) RecordSysLogf("[Scrivet][%d] Voltage command(%3.1fV) reaches higher limit(%dV)", 406, v / 10.0, 500);
        s.vCmdHighFlag = 1;
        s.vCmdLowFlag = 0;
        v = 5000;
    } else {
        s.vCmdLowFlag = s.vCmdHighFlag = 0;
    }
    if (map.get(SHRMEM_STOP_CHARGING) != 0) v = 0;

    // More current than the station offered is never asked of the modules.
    unsigned i = static_cast<unsigned>(f[28] << 8 | f[29]);
    const unsigned limit = map.get(mainb::SHRMEM_CCS_CURRENT_LIMIT);
    if (i > limit * 10) {
        if (!s.iCmdHighFlag) {
            RecordSysLogf("[Scrivet][%d] Current command(%3.1fA) higher than available current(%dA)", 448, i / 10.0, limit);
        }
        s.iCmdHighFlag = 1;
        i = limit * 10;
    } else {
        s.iCmdHighFlag = 0;
    }
    map.set(SHRMEM_SET_I1, static_cast<std::uint16_t>(i));
    map.set(SHRMEM_SET_V1, v);
    map.set(SHRMEM_SET_PENDING, f[32]);  // armed after current and voltage are in place
}

void MirrorPlugAlarms(RegisterMap& map, std::uint8_t byte33) {
    struct Row {
        Bits bit;
        int number;
        const char* format;
    };
    static constexpr Row kRows[] = {
        {ALARM_CONNECTOR_OTP, 487, "[Scrivet][%d] CCS plug temp OTP%s: Byte33:%d"},
        {ALARM_CONNECTOR_SENSOR_BROKEN, 507, "[Scrivet][%d] CCS plug temp sensor broken%s; Byte33:%d"},
    };
    for (const Row& r : kRows) {
        const bool now = (byte33 & r.bit.mask) != 0;
        if (now != map.get(r.bit)) RecordSysLogf(r.format, r.number, now ? "" : " recovery", byte33);
    }
    for (const Row& r : kRows) map.set(r.bit, (byte33 & r.bit.mask) != 0);
}

}  // namespace

namespace {

void Mirror(Scrivet& s, const linkwire::EVDataFrame& f, SetPointTake take) {
    RegisterMap& map = s.map;

    const std::uint8_t oldPilot = map.get(SHRMEM_CCS_PILOT_STATE);
    if (f[1] != oldPilot) {
        if (f[1] < 3) s.GFDSelfTest = kGfdIdle;
        RecordSysLogf("[Scrivet]SHRMEM_CCS_PILOT_STATE from %d to %d", oldPilot, f[1]);
        RecordSysLogf("[Scrivet]SHRMEM_CCS_PLC_STATUS=0x%x,0x%x,0x%x,0x%x", map.get(U8{2197}), map.get(U8{2198}),
                      map.get(U8{2199}), map.get(U8{2200}));
        map.set(SHRMEM_CCS_PILOT_STATE, f[1]);
    }
    for (const auto& c : kPlainCopies) std::memcpy(map.bytes(Bytes{c[1], c[2]}), &f[c[0]], c[2]);

    for (std::uint32_t k = 0; k < 4; ++k) {
        const U8 field{2197 + k};
        const std::uint8_t old = map.get(field);
        const std::uint8_t now = f[23 + k];
        if (now != old && (map.get(SHRMEM_CCS_EV_PROXIMITY) == 0 || map.get(SHRMEM_CCS_PILOT_STATE) >= 2)) {
            RecordSysLogf("[Scrivet]SHRMEM_CCS_PLC_STATUS+%u from 0x%x to 0x%x", static_cast<unsigned>(k), old, now);
        }
        map.set(field, now);
    }
    MirrorSetPoint(s, f, take);
    MirrorPlugAlarms(map, f[33]);

    const std::uint8_t oldProximity = map.get(SHRMEM_CCS_EV_PROXIMITY);
    if (f[34] != oldProximity) {
        s.GFDSelfTest = kGfdIdle;
        RecordSysLogf("[Scrivet]SHRMEM_CCS_EV_PROXIMITY from %d to %d", oldProximity, f[34]);
        map.set(SHRMEM_CCS_EV_PROXIMITY, f[34]);
    }
    std::memcpy(map.bytes(mainb::SHRMEM_CCS_FW_VERSION), &f[35], 4);
    std::memcpy(map.bytes(Bytes{521, 2}), &f[39], 2);
    map.set(SHRMEM_CCS_EVSE_ISOLATION, f[41]);
    map.set(mainb::SHRMEM_CCS_ALARM, f[42]);
    map.set(mainb::SHRMEM_CCS_ALARM2, f[43]);
    const bool macReport = map.get(mainb::SHRMEM_PEV_MAC_REPORT) != 0;
    if (macReport) {
        std::memcpy(map.bytes(mainb::SHRMEM_CCS_PEV_MAC_COPY), &f[44], 7);
    } else {
        map.set(U8{2214}, 0);
    }

    if (map.get(SHRMEM_SET_V1) != 0 && map.get(SHRMEM_CCS_EVSE_ISOLATION) == 0 && map.get(SHRMEM_CCS_SELECTED) == 1 &&
        s.GFDSelfTest == kGfdIdle) {
        s.GFDSelfTest = kGfdRequested;
    }

    if (f[44] != 1) {
        s.u8PevStatusUpdate = 0;
    } else if (macReport && !s.u8PevStatusUpdate) {
        std::printf("[Scrivet] EV MAC %02X:%02X:%02X:%02X:%02X:%02X\n", f[45], f[46], f[47], f[48], f[49], f[50]);
        std::fflush(stdout);
        s.u8PevStatusUpdate = 1;
    }
}

}  // namespace

void MirrorStatus(Scrivet& s) { Mirror(s, s.EVData, SetPointTake::Confirmed); }

bool TakeStatusFrame(Scrivet& s) {
    const linkwire::EVDataFrame& f = s.EVData;
    const std::string fault = linkwire::EVDataFault(f);
    if (!fault.empty()) {
        std::printf("[Scrivet] Status frame refused (%s), %u refused\n", fault.c_str(), ++s.framesRefused);
        std::fflush(stdout);
        return false;
    }
    const RegisterMap& map = s.map;
    const linkwire::EVDataFrame& p = s.lastFrame;
    auto agree = [&](std::size_t at, std::size_t n) {
        return s.haveLastFrame && std::memcmp(&f[at], &p[at], n) == 0;
    };
    // Values that stop a session, start the GFD self-test or raise an alarm
    // take effect once two frames agree; until then the map keeps its own.
    struct Held {
        std::size_t at;
        std::uint32_t mapByte;
        std::uint32_t n;
    };
    static constexpr Held kHeld[] = {
        {1, 2160, 1},  {2, 2163, 1},  {3, 2164, 1},  {12, 2189, 1}, {13, 2190, 1},
        {14, 2191, 1}, {23, 2197, 4}, {34, 2202, 1}, {41, 2174, 1},
    };
    linkwire::EVDataFrame e = f;
    for (const Held& h : kHeld) {
        if (!agree(h.at, h.n)) std::memcpy(&e[h.at], map.bytes(Bytes{h.mapByte, h.n}), h.n);
    }
    // Alarm bits, each on its own: a bit follows the frames where two agree on it.
    auto bits = [&](std::size_t at, std::uint8_t now) {
        const std::uint8_t agreeing = s.haveLastFrame ? static_cast<std::uint8_t>(~(f[at] ^ p[at])) : 0;
        e[at] = static_cast<std::uint8_t>((now & ~agreeing) | (f[at] & agreeing));
    };
    bits(33, map.get(U8{321}));
    bits(42, map.get(mainb::SHRMEM_CCS_ALARM));
    bits(43, map.get(mainb::SHRMEM_CCS_ALARM2));

    SetPointTake take = SetPointTake::Keep;
    if (agree(28, 5)) {
        take = SetPointTake::Confirmed;
    } else if (f[32] == 0) {
        take = SetPointTake::Disarm;
    } else if (f[30] == 0 && f[31] == 0) {
        take = SetPointTake::SwitchOff;
    }
    Mirror(s, e, take);
    s.lastFrame = f;
    s.haveLastFrame = true;
    return true;
}

int GetCCSData(Scrivet& s, LinkPort& port) {
    s.EVData.fill(0);
    if (!SendCommand(port, linkwire::kCmdStatus)) return 0;
    const std::size_t n = linkwire::GatherFrame(port, s.EVData.data(), s.EVData.size(), kStatusWindowMs);
    if (!linkwire::IsFramed(s.EVData.data(), n, s.EVData.size())) return 0;
    // A refused frame is an exchange that worked: the cycle goes on, the map
    // keeps the last good values.
    TakeStatusFrame(s);
    return 1;
}

int HandShake(Scrivet& s, LinkPort& port) {
    platform::Clock& clock = platform::GetClock();
    const common::TimeStamp start = common::MonotonicNow();
    bool reported = false;
    for (;;) {
        std::uint8_t answer[linkwire::kCommandSize] = {};
        SendCommand(port, linkwire::kCmdHandShake);
        const std::size_t n = linkwire::GatherFrame(port, answer, sizeof answer, kHandShakeReadMs);
        if (linkwire::IsFramed(answer, n, sizeof answer) && answer[1] == linkwire::kCmdHandShake) return 1;

        linkwire::DrainLine(port, kHandShakeReadMs, 1, kHandShakeReadMs);
        clock.SleepMs(1000);
        if (common::ElapsedMs(start) > kLinkAlarmAfterMs) {
            if (!reported) {
                RecordSysLog("[Scrivet]HandShake:Communication between BA and CA is failure");
                RecordSysLogf("[Scrivet][%d] BA and CA comm failed: RX len:%d, Data:0x%02X 0x%02X 0x%02X 0x%02X 0x%02X "
                              "0x%02X 0x%02X 0x%02X",
                              158, static_cast<int>(n), answer[0], answer[1], answer[2], answer[3], answer[4], answer[5],
                              answer[6], answer[7]);
                reported = true;
            }
            s.map.set(ALARM_CCS_BOARD_COMM, true);
            clock.SleepMs(10000);
        }
    }
}

bool LinkCycle(Scrivet& s, LinkPort& port, int maxCycles) {
    HandShake(s, port);
    if (s.map.get(ALARM_CCS_BOARD_COMM)) RecordSysLogf("[Scrivet][%d] BA and CA communication failed recovery", 1466);
    s.map.set(ALARM_CCS_BOARD_COMM, false);
    s.GFDSelfTest = kGfdIdle;
    s.haveLastFrame = false;  // a frame from before the break confirms nothing
    for (int cycles = 0; maxCycles < 0 || cycles < maxCycles; ++cycles) {
        if (!SendEVSEData(s, port)) {
            RecordSysLog("[Scrivet]SendEVSEData NG");
            return false;
        }
        if (!GetCCSData(s, port)) {
            RecordSysLog("[Scrivet]GetCCSData NG");
            return false;
        }
        DIN_ErrHandling(s.map, s.din);
        if (s.map.get(SHRMEM_FW_UPDATE) == 2) return true;
    }
    return false;
}

void FirmwarePush(Scrivet& s, LinkPort& port) {
    const int ok = s.updateCAImage ? s.updateCAImage(port) : UpdateCAImage(s.map, port);
    if (ok == 1) {
        RecordSysLog("[Scrivet]Update Quorzel OK");
    } else {
        s.map.set(ALARM_CCS_BOARD_UPDATE, true);
        RecordSysLog("[Scrivet]Update Quorzel NG (transmission failed)");
    }
    s.map.set(SHRMEM_FW_UPDATE, 0);
}

}  // namespace boardlink
