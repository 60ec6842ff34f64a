#include "bastide.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "alarm_tables.h"
#include "clock.h"
#include "command.h"
#include "regmap_fields.h"
#include "shared_bytes.h"
#include "syslog.h"

namespace alarms {

using namespace regmap;

namespace {

constexpr std::uint32_t kChaDeMoAlarm = 21517;     // pChaDeMoAlarm
constexpr std::uint32_t kChaDeMoAlarmMem = 21523;  // pChaDeMoAlarmMem, six force bytes
constexpr std::uint32_t kSysEvt = 21529;
constexpr std::uint32_t kDINEvt = 21533;
constexpr std::uint8_t kOcpp15StatusPending = 0x08;  // byte 445
constexpr std::uint8_t kOcpp15Online = 0x80;         // byte 448
constexpr std::uint8_t kTrapsMuted = 0x02;           // byte 312: no trap for any alarm

// The order in which one CHAdeMO alarm is picked per pass: the order of
// their raise codes.
constexpr std::uint8_t kChaDeMoOrder[] = {0, 1, 8, 9, 10, 11, 12, 16, 17, 18, 19, 20, 2, 3, 13, 14, 4, 5};
// Bits of 21517-21520 that carry a CHAdeMO alarm.
constexpr std::uint8_t kChaDeMoAlarmBits[4] = {0x3F, 0x7F, 0x1F, 0x00};

OcppBridge g_no_bridge;

std::uint8_t Read(Bastide& b, std::uint32_t offset) { return common::ReadShared(b.map, offset); }
void FetchOr(Bastide& b, std::uint32_t offset, std::uint8_t mask) { common::SetBits(b.map, offset, mask); }
std::uint8_t TakeBits(Bastide& b, std::uint32_t offset, std::uint8_t mask) { return common::TakeBits(b.map, offset, mask); }

bool OcppReporting(const RegisterMap& map) {
    return (map.get(SHRMEM_OCPP_ENABLE) & 0x01) != 0 && map.bytes(Bytes{SHRMEM_OCPP_URL.offset, 1})[0] != 0;
}

std::int64_t NowSeconds() { return platform::GetClock().WallSeconds(); }

void WriteEventLine(Bastide& b, const std::string& code) {
    common::RecordEvtLog(b.map.get(SHRMEM_SERIAL_NUMBER), code);
}

void CopyText(char* dst, std::size_t size, const std::string& text) {
    std::snprintf(dst, size, "%s", text.c_str());
}

// An event of the CHAdeMO or event blocks: its line and its status record.
void ReportEvent(Bastide& b, const char* code, bool raised, std::uint8_t status, std::uint8_t connectorId,
                 std::uint8_t ocpp15ErrorCode) {
    if (!common::HasEventCode(code)) return;
    WriteEventLine(b, code);
    switch (SelectedTarget(b.map)) {
    case OcppTarget::Ocpp15:
        PostOcpp15Status(b, Ocpp15Status{0, status, ocpp15ErrorCode, code, static_cast<std::int32_t>(NowSeconds()), code});
        break;
    case OcppTarget::Ocpp16:
        FennickPrepStsNotify(b, connectorId, raised ? fennick::kErrOtherError : fennick::kErrNoError, code, status, code);
        break;
    case OcppTarget::None:
        break;
    }
}

void SendTrap(Bastide& b, const AlarmRow& row, bool raised) {
    if ((Read(b, kAlarmMapFirst) & kTrapsMuted) != 0) return;
    if (!b.trapRefusal.empty()) {
        b.trapRefusedLog.Record("[Bastide] SNMP trap not sent: " + b.trapRefusal);
        return;
    }
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (b.trapHeld && now < b.trapHoldEndMs) {
        b.trapHungLog.Record("[Bastide] SNMP trap not sent: the trap sender hung a moment ago");
        return;
    }
    b.trapHeld = false;
    const std::string oid = row.oid ? row.oid : AlarmOid(row.index, row.mask);
    const std::string value = std::to_string(raised ? row.mask : 0);
    platform::Command cmd;
    cmd.text = "/root/snmptrap -v 2c -r 0 -t 1 -c " + b.trapCommunity + " " + b.trapHost + " \"\" " + oid + " " +
               oid + " i " + value;
    cmd.argv = {"/root/snmptrap", "-v", "2c", "-r", "0", "-t", "1", "-c", b.trapCommunity, b.trapHost, "",
                oid, oid, "i", value};
    cmd.limitMs = kTrapLimitMs;
    if (platform::Runner().Run(cmd) == platform::kCommandTimedOut) {
        b.trapHeld = true;
        b.trapHoldEndMs = platform::GetClock().MonotonicMs() + kTrapHoldMs;
        b.trapHungLog.Record("[Bastide] SNMP trap sender did not end within its limit; traps held for a minute");
    }
}

void ReportAlarmChange(Bastide& b, const AlarmRow& row, bool raised) {
    const std::size_t entry = row.index * 8u + static_cast<unsigned>(__builtin_ctz(row.mask));
    std::int32_t connectorId = 0;
    if (row.rule == Rule::GfdPreWarning || row.rule == Rule::Gfd) {
        if (raised) b.u8AlarmConnID[entry] = getAlarmConnID(b);
        connectorId = b.u8AlarmConnID[entry];
    }

    if (row.code[0] != '\0') WriteEventLine(b, std::string(raised ? "00" : "10") + row.code);
    if (row.trap) SendTrap(b, row, raised);

    switch (SelectedTarget(b.map)) {
    case OcppTarget::Ocpp15: {
        if (row.textRaised == nullptr) break;
        std::string vendor = row.vendorOid ? row.vendorOid
                                           : (row.oid ? std::string(row.oid + 1) : AlarmOid(row.index, row.mask).substr(1));
        vendor += raised ? "(1)" : "(0)";
        PostOcpp15Status(b, Ocpp15Status{0, b.u8CpSts, 12, raised ? row.textRaised : row.textCleared,
                                         static_cast<std::int32_t>(NowSeconds()), vendor});
        break;
    }
    case OcppTarget::Ocpp16: {
        if (!row.ocpp16) break;
        const std::string code = std::string(raised ? "00" : "10") + row.code;
        std::uint8_t errorCode = raised ? fennick::kErrOtherError : fennick::kErrNoError;
        std::uint8_t status = b.u8CpSts;
        if (raised && row.rule == Rule::Gfd) {
            errorCode = fennick::kErrGroundFailure;
            status = fennick::kStsFaulted;
        }
        if (raised && row.rule == Rule::EmergencyButton) status = fennick::kStsFaulted;
        FennickPrepStsNotify(b, connectorId, errorCode, code.c_str(), status, code.c_str());
        break;
    }
    case OcppTarget::None:
        break;
    }
}

bool ModelHasProductPrefix(Bastide& b) {
    return b.map.get(SHRMEM_MODEL_NAME).find(kProductModelPrefix) != std::string::npos;
}

// One watched bit: the change test, the row's rule, the remembered copy and the report.
void Examine(Bastide& b, const AlarmRow& row) {
    const std::uint32_t offset = kAlarmMapFirst + row.index;
    std::uint8_t& old = b.tOldAlarm[row.index];
    const std::uint8_t current = Read(b, offset) & row.mask;
    bool changed = current != (old & row.mask);

    switch (row.rule) {
    case Rule::ModemComm:
        if (ModelHasProductPrefix(b)) return;
        break;
    case Rule::EmergencyButton:
        if (b.map.get(SHRMEM_CHARGE_STEP) == 0) return;
        break;
    case Rule::SmrInputUvp: {
        if (!changed) {
            b.smrUvpTiming = false;
            return;
        }
        const std::int64_t now = platform::GetClock().MonotonicMs() / 1000;
        if (!b.smrUvpTiming) {
            b.smrUvpTiming = true;
            b.tSmrUVP = now;
        }
        if (now - b.tSmrUVP <= 3 || b.map.get(ALARM_GFD)) return;
        // The next change is timed from its own start, also when it follows
        // this report in the very next pass.
        b.smrUvpTiming = false;
        break;
    }
    case Rule::Forced:
        changed = changed || (Read(b, row.forceByte) & row.forceMask) != 0;
        break;
    default:
        break;
    }
    if (!changed) return;

    std::uint8_t now = current;
    if (row.rule == Rule::Forced && TakeBits(b, row.forceByte, row.forceMask) != 0) now = row.mask;
    old = static_cast<std::uint8_t>((old & ~row.mask) | now);
    if (row.rule == Rule::TrackOnly) return;
    ReportAlarmChange(b, row, now != 0);
}

}  // namespace

std::string AlarmOid(std::uint8_t index, std::uint8_t mask) {
    char buf[48];
    std::snprintf(buf, sizeof buf, ".1.3.6.1.4.1.4291.1.8.5.%u.%x", static_cast<unsigned>(index),
                  static_cast<unsigned>(mask));
    return buf;
}

OcppTarget SelectedTarget(const RegisterMap& map) {
    if (!OcppReporting(map)) return OcppTarget::None;
    const std::uint8_t mode = map.get(SHRMEM_OCPP_MODE);
    if (mode <= 1) return OcppTarget::Ocpp15;
    if (mode <= 3) return OcppTarget::Ocpp16;
    return OcppTarget::None;
}

void PostOcpp15Status(Bastide& b, Ocpp15Status record) {
    b.ocpp15Queue.push_back(std::move(record));
    if (b.ocpp15Queue.size() > kOcpp15QueueLimit) {
        b.ocpp15Queue.pop_front();
        common::RecordSysLog("[Bastide] OCPP 1.5 status records waiting too long: the oldest is dropped");
    }
    FlushOcpp15Queue(b);
}

void WriteOcpp15Status(RegisterMap& map, const Ocpp15Status& r) {
    map.set(OCPP15_STS_CONNECTOR, r.connectorId);
    map.set(OCPP15_STS_STATUS, r.status);
    map.set(OCPP15_STS_ERROR_CODE, r.errorCode);
    map.clear(OCPP15_STS_INFO);
    map.set(OCPP15_STS_INFO, r.info);
    map.set(OCPP15_STS_TIMESTAMP, r.timestamp);
    map.clear(OCPP15_STS_VENDOR_ERROR);
    map.set(OCPP15_STS_VENDOR_ERROR, r.vendorErrorCode);
    common::SetBits(map, SHRMEM_OCPP15_CP_REQUEST.offset, kOcpp15StatusPending);
}

bool FlushOcpp15Queue(Bastide& b) {
    if (b.ocpp15Queue.empty()) return false;
    // The agent has not sent the record in the slot yet, or cannot reach its
    // central system: the record waits rather than replacing another.
    if ((Read(b, SHRMEM_OCPP15_CP_REQUEST.offset) & kOcpp15StatusPending) != 0) return false;
    if ((Read(b, SHRMEM_OCPP15_CS_REQUEST2.offset) & kOcpp15Online) == 0) return false;
    WriteOcpp15Status(b.map, b.ocpp15Queue.front());
    b.ocpp15Queue.pop_front();
    return true;
}

void FennickPrepStsNotify(Bastide& b, std::int32_t connectorId, std::uint8_t errorCode, const char* info,
                          std::uint8_t status, const char* vendorErrorCode) {
    if (b.app == nullptr) return;
    const std::uint8_t n = fennick::LoadRingWriteIndex(*b.app);
    fennick::CpStatus& slot = b.app->statusRing[n];
    std::memset(&slot, 0, sizeof slot);
    slot.connectorId = connectorId;
    slot.errorCode = errorCode;
    CopyText(slot.info, sizeof slot.info, info);
    slot.status = status;
    CopyText(slot.timestamp, sizeof slot.timestamp, EpochToUTC(NowSeconds()));
    CopyText(slot.vendorId, sizeof slot.vendorId, "Vanto Electronics");
    CopyText(slot.vendorErrorCode, sizeof slot.vendorErrorCode, vendorErrorCode);
    fennick::PublishRingWriteIndex(*b.app, static_cast<std::uint8_t>(n + 1));
}

void BuildTrapTarget(Bastide& b) {
    const std::string port = b.map.get(SHRMEM_SNMP_TRAP_PORT);
    b.trapHost = FormatIpv4(b.map.get(SHRMEM_SNMP_TRAP_IP)) + ":" + port;
    b.trapCommunity = b.map.get(SHRMEM_SNMP_COMMUNITY).substr(0, 31);
    b.trapRefusal.clear();

    bool portOk = !port.empty() && port.size() <= 5;
    for (char c : port) portOk = portOk && c >= '0' && c <= '9';
    if (portOk) {
        const unsigned long p = std::stoul(port);
        portOk = p >= 1 && p <= 65535;
    }
    if (!portOk) {
        b.trapRefusal = "the trap port is not a port number";
        return;
    }
    bool communityOk = !b.trapCommunity.empty();
    for (char c : b.trapCommunity) communityOk = communityOk && c >= 0x20 && c < 0x7F;
    if (!communityOk) b.trapRefusal = "the community is empty or holds control characters";
}

std::uint8_t getAlarmConnID(const Bastide& b) { return b.map.get(SHRMEM_ACTIVE_CONNECTOR); }

void ReportAlarmMap(Bastide& b) {
    const auto rows = AlarmRows();
    for (std::size_t k = 0; k < rows.size();) {
        std::size_t end = k;
        while (end < rows.size() && rows[end].index == rows[k].index) ++end;
        // A forced raise already reported drops its force bit before the byte is examined.
        for (std::size_t r = k; r < end; ++r) {
            const AlarmRow& row = rows[r];
            if (row.rule == Rule::Forced && (b.tOldAlarm[row.index] & row.mask) != 0) {
                TakeBits(b, row.forceByte, row.forceMask);
            }
        }
        for (std::size_t r = k; r < end; ++r) Examine(b, rows[r]);
        k = end;
    }
}

std::uint8_t checkAlarmMem(Bastide& b) {
    bool pending = false;
    for (std::uint8_t index : kChaDeMoOrder) {
        const std::uint32_t byte = index / 8u;
        const auto mask = static_cast<std::uint8_t>(1u << (index % 8u));
        if ((b.trapDataOld[byte] & mask) != 0) TakeBits(b, kChaDeMoAlarmMem + byte, mask);
        if ((Read(b, kChaDeMoAlarmMem + byte) & mask) != 0) pending = true;
    }
    return pending ? 1 : 0;
}

void ReportChaDeMoAlarms(Bastide& b) {
    std::uint8_t current[4];
    for (std::uint32_t i = 0; i < 4; ++i) current[i] = Read(b, kChaDeMoAlarm + i);
    if (std::memcmp(current, b.trapDataOld, sizeof current) == 0 && checkAlarmMem(b) == 0) return;

    for (std::uint8_t index : kChaDeMoOrder) {
        const std::uint32_t byte = index / 8u;
        const auto mask = static_cast<std::uint8_t>(1u << (index % 8u));
        const std::uint8_t bit = Read(b, kChaDeMoAlarm + byte) & mask;
        const bool forced = (Read(b, kChaDeMoAlarmMem + byte) & mask) != 0;
        if (bit == (b.trapDataOld[byte] & mask) && !forced) continue;
        std::uint8_t now = bit;
        if (TakeBits(b, kChaDeMoAlarmMem + byte, mask) != 0) now = mask;
        b.trapDataOld[byte] = static_cast<std::uint8_t>((b.trapDataOld[byte] & ~mask) | now);
        handleTrapAlarm(b, now != 0 ? 1 : 0, index, b.u8CpSts, 0);
        return;
    }
    // The difference lies in bits without an alarm: take those over. Alarm
    // bits keep their remembered value, so one that rose since the walk is
    // still reported in the next pass.
    for (std::uint32_t i = 0; i < 4; ++i) {
        const std::uint8_t keep = kChaDeMoAlarmBits[i];
        b.trapDataOld[i] = static_cast<std::uint8_t>((b.trapDataOld[i] & keep) | (current[i] & ~keep));
    }
}

void handleTrapAlarm(Bastide& b, std::uint8_t raised, std::uint8_t index, std::uint8_t status,
                     std::uint8_t connectorId) {
    if (index >= common::kChaDeMoAlarmCount) return;
    const char* code = raised ? common::pu8ChaDeMoAlarmCode[index] : common::pu8ChaDeMoAlarmCodeRcvr[index];
    ReportEvent(b, code, raised != 0, status, connectorId, 12);
}

void SaveEvtAndSendSts(Bastide& b, bool raised, std::uint8_t status, const char* code, std::uint8_t connectorId) {
    ReportEvent(b, code, raised, status, connectorId, raised ? 12 : 3);
}

int AlarmCodeMgmt(Bastide& b, std::uint8_t status) {
    struct Block {
        std::uint32_t offset;
        std::uint8_t* remembered;
        std::size_t bytes;
        const char (*codes)[7];
        const char (*recovery)[7];
    };
    const Block blocks[] = {
        {kSysEvt, b.tOldSysEvt, sizeof b.tOldSysEvt, common::pu8SysAlarmCode, common::pu8SysAlarmCodeRcvr},
        {kDINEvt, b.tOldDINEvt, sizeof b.tOldDINEvt, common::pu8DINAlarmCode, common::pu8DINAlarmCodeRcvr},
    };
    for (const Block& blk : blocks) {
        for (std::size_t i = 0; i < blk.bytes; ++i) {
            const std::uint8_t now = Read(b, blk.offset + static_cast<std::uint32_t>(i));
            const std::uint8_t changed = now ^ blk.remembered[i];
            for (unsigned bit = 0; bit < 8; ++bit) {
                if ((changed & (1u << bit)) == 0) continue;
                const std::size_t entry = i * 8 + bit;
                const bool raised = (now & (1u << bit)) != 0;
                SaveEvtAndSendSts(b, raised, status, raised ? blk.codes[entry] : blk.recovery[entry], 0);
            }
            blk.remembered[i] = now;
        }
    }
    return 1;
}

void StartUp(Bastide& b) {
    b.u8CpSts = 0;
    std::memset(b.u8AlarmConnID, 0, sizeof b.u8AlarmConnID);
    // Force bits set before this start belong to reports nobody is waiting for.
    for (std::uint32_t i = 0; i < 6; ++i) {
        std::atomic_ref<std::uint8_t>(common::MapByte(b.map, kChaDeMoAlarmMem + i)).store(0, std::memory_order_relaxed);
    }
    std::memset(b.tOldAlarm, 0, sizeof b.tOldAlarm);
    if (b.app == nullptr) FetchOr(b, ALARM_INIT_FAIL.offset, ALARM_INIT_FAIL.mask);
}

void Pass(Bastide& b) {
    OcppBridge& bridge = b.bridge ? *b.bridge : g_no_bridge;
    BuildTrapTarget(b);

    const bool reporting = OcppReporting(b.map);
    const std::uint8_t mode = b.map.get(SHRMEM_OCPP_MODE);
    if (reporting && (mode == 2 || mode == 3) && b.map.get(mainb::SHRMEM_SYSTEM_READY) == 1 && b.app != nullptr) {
        b.u8CpSts = bridge.FennickStsMgmt();
        bridge.FennickMeterValMgmt();
        bridge.sync_OCPP16Conf_with_SysConf();
        bridge.Local_update_OCPP16Conf();
        bridge.FennickCmdMgmt();
        bridge.FennickUpdateLimit();
    }
    if (reporting && mode <= 1) {
        b.u8CpSts = bridge.OCPP15SStsMgmt();
        bridge.OCPP15SCmdMgmt();
    }
    FlushOcpp15Queue(b);

    ReportAlarmMap(b);
    ReportChaDeMoAlarms(b);
    AlarmCodeMgmt(b, b.u8CpSts);
}

}  // namespace alarms
