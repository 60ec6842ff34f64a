#include "ocpp15_status.h"

#include "clock.h"
#include "command.h"
#include "regmap_fields.h"
#include "shared_bytes.h"
#include "syslog.h"

namespace alarms {

using namespace regmap;

namespace {

constexpr std::uint8_t kStatusPending = 0x08;  // byte 445
constexpr std::uint8_t kOnline = 0x80;         // byte 448
constexpr std::int64_t kTakeTimeoutMs = 4000;
constexpr std::int64_t kTakeNoticeMs = 1000;  // a longer wait says what it waits for
constexpr std::int64_t kPollMs = 10;

enum : std::uint8_t { kAvailable = 0, kOccupied = 1, kFaulted = 2, kUnavailable = 3, kReserved = 4 };

}  // namespace

std::uint8_t StationBridge::IsOCPP15SStsCmdDone() {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    bool told = false;
    for (;;) {
        if ((common::ReadShared(map_, SHRMEM_OCPP15_CP_REQUEST.offset) & kStatusPending) == 0) return 1;
        const std::int64_t waited = clock.MonotonicMs() - start;
        if (waited > kTakeTimeoutMs) return 0;
        if (!told && waited > kTakeNoticeMs) {
            told = true;
            takeLog_.Record("[Bastide] waiting for Quillon to take the OCPP 1.5 status record (445.0x08)");
        }
        clock.SleepMs(kPollMs);
    }
}

void StationBridge::Send(std::int32_t connectorId, std::uint8_t status) {
    const bool faulted = status == kFaulted;
    const char* text = faulted ? "Other Error" : "No Error";
    WriteOcpp15Status(map_, Ocpp15Status{connectorId, status, static_cast<std::uint8_t>(faulted ? 12 : 3), text,
                                         static_cast<std::int32_t>(platform::GetClock().WallSeconds()), text});
    // A record the agent does not take within the wait counts as sent; the
    // next one waits until the bit is clear.
    IsOCPP15SStsCmdDone();
}

std::uint8_t StationBridge::OCPP15SStsMgmt() {
    const std::uint8_t resetPending = map_.get(SHRMEM_OCPP15_RESET_PENDING);
    const std::uint8_t resetType = map_.get(SHRMEM_OCPP15_RESET_TYPE);
    if (resetPending != 0 && resetType == 1) {  // soft reset: every status is sent again
        u8OldCnntrSts = 255;
        u8OldCPSts = 255;
        map_.set(SHRMEM_OCPP15_RESET_PENDING, 0);
    }

    const std::uint8_t state = map_.get(SHRMEM_CHARGER_STATE);
    std::uint8_t connector = kAvailable;
    if (state == 2 || state == 4) connector = kFaulted;
    else if (map_.get(SHRMEM_OCPP15_RESET_PENDING) != 0 && resetType == 0) connector = kUnavailable;
    else if (state == 1 || state == 16 || state == 32) connector = kOccupied;
    else if (map_.get(SHRMEM_OCPP15_RESERVED) != 0) connector = kReserved;
    else if (map_.get(SHRMEM_AVAILABILITY) != 0 || map_.get(SHRMEM_OCPP15_FW_STATE) > 1 || state == 8) connector = kUnavailable;

    auto serve = [&](std::uint8_t& remembered, std::int32_t connectorId, std::uint8_t status) {
        if ((common::ReadShared(map_, SHRMEM_OCPP15_CS_REQUEST2.offset) & kOnline) == 0) {
            remembered = 255;  // sent again once the central system answers
            return false;
        }
        if ((common::ReadShared(map_, SHRMEM_OCPP15_CP_REQUEST.offset) & kStatusPending) == 0 && status != remembered) {
            Send(connectorId, status);
            remembered = status;
        }
        return true;
    };
    serve(u8OldCnntrSts, 1, connector);
    const std::uint8_t chargePoint = connector == kFaulted ? kFaulted : connector == kUnavailable ? kUnavailable : kAvailable;
    serve(u8OldCPSts, 0, chargePoint);
    return chargePoint;
}

void StationBridge::OCPP15SCmdMgmt() {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (map_.get(SHRMEM_OCPP15_RESET_PENDING) == 0 || map_.get(SHRMEM_OCPP15_RESET_TYPE) != 0) {
        tTmStart = now;
        noticeAtMs_ = -1;
        rebootRun_ = false;
        return;
    }
    if (rebootRun_ || now - tTmStart <= kHardResetDelayMs) return;
    if (noticeAtMs_ < 0) {
        map_.set(U8{474}, 129);  // the reset notice the board link passes on
        noticeAtMs_ = now;
        return;
    }
    if (now - noticeAtMs_ < kRebootNoticeMs) return;
    // Once per request: a reboot that did not happen is not repeated each pass.
    rebootRun_ = true;
    platform::RunCommand("/sbin/reboot -f", {"/sbin/reboot", "-f"});
}

}  // namespace alarms
