// Bastide, the alarm and event manager of the main board: every change of a
// watched alarm bit, CHAdeMO alarm bit or event bit becomes an event line,
// an SNMP trap (alarm bit map only) and an OCPP status record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "alarm_table.h"
#include "fennick_app.h"
#include "regmap.h"
#include "syslog.h"
#include "timeutil.h"

namespace alarms {

// The OCPP bridge managers that run in each pass for the selected OCPP
// version. Until the OCPP programs bring theirs, nothing is bridged and the
// charge point counts as Available.
class OcppBridge {
public:
    virtual ~OcppBridge() = default;
    // OCPP 1.6J: the charge-point status (0 Available, 7 Unavailable, 8 Faulted).
    virtual std::uint8_t FennickStsMgmt() { return 0; }
    virtual void FennickMeterValMgmt() {}
    virtual void sync_OCPP16Conf_with_SysConf() {}
    virtual void Local_update_OCPP16Conf() {}
    virtual void FennickCmdMgmt() {}
    virtual void FennickUpdateLimit() {}
    // OCPP 1.5: the charge-point status (0 Available, 2 Faulted, 3 Unavailable).
    virtual std::uint8_t OCPP15SStsMgmt() { return 0; }
    virtual void OCPP15SCmdMgmt() {}
};

// One OCPP 1.5 StatusNotification waiting for the single record slot.
struct Ocpp15Status {
    std::int32_t connectorId = 0;
    std::uint8_t status = 0;
    std::uint8_t errorCode = 0;
    std::string info;
    std::int32_t timestamp = 0;
    std::string vendorErrorCode;
};

// Records wait here while the slot holds one the agent has not sent yet or
// its central system does not answer; beyond this many the oldest goes.
inline constexpr std::size_t kOcpp15QueueLimit = 64;

// The trap sender gets this long; one that does not end by then is ended and
// no trap is sent for kTrapHoldMs after it, so a hung sender costs the alarm
// loop one limit a minute, not one per alarm change.
inline constexpr int kTrapLimitMs = 5000;
inline constexpr std::int64_t kTrapHoldMs = 60000;

// Where an alarm's status record goes.
enum class OcppTarget { None, Ocpp15, Ocpp16 };

struct Bastide {
    regmap::RegisterMap map;
    fennick::FennickApp* app = nullptr;  // nullptr while not attached
    OcppBridge* bridge = nullptr;  // nullptr: no managers

    std::uint8_t tOldAlarm[kAlarmBytes] = {};
    std::uint8_t u8AlarmConnID[kAlarmBytes * 8] = {};
    std::uint8_t u8CpSts = 0;
    bool smrUvpTiming = false;        // debounce of 316.0x08 running
    std::int64_t tSmrUVP = 0;         // its start, whole seconds of the monotonic clock
    std::uint8_t trapDataOld[4] = {};  // CHAdeMO alarm bits as last taken over
    std::uint8_t tOldSysEvt[4] = {};
    std::uint8_t tOldDINEvt[11] = {};

    // Trap target of this pass; empty when the settings do not name a usable one.
    std::string trapHost;
    std::string trapCommunity;
    std::string trapRefusal;  // why no trap can be sent, for the log line
    common::RepeatLog trapRefusedLog;
    common::RepeatLog trapHungLog;
    bool trapHeld = false;         // a sender hung: traps wait until trapHoldEndMs
    std::int64_t trapHoldEndMs = 0;

    std::deque<Ocpp15Status> ocpp15Queue;
};

// Start-up on an attached register map: clears the program state and the
// force bytes; with no FennickApp, raises "Initialization fail".
void StartUp(Bastide& b);

// One pass of the endless loop.
void Pass(Bastide& b);

// Parts of the pass, for tests and the fuzzer.
void BuildTrapTarget(Bastide& b);
void ReportAlarmMap(Bastide& b);
void ReportChaDeMoAlarms(Bastide& b);
std::uint8_t checkAlarmMem(Bastide& b);
std::uint8_t getAlarmConnID(const Bastide& b);
int AlarmCodeMgmt(Bastide& b, std::uint8_t status);
void handleTrapAlarm(Bastide& b, std::uint8_t raised, std::uint8_t index, std::uint8_t status,
                     std::uint8_t connectorId);
void SaveEvtAndSendSts(Bastide& b, bool raised, std::uint8_t status, const char* code,
                       std::uint8_t connectorId);

// Status records.
OcppTarget SelectedTarget(const regmap::RegisterMap& map);
// Queues an OCPP 1.5 record and hands the oldest waiting one to the agent
// when its slot is free.
void PostOcpp15Status(Bastide& b, Ocpp15Status record);
// Fills the OCPP 1.5 status record, in the order the agent expects, and then
// sets its request bit (445.0x08).
void WriteOcpp15Status(regmap::RegisterMap& map, const Ocpp15Status& record);
// Fills the OCPP 1.5 slot from the queue when the slot is free and the
// central system answers; true when a record was handed over.
bool FlushOcpp15Queue(Bastide& b);
// Appends one CpStatus record to the status ring of FennickApp (nothing when
// it is not attached).
void FennickPrepStsNotify(Bastide& b, std::int32_t connectorId, std::uint8_t errorCode, const char* info,
                          std::uint8_t status, const char* vendorErrorCode);

// Alarm OID of the bit `mask` of alarm byte 312 + index: ".1.3.6.1.4.1.4291.1.8.5.<index>.<mask in hex>".
std::string AlarmOid(std::uint8_t index, std::uint8_t mask);

using common::EpochToUTC;

}  // namespace alarms
