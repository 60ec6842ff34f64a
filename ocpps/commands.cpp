// The main process's half of the central system's commands: each command
// the server process raised is claimed, executed on the station's bytes,
// answered in the command area and finished (bit cleared, online bit set).
#include "commands.h"

#include <strings.h>

#include <cstring>
#include <ctime>

#include "clock.h"
#include "command_area.h"
#include "config_keys.h"
#include "gpio.h"
#include "regmap_fields.h"
#include "requests.h"
#include "store_flash.h"
#include "syslog.h"
#include "transfers.h"

namespace ocpps {

using namespace regmap;

namespace {

constexpr int kLockLine = 80;      // drives the connector lock, 0 releases
constexpr int kLockFeedback = 85;  // '0' when locked

void CommandLog(const std::string& message) { common::RecordSysLog("[OCPP]main:" + message); }

std::uint8_t State(RegisterMap map) { return map.get(cmd::CHARGER_STATE); }
bool InSession(std::uint8_t s) { return s == 1 || s == 16 || s == 32; }
bool Faulted(std::uint8_t s) { return s == 2 || s == 4; }

// A charge that runs is stopped before the connector is given up.
void StopRunningCharge(RegisterMap map, int number) {
    const std::uint8_t s = State(map);
    if (s != 1 && s != 16) return;
    map.set(cmd::STOP_CHARGING, 6);
    common::RecordSysLogf("[Quillon][%d] Remote stop by backend(OCPP15S)", number);
}

void ZeroReservation(RegisterMap map) { std::memset(map.bytes(cmd::RESERVATION), 0, cmd::RESERVATION.size); }

std::string LocalStamp(const char* format) {
    const std::time_t now = static_cast<std::time_t>(platform::GetClock().WallSeconds());
    std::tm t{};
    localtime_r(&now, &t);
    char buf[32];
    std::strftime(buf, sizeof buf, format, &t);
    return buf;
}

void CancelReservation(Quillon& q) {
    RegisterMap& map = q.map;
    const bool match = map.get(cmd::RESERVED) == 1 && map.get(cmd::RSV_ID) == map.get(cmd::CANCEL_RSV_ID);
    if (match) {
        ZeroReservation(map);
        QueueOwnStatus(q, 0, "Charging Point Reservation Canceled");
    }
    map.set(cmd::CANCEL_RSV_STATUS, match ? 0 : 1);
    CommandLog(match ? "CancelReservation Accepted" : "CancelReservation Rejected");
}

void ChangeAvailability(Quillon& q) {
    RegisterMap& map = q.map;
    const std::uint8_t s = State(map);
    std::uint8_t status = 0;  // Accepted
    if (map.get(cmd::AVAIL_TYPE) == 1) {  // Operative
        if (map.get(cmd::AVAILABILITY) != 1) {
            if (Faulted(s) || s == 8) status = 1;
            else if (InSession(s)) status = 2;
        }
        map.set(cmd::AVAILABILITY, 0);
        CommandLog("ChangeAvailability to unlock");
    } else {
        if (InSession(s)) status = 2;
        map.set(cmd::AVAILABILITY, 1);
        CommandLog("ChangeAvailability to Lock");
    }
    map.set(cmd::AVAIL_STATUS, status);
    common::StoreFlash(map, static_cast<std::int32_t>(cmd::AVAILABILITY.offset), 1);
}

void ReserveNow(Quillon& q) {
    RegisterMap& map = q.map;
    const std::uint8_t s = State(map);
    int status = -1;  // a state outside the known ones: the last answer stands
    if (map.get(cmd::RESERVED) != 0) {
        if (Faulted(s)) {
            ZeroReservation(map);
            status = 1;
        } else {
            status = 2;
        }
    } else if (Faulted(s)) {
        status = 1;
    } else if (s == 8) {
        status = 3;
    } else if (InSession(s)) {
        status = 2;
    } else if (s == 0) {
        status = 0;
        map.set(cmd::RESERVED, 1);
        QueueOwnStatus(q, 4, "Charging Point Reserved");
    }
    if (status >= 0) map.set(cmd::RSV_STATUS, static_cast<std::uint8_t>(status));
    CommandLog(common::FormatLogText("Reserve Now:%d", map.get(cmd::RSV_STATUS)));
}

void GetDiagnostics(Quillon& q) {
    RegisterMap& map = q.map;
    // The serial number becomes part of a file name: no folder, no control characters.
    PutText(map, cmd::DIAG_FILE_NAME,
            LocalStamp("%Y.%m.%d-%H.%M_") + common::EventFileName(map.get(SHRMEM_SERIAL_NUMBER)) + "_OCPP15SDiag.zip");
    CommandLog("GetDiagnostics OK");
}

}  // namespace

int ConnectorLock(int mode) {
    platform::Gpio& gpio = platform::GetGpio();
    gpio.Export(kLockLine);
    gpio.Export(kLockFeedback);
    gpio.SetDirection(kLockFeedback, "in");
    if (mode == 0 || mode == 1) {
        gpio.SetDirection(kLockLine, "out");
        gpio.Write(kLockLine, mode);
    }
    platform::GetClock().SleepMs(5);
    const auto feedback = gpio.ReadChar(kLockFeedback);
    return feedback && *feedback == '0' ? 1 : 0;
}

void ServeCommands(Quillon& q) {
    RegisterMap& map = q.map;
    if (ClaimCommand(map, command::CancelReservation)) {
        CancelReservation(q);
        FinishCommand(map, command::CancelReservation);
    }
    if (ClaimCommand(map, command::ChangeAvailability)) {
        ChangeAvailability(q);
        FinishCommand(map, command::ChangeAvailability);
    }
    if (ClaimCommand(map, command::ChangeConfiguration)) {
        ChangeConfiguration(map, &q.heartbeatIntervalS, &q.meterIntervalS);
        CommandLog("ChangeConfiguration:" + map.get(cmd::CONFIG_KEY));
        FinishCommand(map, command::ChangeConfiguration);
    }
    if (ClaimCommand(map, command::ClearCache)) {
        // The local list is the central system's, not a cache: it stays.
        map.set(cmd::CLEAR_CACHE_STATUS, 0);
        FinishCommand(map, command::ClearCache);
        CommandLog("ClearCache OK");
    }
    if (ClaimCommand(map, command::DataTransfer)) {
        DataTransfer(map);
        FinishCommand(map, command::DataTransfer);
    }
    if (ClaimCommand(map, command::GetConfiguration)) {
        BuildConfigTable(map, q.heartbeatIntervalS, q.meterIntervalS);
        FinishCommand(map, command::GetConfiguration);
        CommandLog("GetConfiguration OK");
    }
    if (ClaimCommand(map, command::GetDiagnostics)) {
        GetDiagnostics(q);
        FinishCommand(map, command::GetDiagnostics);
    }
    if (ClaimCommand(map, command::GetLocalListVersion)) {
        FinishCommand(map, command::GetLocalListVersion);
        CommandLog("Get Local List Version OK");
    }
    if (ClaimCommand(map, command::RemoteStartTransaction)) {
        const bool idle = State(map) == 0;
        if (idle) map.set(cmd::REMOTE_START, 10000);
        map.set(cmd::RSTART_STATUS, idle ? 0 : 1);
        FinishCommand(map, command::RemoteStartTransaction);
        CommandLog(idle ? "RemoteStartTransaction Accepted" : "RemoteStartTransaction Rejected");
    }
    if (ClaimCommand(map, command::RemoteStopTransaction)) {
        const bool running = (State(map) & 0x31) != 0 && map.get(slot::TRANSACTION_ID) == map.get(cmd::RSTOP_TXN_ID);
        if (running) {
            map.set(cmd::STOP_CHARGING, 6);
            common::RecordSysLogf("[Quillon][%d] Remote stop by backend(OCPP15S)", 2644);
        }
        map.set(cmd::RSTOP_STATUS, running ? 0 : 1);
        FinishCommand(map, command::RemoteStopTransaction);
        CommandLog("RemoteStopTransaction OK");
    }
    if (ClaimCommand(map, command::ReserveNow)) {
        ReserveNow(q);
        FinishCommand(map, command::ReserveNow);
    }
    if (ClaimCommand(map, command::Reset)) {
        StopRunningCharge(map, 2751);
        map.set(cmd::RESET_STATUS, 0);
        FinishCommand(map, command::Reset);
        // Bastide carries the reset out.
        map.set(cmd::RESET_PENDING, 1);
        CommandLog(std::string("reset:") + (map.get(cmd::RESET_TYPE) != 0 ? "Soft" : "Hard"));
    }
    if (ClaimCommand(map, command::SendLocalList)) {
        FinishCommand(map, command::SendLocalList);
        CommandLog("SendLocalList OK");
    }
    if (ClaimCommand(map, command::UnlockConnector)) {
        StopRunningCharge(map, 2819);
        ConnectorLock(0);
        map.set(cmd::UNLOCK_STATUS, 0);
        FinishCommand(map, command::UnlockConnector);
        CommandLog("UnlockConnector OK");
    }
    if (ClaimCommand(map, command::UpdateFirmware)) {
        const bool taken = TakeFirmwareRequest(q);
        map.set(cmd::FW_REQUEST_STATUS, taken ? 0 : 1);
        FinishCommand(map, command::UpdateFirmware);
        CommandLog(taken ? "UpdateFirmware OK" : "UpdateFirmware refused: an image waits to be installed");
    }
}

}  // namespace ocpps
