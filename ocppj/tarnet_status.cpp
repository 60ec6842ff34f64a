// Tarnet's link state, status notifications and reservation expiry.
#include <algorithm>
#include <cstring>
#include <vector>

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

void Tarnet::TakeStatus(const fennick::CpStatus& rec) {
    const std::int32_t c = rec.connectorId;
    if (c >= 1 && c <= connectors_) {
        ConnectorRuntime& r = runtime_[c - 1];
        // An end seen during a transaction stays seen, whatever follows it in
        // the same pass: the transaction ends on it.
        if (r.txnStartTime != 0 &&
            (rec.status == fennick::kStsAvailable || rec.status == fennick::kStsPreparing))
            r.endSeen = 1;
        std::memcpy(&r.lastStatus, &rec, sizeof rec);
        fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
        cr.status = rec.status;
        if (rec.status == fennick::kStsAvailable) std::memset(cr.idTag, 0, sizeof cr.idTag);
    } else if (c == 0) {
        std::memcpy(&sCpStatus, &rec, sizeof rec);
    }
}

void Tarnet::MarkStatusPending(std::int32_t c) {
    if (c >= 1 && c <= connectors_) runtime_[c - 1].statusPending = 1;
    else if (c == 0) s8CmdUpdateCpSts = 1;
}

void Tarnet::ResumeStatusRing() {
    // A restart reads on from where the ring is now: the records before are
    // history that this run must not act on again (an Available from before
    // a charge would end it). The latest record of each connector and of the
    // charge point is taken once, so the central system learns the statuses
    // in force; a connector whose transaction runs takes only a record
    // written after the transaction began, or one that is no end of it.
    const std::uint8_t writeIndex = fennick::LoadRingWriteIndex(*app_);
    std::vector<bool> seen(connectors_ + 1, false);
    for (int back = 1; back <= static_cast<int>(fennick::kStatusRingSlots); ++back) {
        const fennick::CpStatus& rec = app_->statusRing[static_cast<std::uint8_t>(writeIndex - back)];
        const std::int32_t c = rec.connectorId;
        if (!HasRecord(rec) || c < 0 || c > connectors_ || seen[c]) continue;
        seen[c] = true;
        if (c >= 1 && runtime_[c - 1].txnStartTime != 0) {
            const bool ending = rec.status == fennick::kStsAvailable || rec.status == fennick::kStsPreparing;
            if (ending && UtcToEpoch(FieldText(rec.timestamp)) <= runtime_[c - 1].txnStartTime) continue;
        }
        TakeStatus(rec);
        MarkStatusPending(c);
    }
    u8CurrIndex = writeIndex;
    ringTaken_ = false;
}

void Tarnet::SendStatus(const fennick::CpStatus& record) {
    std::memcpy(&x_->statusNotification, &record, sizeof record);
    PutText(x_->statusNotification.timestamp, EpochToUTC(platform::GetClock().WallSeconds()));
    SetBit(*x_, kBitStatusNotification);
}

int Tarnet::StatusNotifMgmt() {
    // Intake: every record written since the last pass, so that a burst
    // (a flapping alarm) never laps the read index. A connector keeps its
    // latest record, except that an Available or Preparing during its
    // transaction is held until the transaction has seen it.
    const std::uint8_t writeIndex = fennick::LoadRingWriteIndex(*app_);
    if (Load(x_->wsConnected) == 1 && Load(x_->backendReachable) == 1) s8OfflineReconnectFlag = 0;
    int unread = static_cast<std::uint8_t>(writeIndex - u8CurrIndex);
    if (ringTaken_ && std::memcmp(&app_->statusRing[static_cast<std::uint8_t>(u8CurrIndex - 1)], &lastTaken_,
                                  sizeof lastTaken_) != 0) {
        // The writer came round past the read index: what is left starts at
        // the write index.
        ++ringOverruns_;
        Log("[Info][StatusNotifMgmt] status ring overrun, count " + std::to_string(ringOverruns_) +
            ", unread records lost");
        u8CurrIndex = writeIndex;
        unread = static_cast<int>(fennick::kStatusRingSlots);
    }
    const bool online = Load(app_->backendOnline) == 1;
    for (int i = 0; i < unread; ++i) {
        const fennick::CpStatus& rec = app_->statusRing[u8CurrIndex];
        if (HasRecord(rec)) {
            TakeStatus(rec);
            // Online every record goes out in turn; offline only the statuses
            // in force once the link is back.
            if (online)
                statusBacklog_.push_back(rec);
            else
                MarkStatusPending(rec.connectorId);
        }
        std::memcpy(&lastTaken_, &rec, sizeof rec);
        ringTaken_ = true;
        ++u8CurrIndex;
    }
    if (statusBacklog_.size() > kStatusBacklogMax) {
        const std::size_t drop = statusBacklog_.size() - kStatusBacklogMax;
        for (std::size_t i = 0; i < drop; ++i) MarkStatusPending(statusBacklog_.front().connectorId), statusBacklog_.pop_front();
        backlogDropped_ += drop;
        Log("[Info][StatusNotifMgmt] status records faster than they are answered, " +
            std::to_string(backlogDropped_) + " sent only as the latest of their connector");
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
        // The records in their order; a charging status waits for its
        // transaction, and the later records of its connector with it.
        std::vector<std::int32_t> waiting;
        for (auto it = statusBacklog_.begin(); it != statusBacklog_.end(); ++it) {
            const std::int32_t c = it->connectorId;
            if (std::find(waiting.begin(), waiting.end(), c) != waiting.end()) continue;
            if (c >= 1 && c <= connectors_ && fennick::IsChargingStatus(it->status) &&
                runtime_[c - 1].txnStartTime == 0) {
                waiting.push_back(c);
                continue;
            }
            SendStatus(*it);
            statusBacklog_.erase(it);
            return 1;
        }
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
    statusBacklog_.clear();
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
