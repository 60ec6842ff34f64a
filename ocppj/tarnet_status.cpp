// Tarnet's link state, status notifications and reservation expiry.
#include <cstring>

#include "clock.h"
#include "messages.h"
#include "ocpp_time.h"
#include "tarnet.h"

namespace ocppj {

namespace {

bool HasRecord(const fennick::CpStatus& s) { return s.timestamp[0] != '\0'; }

}  // namespace

void Tarnet::CheckBackendCnnt() {
    const bool accepted = FieldText(x_->boot.status) == "Accepted";
    const std::uint8_t online = Load(x_->backendReachable) != 0 && accepted ? 1 : 0;
    Store(app_->backendOnline, online);
    Store(app_->websocketConnected, Load(x_->wsConnected));
}

void Tarnet::SendStatus(const fennick::CpStatus& record) {
    std::memcpy(&x_->statusNotification, &record, sizeof record);
    PutText(x_->statusNotification.timestamp, EpochToUTC(platform::GetClock().WallSeconds()));
    SetBit(*x_, kBitStatusNotification);
}

int Tarnet::StatusNotifMgmt() {
    // Intake: one record a pass, the whole ring at once after a reconnection.
    const std::uint8_t writeIndex = fennick::LoadRingWriteIndex(*app_);
    if (!TestBit(*x_, kBitStatusNotification) && writeIndex != u8CurrIndex) {
        if (Load(x_->wsConnected) == 1 && Load(x_->backendReachable) == 1) s8OfflineReconnectFlag = 0;
        do {
            const fennick::CpStatus& rec = app_->statusRing[u8CurrIndex];
            const std::int32_t c = rec.connectorId;
            if (c >= 1 && c <= connectors_) {
                ConnectorRuntime& r = runtime_[c - 1];
                std::memcpy(&r.lastStatus, &rec, sizeof rec);
                fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
                cr.status = rec.status;
                r.statusPending = 1;
                if (rec.status == fennick::kStsAvailable) std::memset(cr.idTag, 0, sizeof cr.idTag);
            } else if (c == 0) {
                std::memcpy(&sCpStatus, &rec, sizeof rec);
                s8CmdUpdateCpSts = 1;
            }
            ++u8CurrIndex;
        } while (s8OfflineReconnectFlag == 1 && u8CurrIndex != writeIndex);
    }

    if (statusNotifTriggerReq_ != 0) {
        const std::int32_t c = statusTriggerConnector_;
        if (c == -1) {
            for (ConnectorRuntime& r : runtime_) r.statusPending = 1;
        } else if (c == 0) {
            s8CmdUpdateCpSts = 1;
        } else if (c >= 1 && c <= connectors_) {
            runtime_[c - 1].statusPending = 1;
        }
        s8CmdByTrigMsg = 1;
        statusNotifTriggerReq_ = 0;
    }

    if (Load(app_->backendOnline) == 1 || s8CmdByTrigMsg != 0 || s8OfflineReconnectFlag != 0) {
        if (TestBit(*x_, kBitStatusNotification)) return 1;
        s8OfflineReconnectFlag = 0;
        for (ConnectorRuntime& r : runtime_) {
            if (r.statusPending == 0) continue;
            // A charging status waits for its transaction, so the
            // StatusNotification follows the StartTransaction.
            if (fennick::IsChargingStatus(r.lastStatus.status) && r.txnStartTime == 0) continue;
            if (HasRecord(r.lastStatus)) SendStatus(r.lastStatus);
            r.statusPending = 0;
            return 1;
        }
        if (s8CmdUpdateCpSts != 0) {
            if (HasRecord(sCpStatus)) SendStatus(sCpStatus);
            s8CmdUpdateCpSts = 0;
        } else {
            s8CmdByTrigMsg = 0;
        }
        return 1;
    }

    // Offline: the statuses in force go out once the link is back.
    for (ConnectorRuntime& r : runtime_) r.statusPending = 1;
    s8CmdUpdateCpSts = 1;
    if (FieldText(x_->boot.status) == "Accepted" && Load(x_->wsConnected) == 1 && Load(x_->backendReachable) == 0) {
        s8OfflineReconnectFlag = 1;
        ClearBit(*x_, kBitStatusNotification);
    }
    return 1;
}

int Tarnet::RsrvNowMgmt() {
    const std::int64_t now = platform::GetClock().WallSeconds();
    for (int c = 1; c <= connectors_; ++c) {
        fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
        if (cr.reserved != 1) continue;
        ConnectorRuntime& r = runtime_[c - 1];
        const std::int64_t expiry = UtcToEpoch(FieldText(r.reservation.expiryDate));
        if (now >= expiry) {
            Log("[Info] Reservation is expired");
        } else if (cr.status == fennick::kStsFaulted || cr.status == fennick::kStsUnavailable) {
            Log("[Info] Reservation is cancelled(Faulted or Unavailable)");
        } else if (r.txnStartTime != 0) {
            Log("[Info] Reservation is cancelled(In transaction)");
        } else {
            continue;
        }
        std::memset(&r.reservation, 0, sizeof r.reservation);
        cr.reserved = 0;
    }
    return 1;
}

}  // namespace ocppj
