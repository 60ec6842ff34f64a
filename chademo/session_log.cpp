#include "session_log.h"

#include <sys/wait.h>

#include <cstdarg>
#include <cstdio>

#include "children.h"
#include "regmap_chademo.h"
#include "syslog.h"

namespace chademo {

using namespace regmap;

namespace {

// Re-announce bit of each code in pChaDeMoAlarmMem (byte, mask).
struct Mem { std::uint8_t byte, mask; };
constexpr Mem kMem[kLogCodeCount] = {
    {3, 0x01}, {3, 0x02}, {3, 0x04}, {3, 0x08}, {3, 0x10}, {3, 0x20}, {3, 0x40}, {3, 0x80}, {4, 0x01}, {4, 0x02},
    {0, 0x01}, {0, 0x02}, {1, 0x01}, {1, 0x02}, {1, 0x04}, {1, 0x08}, {1, 0x10}, {2, 0x01}, {2, 0x02}, {2, 0x04},
    {2, 0x08}, {2, 0x10}, {0, 0x04}, {0, 0x08}, {1, 0x20}, {1, 0x40}, {0, 0x10}, {0, 0x20}};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[768];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return text;
}

}  // namespace

std::string SessionLog::Message(unsigned code, unsigned n) const {
    const RegisterMap& m = map_;
    const int target = m.get(SHRMEM_CHADEMO_TARGET_VOLTAGE);
    const int batteryMax = m.get(EV100_MAX_BATTERY_VOLTAGE);
    const int threshold = static_cast<std::uint16_t>(m.get(LIMIT_VOLT));
    const int availableV = m.get(CP108_AVAILABLE_VOLTAGE);
    const int request = m.get(EV102_CURRENT_REQUEST);
    const int availableI = m.get(CP108_AVAILABLE_CURRENT);
    const int status = m.get(EV102_STATUS);
    const int relay = m.get(SHRMEM_RECTIFIER2_RELAY);
    const int smrVout = m.get(SHRMEM_RECTIFIER_OUTPUT_VOLT) / 10;
    const int presentV = m.get(SHRMEM_GET_V1) / 10;
    const double presentI = m.get(SHRMEM_GET_I1) / 10.0;
    const int vcmd = m.get(SHRMEM_SET_V1) / 10;
    const int icmd = m.get(SHRMEM_SET_I1) / 10;
    const int j = signals_.permission ? signals_.permission() : 0;
    const int lock = signals_.lockDetect ? signals_.lockDetect() : 0;
    const std::string P = Format("SMR AvailPwr:%dW, SMR AvailCurr:%dA, Vcmd:%dV, Icmd:%dA, Vout:%dV, Iout:%.1fA",
                                 static_cast<int>(static_cast<std::int16_t>(m.get(SHRMEM_SMR_AVAIL_POWER))),
                                 static_cast<int>(m.get(SHRMEM_SMR_AVAIL_CURRENT)), vcmd, icmd, presentV, presentI);
    std::string F;
    const std::pair<const char*, Bytes> frames[] = {{"EV100", EV100}, {"EV101", EV101}, {"EV102", EV102},
                                                    {"CP108", CP108}, {"CP109", CP109}};
    for (const auto& [name, field] : frames) {
        const std::uint8_t* b = m.bytes(field);
        F += Format("\n\t%s(Hex 0-7): %02x %02x %02x %02x %02x %02x %02x %02x", name, b[0], b[1], b[2], b[3], b[4],
                    b[5], b[6], b[7]);
    }
    const char* p = P.c_str();
    const char* f = F.c_str();
    switch (code) {
    case 0: return Format("[Corvane][%05u][EV] No permission; Opto-coupler(j):%d, %s%s", n, j, p, f);
    case 1: return Format("[Corvane][%05u][EVSE] CHG_MX(%dV) > LIMIT_V(%dV);%s", n, target, availableV, f);
    case 2: return Format("[Corvane][%05u][EV] Battery undervoltage; %s%s", n, p, f);
    case 3: return Format("[Corvane][%05u][EV] Battery overvoltage; %s%s", n, p, f);
    case 4: return Format("[Corvane][%05u][EV] Battery current deviation error; %s%s", n, p, f);
    case 5: return Format("[Corvane][%05u][EV] High battery temperature; %s%s", n, p, f);
    case 6: return Format("[Corvane][%05u][EV] Battery voltage deviation error; %s%s", n, p, f);
    case 7: return Format("[Corvane][%05u][EV] Vehicle shift position; %s", n, f);
    case 8: return Format("[Corvane][%05u][EV] Charging system error; %s%s", n, p, f);
    case 9: return Format("[Corvane][%05u][EVSE] CHAdeMO connector lock is broken; Detect status:%d", n, lock);
    case 10: return Format("[Corvane][%05u][EVSE] CHG_MX(%dV) > BAT_MX(%dV); %s", n, target, batteryMax, f);
    case 11:
        return Format("[Corvane][%05u][EVSE] Target current(%dA) > Available current(%dA); %s", n, request, availableI, f);
    case 12: return Format("[Corvane][%05u][EVSE] Timeout error - Start of Vehicle CAN data", n);
    case 13: return Format("[Corvane][%05u][EVSE] Timeout error - CAN communication fault", n);
    case 14: return Format("[Corvane][%05u][EVSE] Timeout error - Charging enable; %s%s", n, p, f);
    case 15: return Format("[Corvane][%05u][EVSE] Timeout error - EV contactor close; %s%s", n, p, f);
    case 16: return Format("[Corvane][%05u][EVSE] Timeout error - Charging current request; %s%s", n, p, f);
    case 17:
        return Format("[Corvane][%05u][EVSE] Insulation error - SMR Vout(%dV) < %dV(Target volt - 20V); %s", n, smrVout,
                      vcmd - 20, p);
    case 18: return Format("[Corvane][%05u][EVSE] Insulation error - SMR Vout(%dV) > 20V; %s", n, smrVout, p);
    case 19:
        return Format("[Corvane][%05u][EVSE] Insulation error - Output voltage(%dV) > 10V before insulation test; "
                      "Output relay status:0x%x, SMR Vout:%dV", n, presentV, relay, smrVout);
    case 20:
        return Format("[Corvane][%05u][EVSE] Insulation error - Output voltage(%dV) > 20V after insulation test; %s", n,
                      presentV, p);
    case 21: return Format("[Corvane][%05u][EVSE] Insulation error - Output current(%.1fA) > 2A; %s", n, presentI, p);
    case 22:
        return Format("[Corvane][%05u][EVSE] Vehicle voltage error - Output voltage(%dV) > 10V after charging; "
                      "Output relay status:0x%x, SMR Vout:%dV", n, presentV, relay, smrVout);
    case 23: return Format("[Corvane][%05u][EVSE] CHAdeMO system error - process", n);
    case 24:
        return Format("[Corvane][%05u][EVSE] Timeout error - Permission off after charging; Opto-coupler(j):%d, %s", n,
                      j, f);
    case 25:
        return Format("[Corvane][%05u][EVSE] Timeout error - EV contactor open after charging; EV102.5:0x%02x, %s", n,
                      status, f);
    case 26:
        return Format("[Corvane][%05u][EVSE] Output OVP: Output voltage(%dV) > LIMIT_VOLT(%dV); %s%s", n, presentV,
                      threshold, p, f);
    case 27:
        return Format("[Corvane][%05u][EV] EV enable charging before sending CAN message; Opto-coupler(j):%d, %s", n, j,
                      f);
    default: return "";
    }
}

std::size_t SessionLog::systemLogHandle(unsigned code, unsigned number) {
    std::string line = Message(code, number);
    if (code < kLogCodeCount) {
        const Mem mem = kMem[code];
        OrByteAtomic(map_, U8{SHRMEM_CHADEMO_ALARM_MEM.offset + mem.byte}, mem.mask);
    }
    const std::size_t n = line.size();
    pending_.push_back(std::move(line));
    return n;
}

void SessionLog::writeSysLog() {
    while (!pending_.empty()) {
        Write(std::move(pending_.front()));
        pending_.pop_front();
    }
}

void SessionLog::Write(std::string text) {
    if (!background_) {
        common::RecordSysLog(text);
        return;
    }
    queued_.push_back(std::move(text));
    Flush();
}

void SessionLog::Flush() {
    if (writer_ > 0) {
        if (waitpid(writer_, nullptr, WNOHANG) == 0) return;
        writer_ = 0;
    }
    if (queued_.empty()) return;
    std::deque<std::string> lines;
    lines.swap(queued_);
    const pid_t pid = platform::StartChild([&lines] {
        for (const std::string& line : lines) common::RecordSysLog(line);
        return 0;
    });
    if (pid > 0) {
        writer_ = pid;
        return;
    }
    for (const std::string& line : lines) common::RecordSysLog(line);
}

void SessionLog::trapAlarm29LogHandle(unsigned number) {
    const std::uint8_t now = map_.get(SHRMEM_CHADEMO_EV_ALARM);
    if (now == uTrapAlarm29_) return;
    static constexpr unsigned kCode[8] = {3, 2, 4, 5, 6, 7, 8, 9};
    const std::uint8_t raised = static_cast<std::uint8_t>(now & ~uTrapAlarm29_);
    for (int bit = 0; bit < 8; ++bit) {
        if (!(raised & (1u << bit))) continue;
        systemLogHandle(kCode[bit], number);
        writeSysLog();
    }
    uTrapAlarm29_ = now;
}

}  // namespace chademo
