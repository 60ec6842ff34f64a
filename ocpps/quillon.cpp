#include "quillon.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "clock.h"
#include "commands.h"
#include "transfers.h"
#include "regmap_fields.h"
#include "shared_bytes.h"
#include "syslog.h"

namespace ocpps {

using namespace regmap;

namespace {

constexpr std::uint8_t kOnline = 0x80;
constexpr std::int64_t kAnsweredPauseMs = 30000;
constexpr std::int64_t kRejectedPauseMs = 600000;
constexpr std::int64_t kRetryFirstMs = 5000;
constexpr std::int64_t kRetryMaxMs = 300000;

// Reservation held by the central system (ReserveNow).
constexpr Bytes kReservation{7335, 54};  // 7335-7388, its active byte last
constexpr S32Le kReservationExpiry{7339};
constexpr Bytes kReservationIdTag{7343, 20};
constexpr S32Le kReservationId{7383};

std::uint8_t Load(Quillon& q, std::uint32_t offset) { return common::ReadShared(q.map, offset); }
// Request bytes have four writers in three programs: every change is atomic.
void SetBits(Quillon& q, std::uint32_t offset, std::uint8_t mask) { common::SetBits(q.map, offset, mask); }
void ClearBits(Quillon& q, std::uint32_t offset, std::uint8_t mask) { common::ClearBits(q.map, offset, mask); }
bool Online(Quillon& q) { return (Load(q, slot::ONLINE.offset) & kOnline) != 0; }
void SetOnline(Quillon& q, bool on) {
    if (on) SetBits(q, slot::ONLINE.offset, kOnline); else ClearBits(q, slot::ONLINE.offset, kOnline);
}

void Log(const std::string& message) { common::RecordSysLog("[OCPP]main:" + message); }

void Zero(Quillon& q, Bytes b) { std::memset(q.map.bytes(b), 0, b.size); }

void SetClockFrom(Quillon& q, std::time_t currentTime) {
    platform::GetClock().SetWallSeconds(currentTime);
    q.map.set(SHRMEM_CLOCK_CHANGED, 1);
}

std::int64_t NowMs() { return platform::GetClock().MonotonicMs(); }

// Answer of an Authorize, StartTransaction or StopTransaction.
void Outcome(Quillon& q, int result, const char* name) {
    SetOnline(q, result == 0);
    Log(std::string(name) + (result == 0 ? " OK" : " NG"));
}

void ServeStatusNotification(Quillon& q) {
    bool answered = true;
    if ((q.map.get(OCPP15_STS_CONNECTOR) & 0xFF) != 0) {
        // One record for both connectors; connector 2 is left in the slot.
        for (std::int32_t c : {1, 2}) {
            q.map.set(OCPP15_STS_CONNECTOR, c);
            answered = q.requests->cmdStatusNtf() == 0 && answered;
        }
    } else {
        answered = q.requests->cmdStatusNtf() == 0;
    }
    if (answered) Log("StatusNotification OK");
}

void ClearReservation(Quillon& q) {
    Zero(q, kReservation);
}

bool ReservationActive(Quillon& q) { return q.map.get(SHRMEM_OCPP15_RESERVED) == 1; }

void ServeRequests(Quillon& q) {
    const std::uint32_t request = slot::REQUEST.offset;
    for (unsigned bit = 0; bit < 8; ++bit) {
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        if ((Load(q, request) & mask) == 0) continue;
        switch (mask) {
        case 0x01:
            Zero(q, Bytes{slot::AUTH_EXPIRY.offset, 4});
            Zero(q, slot::AUTH_PARENT);
            Outcome(q, q.requests->cmdAuthorize(), "Authorize");
            break;
        case 0x02: {
            // The reserving idTag starts: its reservation is used up.
            const std::string user = q.map.get(SHRMEM_ID_TAG);
            const std::string reserved(reinterpret_cast<const char*>(q.map.bytes(kReservationIdTag)),
                                       strnlen(reinterpret_cast<const char*>(q.map.bytes(kReservationIdTag)), 20));
            if (ReservationActive(q) && strcasecmp(reserved.c_str(), user.c_str()) == 0) {
                q.map.set(slot::START_RESERVATION, q.map.get(kReservationId));
                ClearReservation(q);
            }
            Zero(q, Bytes{slot::START_EXPIRY.offset, 4});
            Zero(q, slot::START_PARENT);
            Outcome(q, q.requests->cmdStartTransaction(), "StartTransaction");
            break;
        }
        case 0x04:
            Zero(q, Bytes{slot::STOP_EXPIRY.offset, 4});
            Zero(q, slot::STOP_PARENT);
            Outcome(q, q.requests->cmdStopTransaction(), "StopTransaction");
            break;
        case 0x08:
            ServeStatusNotification(q);
            break;
        case 0x10:
            Log("MeterValue OK");
            break;
        case 0x40:
            Log(q.requests->cmdDiagnosticsStatusNtf() == 0 ? "DiagStatusNotification OK" : "DiagStatusNotification NG");
            break;
        case 0x80:
            Log(q.requests->cmdFirmwareStatusNtf() == 0 ? "FirmwareStatusNotification OK"
                                                        : "FirmwareStatusNotification NG");
            break;
        default:
            break;
        }
        // The answer fields are written; the requester may read them now.
        ClearBits(q, request, mask);
    }
}

// Periodic meter values while a session charges; a failed request waits for
// the next interval like a sent one.
void MeterValues(Quillon& q) {
    if (q.meterIntervalS <= 0 || q.map.get(SHRMEM_CHARGER_STATE) != 1) return;
    const std::int64_t now = NowMs();
    if (q.lastMeterValuesMs >= 0 && now - q.lastMeterValuesMs < q.meterIntervalS * 1000LL) return;
    q.requests->cmdMeterValues(ReadMeter(q.map, &q.lastEnergyWh));
    q.lastMeterValuesMs = NowMs();
}

void Heartbeat(Quillon& q) {
    const std::string address = OwnAddress(q.map);
    const std::int64_t now = NowMs();
    const bool moved = address != q.lastAddress;
    const bool due = q.heartbeatRetryMs > 0 ? now - q.lastHeartbeatMs >= q.heartbeatRetryMs
                                            : now - q.lastHeartbeatMs >= q.heartbeatIntervalS * 1000LL;
    if (!moved && !due) return;
    q.lastAddress = address;
    q.requests->SetOwnEndpoint(OwnEndpoint(q.map, address));
    std::time_t currentTime = 0;
    if (q.requests->cmdHeartbeat(&currentTime) == 0) {
        if ((q.map.get(SHRMEM_CHARGER_STATE) & 0x31) == 0) SetClockFrom(q, currentTime);
        if (!Online(q)) Log(common::FormatLogText("[RSSI=%d]Heartbeat has response", q.map.bytes(Bytes{1985, 1})[0]));
        SetOnline(q, true);
        q.heartbeatRetryMs = 0;
    } else {
        if (Online(q)) Log(common::FormatLogText("[RSSI=%d]Heartbeat has no response", q.map.bytes(Bytes{1985, 1})[0]));
        SetOnline(q, false);
        q.heartbeatRetryMs = q.heartbeatRetryMs == 0 ? kRetryFirstMs : std::min(q.heartbeatRetryMs * 2, kRetryMaxMs);
    }
    q.lastHeartbeatMs = NowMs();
}

void ExpireReservation(Quillon& q) {
    if (!ReservationActive(q)) return;
    const std::int64_t now = platform::GetClock().WallSeconds();
    if (now < q.map.get(kReservationExpiry)) return;
    ClearReservation(q);
    QueueOwnStatus(q, 0, "Charging Point Reservation Time Out");
}

// Quillon's own records go out once the slot is free.
void PostOwnStatus(Quillon& q) {
    if (q.ownStatus.empty() || (Load(q, slot::REQUEST.offset) & 0x08) != 0) return;
    const OwnStatus& s = q.ownStatus.front();
    q.map.set(OCPP15_STS_STATUS, s.status);
    q.map.set(OCPP15_STS_ERROR_CODE, 3);
    q.map.clear(OCPP15_STS_INFO);
    q.map.set(OCPP15_STS_INFO, s.info);
    q.map.set(OCPP15_STS_TIMESTAMP, s.timestamp);
    q.map.clear(OCPP15_STS_VENDOR_ERROR);
    q.map.set(OCPP15_STS_VENDOR_ERROR, "No Error");
    SetBits(q, slot::REQUEST.offset, 0x08);
    q.ownStatus.pop_front();
}

}  // namespace

void QueueOwnStatus(Quillon& q, std::uint8_t status, std::string info) {
    q.ownStatus.push_back({status, std::move(info), static_cast<std::int32_t>(platform::GetClock().WallSeconds())});
}

bool StartUp(Quillon& q) {
    for (std::uint32_t b = 445; b <= 449; ++b) std::atomic_ref<std::uint8_t>(common::MapByte(q.map, b)).store(0);
    std::string why;
    Endpoints e;
    e.centralSystem = CentralSystemUrl(q.map, &why);
    q.lastAddress = OwnAddress(q.map);
    e.own = OwnEndpoint(q.map, q.lastAddress);
    Log("Server Endpoint:" + e.centralSystem);
    Log("Client Endpoint:" + e.own);
    Log("Charge Box ID:" + q.map.get(slot::CHARGE_BOX_ID));
    if (e.centralSystem.empty()) {
        Log("no central system: " + why);
        return false;
    }
    FlashRW(false, kMeterIntervalFile, &q.meterIntervalS);
    ResumeFirmwareRequest(q);
    q.requests = std::make_unique<Requests>(q.map, e);
    if (!q.requests->SetUpTls(&why)) {
        Log("soap_ssl_client_context failure: " + why);
        return false;
    }
    return true;
}

std::int64_t BootStep(Quillon& q, int failures) {
    BootAnswer answer;
    if (q.requests->cmdBootNtf(&answer) != 1) {
        // Not answered: the address may have changed; try again after a
        // growing pause instead of at once.
        q.lastAddress = OwnAddress(q.map);
        q.requests->SetOwnEndpoint(OwnEndpoint(q.map, q.lastAddress));
        std::int64_t wait = kRetryFirstMs;
        for (int i = 0; i < failures && wait < kRetryMaxMs; ++i) wait *= 2;
        return std::min(wait, kRetryMaxMs);
    }
    if (!answer.accepted) return kAnsweredPauseMs + kRejectedPauseMs;
    platform::GetClock().SleepMs(kAnsweredPauseMs);
    SetClockFrom(q, answer.currentTime);
    q.heartbeatIntervalS = answer.heartbeatInterval;
    q.lastHeartbeatMs = NowMs();
    SetOnline(q, true);
    return 0;
}

void Pass(Quillon& q) {
    ServeRequests(q);
    ServeCommands(q);
    MeterValues(q);
    Heartbeat(q);
    ExpireReservation(q);
    PostOwnStatus(q);
    GetDiagMgmt(q);
    FwUpdateMgmt(q);
}

}  // namespace ocpps
